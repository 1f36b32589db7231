// The device monitor under wine with simulated sensors behind its ports (run through
// run_with_sim.py): the list follows plugs and unplugs, holders of entries and pipes survive
// removals, clients wait at the gates, restarts are awaited, and the closing waits for the last
// holder.
#include "tests/device/monitor/MonitorTestSupport.h"

#include "device/manager/GestVekPipe.h"
#include "ipc/protocol/TulvoStatus.h"
#include "tools/devtree/DevTree.h"

#include <algorithm>

using monitor_test::CWaitingClient;
using monitor_test::LONG_WAIT_MS;
using monitor_test::MonitorTest;
using tulvo_test::CTraceCapture;
using tulvo_test::NextComNumber;
using tulvo_test::WaitFor;

namespace {

class MonitorSim : public MonitorTest {
protected:
    // The entry of the sensor on that COM number, found by the serial number it reports.
    TulvoServ_VekEntry* Entry(int i_i_Com) {
        TulvoServ_VekEntry* l_px_Entry = nullptr;
        EXPECT_EQ(TULVO_OK, TulvoServ_GetGestVek(Reported(i_i_Com).c_str(), &l_px_Entry));
        return l_px_Entry;
    }
    // The run level read through the entry's pipe 0: the sensor answers through a live link.
    int32_t RunLevel(TulvoServ_VekEntry* i_px_Entry) {
        CGestVekHold l_x_Hold;
        CGestVek_Pipe* l_px_Pipe = nullptr;
        const int32_t l_i_Status = TulvoServ_GetPipe(i_px_Entry, 0, &l_x_Hold, &l_px_Pipe);
        if (l_i_Status != TULVO_OK) {
            return l_i_Status;
        }
        uint8_t l_uc_Level = 0;
        l_px_Pipe->GetRunLevel(&l_uc_Level);
        return l_uc_Level;
    }
    void Power(WPARAM i_x_Event) {
        ASSERT_EQ(DEVTREE_OK,
                  DevTree_SendPowerEvent(m_px_HideDlg->GetWindow(), i_x_Event, 0, 60000));
    }
    static std::vector<std::string> Sorted(std::vector<std::string> i_ax_Texts) {
        std::sort(i_ax_Texts.begin(), i_ax_Texts.end());
        return i_ax_Texts;
    }
};

TEST_F(MonitorSim, SensorsPresentAtStartAreListedAndFoundByEitherSerialNumber) {
    const int l_i_A = NextComNumber(), l_i_B = NextComNumber();
    Add(l_i_A);
    Add(l_i_B);
    Open();
    EXPECT_EQ(Sorted({Usb(l_i_A), Usb(l_i_B)}), Sorted(Listed()));
    TulvoServ_VekEntry* l_px_ByUsb = nullptr;
    EXPECT_EQ(TULVO_OK, TulvoServ_GetGestVek(Usb(l_i_A).c_str(), &l_px_ByUsb));
    EXPECT_EQ(Entry(l_i_A), l_px_ByUsb);
    EXPECT_NE(Entry(l_i_A), Entry(l_i_B));
    EXPECT_EQ(TULVO_DEVICE_NOT_PRESENT, TulvoServ_GetGestVek("TLVMON-none", &l_px_ByUsb));
    EXPECT_EQ(1, RunLevel(Entry(l_i_B)));
    // An arrival for a port whose device is listed changes nothing.
    Notify(true, Port(l_i_A));
    EXPECT_EQ(1, CTraceCapture::Count("CHideDlg::InsertVek " + Port(l_i_A) + " already plugged\n"));
    EXPECT_EQ(2, m_px_HideDlg->GetDeviceObjectCount());
    EXPECT_EQ(1, RunLevel(Entry(l_i_A)));
}

TEST_F(MonitorSim, AKeptEntryReachesTheSensorBackOnItsPortButNotOnAnother) {
    const int l_i_A = NextComNumber(), l_i_Other = NextComNumber();
    Add(l_i_A);
    Open();
    TulvoServ_VekEntry* const l_px_Kept = Entry(l_i_A);
    Unplug(l_i_A);
    EXPECT_EQ(TULVO_BAD_PARAMETER, RunLevel(l_px_Kept));
    Plug(l_i_A);
    EXPECT_EQ(1, RunLevel(l_px_Kept));
    Unplug(l_i_A);
    // The same sensor (same USB serial number) on another port: a new entry.
    DevTree_Device l_x_Device;
    l_x_Device.m_x_InstanceId = "USB\\VID_2F3A&PID_0101\\" + Usb(l_i_A);
    l_x_Device.m_x_PortName = Port(l_i_Other);
    ASSERT_EQ(DEVTREE_OK, DevTree_Add(l_x_Device, true, nullptr));
    ASSERT_EQ("ok", Sim("plug s" + std::to_string(l_i_A) + " com" + std::to_string(l_i_Other)));
    Notify(true, Port(l_i_Other));
    TulvoServ_VekEntry* const l_px_New = Entry(l_i_A);
    EXPECT_NE(l_px_Kept, l_px_New);
    EXPECT_EQ(1, RunLevel(l_px_New));
    EXPECT_EQ(TULVO_BAD_PARAMETER, RunLevel(l_px_Kept));
}

TEST_F(MonitorSim, ASensorRemovedUnderAThreadInItsPipeGoesOnlyWhenTheThreadLetsGo) {
    const int l_i_A = NextComNumber();
    Add(l_i_A);
    Open();
    TulvoServ_VekEntry* const l_px_Entry = Entry(l_i_A);
    std::atomic<bool> l_b_Aborted{false}, l_b_LetGo{false};
    CWaitingClient l_x_Reader([&] {
        CGestVekHold l_x_Hold;
        CGestVek_Pipe* l_px_Pipe = nullptr;
        const int32_t l_i_Status = TulvoServ_GetPipe(l_px_Entry, 1, &l_x_Hold, &l_px_Pipe);
        if (l_i_Status != TULVO_OK) {
            return l_i_Status;
        }
        uint8_t* l_puc_Frame = nullptr;
        uint32_t l_ul_Length = 0;
        l_b_Aborted = l_px_Pipe->ReadFrame(HIDEDLG_WAIT_INFINITE, &l_puc_Frame, &l_ul_Length,
                                           nullptr) == TULVO_ABORTED;
        WaitFor([&] { return l_b_LetGo.load(); }, LONG_WAIT_MS);
        // Still a live object: the removal left it to this holder.
        return l_px_Pipe->GetPipeIndex();
    });
    ASSERT_TRUE(l_x_Reader.WaitUntilWaiting(LONG_WAIT_MS));
    Unplug(l_i_A);
    ASSERT_TRUE(WaitFor([&] { return l_b_Aborted.load(); }, LONG_WAIT_MS));
    EXPECT_EQ(1, m_px_HideDlg->GetDeviceObjectCount());
    EXPECT_EQ(0, CTraceCapture::Count("CHideDlg::HandleGestVekDestroyed"));
    l_b_LetGo = true;
    EXPECT_EQ(1, l_x_Reader.Join());
    EXPECT_TRUE(WaitFor([&] { return m_px_HideDlg->GetDeviceObjectCount() == 0; }, LONG_WAIT_MS));
    EXPECT_EQ(1, CTraceCapture::Count("CHideDlg::HandleGestVekDestroyed 0 left\n"));
}

TEST_F(MonitorSim, ARemovalWhileTheSensorIsBeingOpenedIsNotLost) {
    const int l_i_A = NextComNumber();
    Open();
    Add(l_i_A);
    for (const bool l_b_ComesBack : {false, true}) {
        const std::string l_x_Sensor = "s" + std::to_string(l_i_A);
        ASSERT_EQ("ok", Sim("silent " + l_x_Sensor + " on"));
        const long long l_ll_Requests = m_x_Sim.Stat(l_x_Sensor, "frames_in");
        std::thread l_x_Arrival([&] { Notify(true, Port(l_i_A)); });
        // The window thread is inside the opening, waiting for the serial number.
        ASSERT_TRUE(WaitFor([&] { return m_x_Sim.Stat(l_x_Sensor, "frames_in") > l_ll_Requests; },
                            LONG_WAIT_MS));
        Notify(false, Port(l_i_A));
        if (l_b_ComesBack) {
            Notify(true, Port(l_i_A));
        }
        AnswerSerialNumber(l_i_A);
        l_x_Arrival.join();
        EXPECT_EQ(1, CTraceCapture::Count("CHideDlg::InsertVek " + Port(l_i_A) +
                                          " left while it was being opened\n"));
        CTraceCapture::Clear();
        EXPECT_EQ(l_b_ComesBack ? std::vector<std::string>{Usb(l_i_A)} : std::vector<std::string>{},
                  Listed());
        EXPECT_EQ(l_b_ComesBack ? 1 : 0, m_px_HideDlg->GetDeviceObjectCount());
    }
    EXPECT_EQ(1, RunLevel(Entry(l_i_A)));
}

TEST_F(MonitorSim, EnumDevicesWaitsForTheFirstList) {
    const int l_i_A = NextComNumber();
    Add(l_i_A);
    ASSERT_EQ("ok", Sim("silent s" + std::to_string(l_i_A) + " on"));
    m_px_HideDlg = TulvoServ_OpenHideDlg(1);
    std::vector<std::string> l_ax_Seen;
    CWaitingClient l_x_Client([&] {
        int32_t l_i_Status = 0;
        l_ax_Seen = Listed(&l_i_Status);
        return l_i_Status;
    });
    // Waiting, while the list cannot be built before the sensor has answered.
    ASSERT_TRUE(l_x_Client.WaitUntilWaiting(LONG_WAIT_MS));
    AnswerSerialNumber(l_i_A);
    EXPECT_EQ(TULVO_OK, l_x_Client.Join());
    EXPECT_EQ(std::vector<std::string>{Usb(l_i_A)}, l_ax_Seen);
}

// A sensor pulled while the start-up list opens another one is not listed from the list of
// devices read before.
TEST_F(MonitorSim, ASensorPulledBeforeTheStartUpListReachesItIsNotListed) {
    const int l_i_A = NextComNumber(), l_i_B = NextComNumber();
    for (int l_i_Com : {l_i_A, l_i_B}) {
        Add(l_i_Com);
        ASSERT_EQ("ok", Sim("silent s" + std::to_string(l_i_Com) + " on"));
    }
    m_px_HideDlg = TulvoServ_OpenHideDlg(1);
    auto l_x_Asked = [&](int i_i_Com) {
        return m_x_Sim.Stat("s" + std::to_string(i_i_Com), "frames_in") > 0;
    };
    ASSERT_TRUE(WaitFor([&] { return l_x_Asked(l_i_A) || l_x_Asked(l_i_B); }, LONG_WAIT_MS));
    const int l_i_First = l_x_Asked(l_i_A) ? l_i_A : l_i_B;
    // Gone from the system as a sensor is once its removal is told (wine keeps it in the tree).
    const int l_i_Pulled = l_i_A + l_i_B - l_i_First;
    ASSERT_EQ("ok", Sim("unplug s" + std::to_string(l_i_Pulled)));
    Notify(false, Port(l_i_Pulled));
    AnswerSerialNumber(l_i_First);
    EXPECT_EQ(std::vector<std::string>{Usb(l_i_First)}, Listed());
    EXPECT_EQ(1, m_px_HideDlg->GetDeviceObjectCount());
}

class MonitorWakeUp : public MonitorSim, public ::testing::WithParamInterface<bool> {};

// After a resume with two sensors listed, one leaves: clients are held until it returns, or
// until timer 1 ends the wake-up configuration when it does not.
TEST_P(MonitorWakeUp, ClientsWaitForAMissingSensorUntilItReturnsOrTimerOne) {
    const bool l_b_Returns = GetParam();
    const int l_i_A = NextComNumber(), l_i_B = NextComNumber();
    Add(l_i_A);
    Add(l_i_B);
    Open();
    Power(PBT_APMSUSPEND);
    Power(PBT_APMRESUMESUSPEND);
    Unplug(l_i_B);
    std::vector<std::string> l_ax_Seen;
    CWaitingClient l_x_Client([&] {
        int32_t l_i_Status = 0;
        l_ax_Seen = Listed(&l_i_Status);
        return l_i_Status;
    });
    ASSERT_TRUE(l_x_Client.WaitUntilWaiting(LONG_WAIT_MS));
    if (l_b_Returns) {
        Plug(l_i_B);
    } else {
        FireWakeUpTimer();
    }
    EXPECT_EQ(TULVO_OK, l_x_Client.Join());
    EXPECT_EQ(l_b_Returns ? Sorted({Usb(l_i_A), Usb(l_i_B)}) : std::vector<std::string>{Usb(l_i_A)},
              Sorted(l_ax_Seen));
    EXPECT_EQ(l_b_Returns ? 0 : 1, CTraceCapture::Count("WM_TIMER 0x1 0x0\n"));
    EXPECT_EQ(1, CTraceCapture::Count("CHideDlg::OnTimer, On est sorti de la config de reveil"));
    // The sensor that stayed works again after the resume.
    EXPECT_EQ(1, RunLevel(Entry(l_i_A)));
}

INSTANTIATE_TEST_SUITE_P(ReturnsOrNot, MonitorWakeUp, ::testing::Bool());

// A sensor whose port does not open again after a resume holds clients back as a missing one
// does, whenever the failure comes during the resume handling.
TEST_F(MonitorSim, ASensorThatCannotReopenAfterAResumeHoldsClientsBack) {
    for (int l_i = 0; l_i < 4; ++l_i) {
        Add(NextComNumber());
    }
    Open();
    Power(PBT_APMSUSPEND);
    ASSERT_EQ("ok", Sim("unplug s" + std::to_string(m_ai_Sensors[0])));
    Power(PBT_APMRESUMESUSPEND);
    CWaitingClient l_x_Client([&] {
        int32_t l_i_Status = 0;
        Listed(&l_i_Status);
        return l_i_Status;
    });
    EXPECT_TRUE(l_x_Client.WaitUntilWaiting(LONG_WAIT_MS));
    FireWakeUpTimer();
    EXPECT_EQ(TULVO_OK, l_x_Client.Join());
    EXPECT_EQ(1, CTraceCapture::Count("a VEK has a problem just after PC WakeUp\n"));
}

TEST_F(MonitorSim, ARestartIsAwaitedUntilTheSensorReturnsAndOnlyForItsOwnSerialNumber) {
    const int l_i_A = NextComNumber(), l_i_B = NextComNumber();
    Add(l_i_A);
    Add(l_i_B);
    Open();
    const std::string l_x_Serial = Reported(l_i_A);
    HANDLE l_ah_First[2], l_ah_Second[2];
    ASSERT_EQ(TULVO_OK, TulvoServ_PrepareForReboot(l_x_Serial.c_str(), l_x_Serial.c_str(),
                                                   &l_ah_First[0], &l_ah_First[1]));
    ASSERT_EQ(TULVO_OK, TulvoServ_PrepareForReboot(l_x_Serial.c_str(), l_x_Serial.c_str(),
                                                   &l_ah_Second[0], &l_ah_Second[1]));
    // An unrelated sensor leaves: each registration is compared, nothing is set.
    CTraceCapture::Clear();
    Unplug(l_i_B);
    EXPECT_EQ(2, CTraceCapture::Count("CHideDlg::SetEventDeviceChanged For Removal strcmp"));
    EXPECT_EQ(1, CTraceCapture::Count("CHideDlg::SetEventDeviceChanged Error Evt=0\n"));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(l_ah_First[0], 0));
    CWaitingClient l_x_First(
        [&] { return TulvoServ_WaitForReboot(l_ah_First[0], l_ah_First[1], LONG_WAIT_MS); });
    CWaitingClient l_x_Second(
        [&] { return TulvoServ_WaitForReboot(l_ah_Second[0], l_ah_Second[1], 1500); });
    Unplug(l_i_A);
    Plug(l_i_A);
    // Only the first registration in the table gets the events.
    EXPECT_EQ(TULVO_OK, l_x_First.Join());
    EXPECT_EQ(TULVO_TIMEOUT, l_x_Second.Join());
    EXPECT_EQ(1, RunLevel(Entry(l_i_A)));
    EXPECT_EQ(TULVO_OK, TulvoServ_CleanForReboot(l_x_Serial.c_str(), l_ah_Second[0]));
    EXPECT_EQ(TULVO_OK, TulvoServ_CleanForReboot(l_x_Serial.c_str(), l_ah_First[0]));

    // A sensor that leaves and does not come back: the time-out, after the removal.
    ASSERT_EQ(TULVO_OK, TulvoServ_PrepareForReboot(l_x_Serial.c_str(), l_x_Serial.c_str(),
                                                   &l_ah_First[0], &l_ah_First[1]));
    CTraceCapture::Clear();
    Unplug(l_i_A);
    EXPECT_EQ(TULVO_TIMEOUT, TulvoServ_WaitForReboot(l_ah_First[0], l_ah_First[1], 300));
    EXPECT_EQ(1, CTraceCapture::Count("CHideDlg::WaitForReboot i_ph_EventArrival="));
    EXPECT_EQ(TULVO_OK, TulvoServ_CleanForReboot(l_x_Serial.c_str()));
}

TEST_F(MonitorSim, ClosingWithFourSensorsWaitsForAThreadStillHoldingOne) {
    std::vector<int> l_ai_Coms;
    for (int l_i = 0; l_i < 4; ++l_i) {
        l_ai_Coms.push_back(NextComNumber());
        Add(l_ai_Coms.back());
    }
    Open();
    ASSERT_EQ(4u, Listed().size());
    TulvoServ_VekEntry* const l_px_Entry = Entry(l_ai_Coms[2]);
    std::atomic<int32_t> l_i_Read{1};
    std::atomic<bool> l_b_SawWait{false};
    CGestVekHold l_x_Hold;
    CGestVek_Pipe* l_px_Pipe = nullptr;
    ASSERT_EQ(TULVO_OK, TulvoServ_GetPipe(l_px_Entry, 2, &l_x_Hold, &l_px_Pipe));
    std::thread l_x_Holder([&] {
        uint8_t* l_puc_Frame = nullptr;
        uint32_t l_ul_Length = 0;
        l_i_Read = l_px_Pipe->ReadFrame(HIDEDLG_WAIT_INFINITE, &l_puc_Frame, &l_ul_Length, nullptr);
        l_b_SawWait = WaitFor(
            [] {
                return CTraceCapture::Count("CHideDlg::Thread waiting for 1 device objects") == 1;
            },
            LONG_WAIT_MS);
        l_x_Hold.Reset();
    });
    Close();
    l_x_Holder.join();
    EXPECT_EQ(TULVO_ABORTED, l_i_Read.load());
    EXPECT_TRUE(l_b_SawWait.load());
    EXPECT_EQ(4, CTraceCapture::Count("CHideDlg::HandleGestVekDestroyed"));
    tulvo_test::ExpectInOrder(CTraceCapture::Text(),
                              {"CHideDlg::Thread waiting for 1 device objects still in use\n",
                               "CHideDlg::HandleGestVekDestroyed 0 left\n",
                               "CHideDlg::Thread Monitor Stopped\n"});
}

} // namespace
