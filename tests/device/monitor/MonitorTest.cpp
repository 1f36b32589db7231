// The device monitor under wine without sensors behind its ports: waits, the entry points
// without a monitor, the awaited-device table, and the device list's limits with fake devices
// whose ports cannot open (they are listed all the same).
#include "tests/device/monitor/MonitorTestSupport.h"

#include "ipc/protocol/TulvoStatus.h"
#include "tools/devtree/DevTree.h"

using monitor_test::CWaitingClient;
using monitor_test::LONG_WAIT_MS;
using monitor_test::MonitorTest;
using tulvo_test::CTraceCapture;
using tulvo_test::WaitFor;

namespace {

TEST(MonitorWait, EndsOnTheEventTheStopAQuitOrTheTimeOut) {
    const HANDLE l_h_Stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const HANDLE l_h_Event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // A limit of 0 passes without looking at the event.
    EXPECT_EQ(TULVO_OK, TulvoHideDlg_WaitForEvent(l_h_Stop, l_h_Event, 0));
    // Other messages are dispatched and the wait goes on for the time left.
    PostThreadMessageA(GetCurrentThreadId(), WM_APP, 0, 0);
    EXPECT_EQ(TULVO_TIMEOUT, TulvoHideDlg_WaitForEvent(l_h_Stop, l_h_Event, 30));
    PostThreadMessageA(GetCurrentThreadId(), WM_QUIT, 0, 0);
    EXPECT_EQ(1, TulvoHideDlg_WaitForEvent(l_h_Stop, l_h_Event, HIDEDLG_WAIT_INFINITE));
    SetEvent(l_h_Event);
    SetEvent(l_h_Stop);
    EXPECT_EQ(TULVO_ABORTED, TulvoHideDlg_WaitForEvent(l_h_Stop, l_h_Event, HIDEDLG_WAIT_INFINITE));
    CloseHandle(l_h_Event);
    CloseHandle(l_h_Stop);
}

TEST_F(MonitorTest, TwoWaitersForOneSerialNumberNeverReleaseEachOthersEvents) {
    Open();
    HANDLE l_h_Removal = nullptr, l_h_Arrival = nullptr;
    EXPECT_EQ(TULVO_BAD_PARAMETER,
              TulvoServ_PrepareForReboot("", "SN", &l_h_Removal, &l_h_Arrival));
    EXPECT_EQ(nullptr, l_h_Removal);
    EXPECT_EQ(TULVO_BAD_PARAMETER, TulvoServ_CleanForReboot(""));
    EXPECT_EQ(TULVO_NO_MEMORY, TulvoServ_CleanForReboot("SN"));

    HANDLE l_ah_First[2], l_ah_Second[2];
    ASSERT_EQ(TULVO_OK, TulvoServ_PrepareForReboot("SN", "SN", &l_ah_First[0], &l_ah_First[1]));
    ASSERT_EQ(TULVO_OK, TulvoServ_PrepareForReboot("SN", "SN", &l_ah_Second[0], &l_ah_Second[1]));
    // The second waiter gives up first: only its own registration goes.
    EXPECT_EQ(TULVO_OK, TulvoServ_CleanForReboot("SN", l_ah_Second[0]));
    EXPECT_NE(FALSE, SetEvent(l_ah_First[0]));
    EXPECT_NE(FALSE, SetEvent(l_ah_First[1]));
    EXPECT_EQ(TULVO_OK, TulvoServ_WaitForReboot(l_ah_First[0], l_ah_First[1], 1000));
    EXPECT_EQ(TULVO_OK, TulvoServ_CleanForReboot("SN"));
    EXPECT_EQ(TULVO_NO_MEMORY, TulvoServ_CleanForReboot("SN"));

    for (int l_i = 0; l_i < HIDEDLG_WAITED_VEK_SIZE; ++l_i) {
        ASSERT_EQ(TULVO_OK, TulvoServ_PrepareForReboot("R", "A", nullptr, nullptr));
    }
    EXPECT_EQ(TULVO_NO_MEMORY, TulvoServ_PrepareForReboot("R", "A", nullptr, nullptr));
    // The closing releases registrations nobody cleaned.
}

TEST_F(MonitorTest, PortNamesLongerThanFifteenCharactersAreRefused) {
    Open();
    const std::string l_x_Longest = "COM000000000077";
    const std::string l_x_TooLong = "COM0000000000078";
    for (const std::string& l_x_Port : {l_x_Longest, l_x_TooLong}) {
        DevTree_Device l_x_Device;
        l_x_Device.m_x_InstanceId = "USB\\VID_2F3A&PID_0101\\" MONITOR_TEST_TAG "U" + l_x_Port;
        l_x_Device.m_x_PortName = l_x_Port;
        ASSERT_EQ(DEVTREE_OK, DevTree_Add(l_x_Device, true, nullptr));
    }
    Notify(true, l_x_Longest);
    Notify(true, l_x_TooLong);
    Notify(false, l_x_TooLong);
    EXPECT_EQ(std::vector<std::string>{MONITOR_TEST_TAG "U" + l_x_Longest}, Listed());
    EXPECT_EQ(1, CTraceCapture::Count("CHideDlg::Arrival() - port name too long, ignored: "
                                      "COM000000000007...\n"));
    EXPECT_EQ(1, CTraceCapture::Count("CHideDlg::Removal() - port name too long"));
}

TEST_F(MonitorTest, TheHundredAndFirstComNumberIsRefusedAndABoundNumberComesBack) {
    Open();
    for (int l_i_Com = 1001; l_i_Com <= 1000 + HIDEDLG_VEK_LIST_SIZE; ++l_i_Com) {
        Plug(l_i_Com);
        Unplug(l_i_Com);
    }
    EXPECT_EQ(0, m_px_HideDlg->GetDeviceObjectCount());
    Plug(1101);
    EXPECT_EQ(1, CTraceCapture::Count("CHideDlg::InsertVek COM index is out of range\n"));
    EXPECT_TRUE(Listed().empty());
    Plug(1001);
    EXPECT_EQ(1, CTraceCapture::Count("CHideDlg::InsertVek COM already present at 0\n"));
    EXPECT_EQ(std::vector<std::string>{Usb(1001)}, Listed());
}

TEST_F(MonitorTest, ClosingEndsAClientHeldAtTheWakeUpGate) {
    Add(1201, false);
    Open();
    ASSERT_EQ(DEVTREE_OK,
              DevTree_SendPowerEvent(m_px_HideDlg->GetWindow(), PBT_APMRESUMESUSPEND, 0, 60000));
    Unplug(1201);
    CWaitingClient l_x_Client([this] {
        int32_t l_i_Status = 0;
        Listed(&l_i_Status);
        return l_i_Status;
    });
    ASSERT_TRUE(l_x_Client.WaitUntilWaiting(LONG_WAIT_MS));
    Close();
    EXPECT_EQ(TULVO_ABORTED, l_x_Client.Join());
}

} // namespace
