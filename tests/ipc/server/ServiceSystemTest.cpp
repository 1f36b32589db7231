// The real Serv_Tulvo.exe in debug mode with a simulated sensor (run through
// run_server_sim.py): a client process uses the sensor end to end, the service stops with
// 100 private channels open, and its Event Log entries, which wine prints on its debug
// channels (scripts/wine-gtest.sh keeps them for the test with TULVO_WINE_DEBUG_LOG).
#include "tests/ipc/server/ServerTestSupport.h"

#include "EventMessages.h"
#include "ipc/protocol/TulvoStatus.h"
#include "tests/common/ChildProcess.h"
#include "tests/common/ServiceProcess.h"
#include "tools/devtree/DevTree.h"

#include <fstream>
#include <memory>

using namespace srvtest;

namespace {

class ServiceSystem : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        // The service writes the trace log, in its working directory; this process does not.
        m_px_Log.reset();
        m_x_Dir.Enter();
        m_x_Serial = AddSensor();
        { std::ofstream l_x_Marker(m_x_Dir.Path() + "\\Serv_Tulvo.Log"); }
        ASSERT_TRUE(m_x_Service.Start(m_x_Dir.Path()));
        ASSERT_TRUE(m_x_Service.WaitForOutput("..Started", LONG_WAIT_MS)) << m_x_Service.Output();
        ASSERT_EQ(TULVO_OK, m_x_Client.Connect());
        ASSERT_EQ(TULVO_OK, m_x_Client.Lock());
    }
    void TearDown() override {
        m_x_Client.Unlock();
        m_x_Client.Close();
        StopService();
        ServerTest::TearDown();
        m_x_Dir.Leave();
    }
    // Sets the service's stop event; the time until its process has ended, in ms.
    ULONGLONG StopService() {
        const ULONGLONG l_ull_Start = GetTickCount64();
        EXPECT_TRUE(m_x_Service.Stop(LONG_WAIT_MS));
        return GetTickCount64() - l_ull_Start;
    }

    // The service's entry of that id, once it has its strings; its type, its channel on
    // wine's side and its strings are checked.
    static void ExpectEntry(const tulvo_test::CServiceProcess& i_x_Service, uint32_t i_ul_Id,
                            uint16_t i_us_Type, const char* i_pc_Channel,
                            const std::vector<std::string>& i_ax_Strings) {
        tulvo_test::CEventLogEntry l_x_Entry;
        ASSERT_TRUE(i_x_Service.WaitForEventLogEntry(i_ul_Id, i_ax_Strings.size(), LONG_WAIT_MS,
                                                     &l_x_Entry))
            << std::hex << i_ul_Id;
        EXPECT_EQ(i_us_Type, l_x_Entry.m_us_Type) << std::hex << i_ul_Id;
        EXPECT_EQ(i_pc_Channel, l_x_Entry.m_x_Channel) << std::hex << i_ul_Id;
        for (size_t l_st = 0; l_st < i_ax_Strings.size(); ++l_st) {
            // A string given with a final '*' only has to begin with what precedes it.
            const std::string& l_x_Expected = i_ax_Strings[l_st];
            if (!l_x_Expected.empty() && l_x_Expected.back() == '*') {
                EXPECT_EQ(0u, l_x_Entry.m_ax_Strings[l_st].rfind(
                                  l_x_Expected.substr(0, l_x_Expected.size() - 1), 0))
                    << l_x_Entry.m_ax_Strings[l_st];
            } else {
                EXPECT_EQ(l_x_Expected, l_x_Entry.m_ax_Strings[l_st]);
            }
        }
    }
    static int CountEntries(const tulvo_test::CServiceProcess& i_x_Service, uint32_t i_ul_Id) {
        int l_i_Count = 0;
        for (const tulvo_test::CEventLogEntry& l_x_Entry : i_x_Service.EventLogEntries()) {
            l_i_Count += l_x_Entry.m_ul_EventId == i_ul_Id ? 1 : 0;
        }
        return l_i_Count;
    }

    tulvo_test::CTempDir m_x_Dir;
    std::string m_x_Serial;
    tulvo_test::CServiceProcess m_x_Service;
    CRawClient m_x_Client;
};

TEST_F(ServiceSystem, AClientListsTheSensorAndExchangesAFrameThroughTheService) {
    const Bytes l_x_List = m_x_Client.Ask(EnumDevicesRequest());
    const std::string l_x_Text(l_x_List.begin(), l_x_List.end());
    ASSERT_GE(l_x_List.size(), 8u);
    EXPECT_EQ(0, StatusOf(l_x_List));
    EXPECT_EQ(1, l_x_List[7]);
    EXPECT_NE(std::string::npos, l_x_Text.find(m_x_Serial + '\0'));
    // The executable's file version, points for commas, with its NUL.
    EXPECT_EQ(Head(0x09) + Be32(0) + Be32(11) + Text("1. 5. 0. 0"),
              m_x_Client.Ask(ServerInfosRequest(0, 0)));

    CRawChannel l_x_Private;
    ASSERT_EQ(TULVO_OK, m_x_Client.OpenPrivate(&l_x_Private));
    m_x_Client.Unlock();
    EXPECT_EQ(StatusResponse(0x10, 0), l_x_Private.Ask(LinkRequest(0, m_x_Serial)));
    EXPECT_EQ(StatusResponse(0x11, 0), l_x_Private.Ask(LockRequest(5000)));
    const Bytes l_x_Frame = EchoFrame(100, 11);
    EXPECT_EQ(StatusResponse(0x13, 0), l_x_Private.Ask(SendRequest(5000, l_x_Frame)));
    EXPECT_EQ(Head(0x14) + Be32(0) + Be32(static_cast<uint32_t>(l_x_Frame.size())) + l_x_Frame,
              l_x_Private.Ask(RecvRequest(5000)));
    EXPECT_EQ(StatusResponse(0x12, 0), l_x_Private.Ask(UnlockRequest()));
    EXPECT_EQ(StatusResponse(0x16, 0), l_x_Private.Ask(DestroyRequest()));
}

TEST_F(ServiceSystem, TheServiceStopsWithAHundredChannelsOpen) {
    std::vector<std::unique_ptr<CRawChannel>> l_ax_Channels;
    for (int l_i = 0; l_i < 100; ++l_i) {
        l_ax_Channels.emplace_back(new CRawChannel);
        ASSERT_EQ(TULVO_OK, m_x_Client.OpenPrivate(l_ax_Channels.back().get()));
    }
    m_x_Client.Unlock();
    // Some of them linked, three holding their pipe's lock.
    for (int l_i = 0; l_i < 100; l_i += 10) {
        const uint8_t l_uc_Pipe = static_cast<uint8_t>(l_i / 10 % 3);
        EXPECT_EQ(StatusResponse(0x10, 0),
                  l_ax_Channels[l_i]->Ask(LinkRequest(l_uc_Pipe, m_x_Serial)));
        if (l_i < 30) {
            EXPECT_EQ(StatusResponse(0x11, 0), l_ax_Channels[l_i]->Ask(LockRequest(5000)));
        }
    }
    const ULONGLONG l_ull_Stop = StopService();
    printf("the service stopped with 100 channels in %llu ms\n", l_ull_Stop);
    EXPECT_EQ(0u, m_x_Service.ExitCode());
    // Every channel ended within the closing's wait, before the devices went.
    tulvo_test::ExpectInOrder(tulvo_test::ReadAllDailyFiles("Serv_Tulvo.Log"),
                              {" Serv_Tulvo_ServiceCmd_Start Cleaning\r\n",
                               " GestIpcPublic_ThreadReceptProc Stopped \r\n",
                               " CHideDlg::DeleteVekList VekList Deleted\r\n",
                               " Serv_Tulvo_ServiceCmd_Start Stopped\r\n"});
    // Every client end sees the service gone.
    Bytes l_x_Response;
    for (const std::unique_ptr<CRawChannel>& l_px_Channel : l_ax_Channels) {
        const int32_t l_i_Status = l_px_Channel->Exchange(UnlockRequest(), &l_x_Response, 1000);
        EXPECT_TRUE(l_i_Status == TULVO_TS_SERVER_NOT_RUNNING || l_i_Status == TULVO_TS_PEER_LOST)
            << l_i_Status;
    }
}

TEST_F(ServiceSystem, TheEventLogTellsOfTheStartAPortThatCannotOpenASecondInstanceAndTheStop) {
    ASSERT_TRUE(tulvo_test::CServiceProcess::HasEventLog()) << "TULVO_WINE_DEBUG_LOG unset";
    ExpectEntry(m_x_Service, SERV_TULVO_MSG_STARTED, EVENTLOG_INFORMATION_TYPE, "trace",
                {"1. 5. 0. 0", "on", m_x_Dir.Path()});

    // A supported sensor whose port does not exist: one warning, not one per attempt.
    const std::string l_x_Port = "COM" + std::to_string(tulvo_test::NextComNumber());
    DevTree_Device l_x_Device;
    l_x_Device.m_x_InstanceId = "USB\\VID_2F3A&PID_0101\\" SERVER_TEST_TAG "NOPORT";
    l_x_Device.m_x_PortName = l_x_Port;
    ASSERT_EQ(DEVTREE_OK, DevTree_Add(l_x_Device, true, nullptr));
    const HWND l_h_Monitor = DevTree_FindWindow(DEVTREE_MONITOR_WINDOW, LONG_WAIT_MS);
    ASSERT_EQ(DEVTREE_OK, DevTree_SendPortEvent(l_h_Monitor, true, l_x_Port, LONG_WAIT_MS));
    ExpectEntry(m_x_Service, SERV_TULVO_MSG_PORT_NOT_OPENED, EVENTLOG_WARNING_TYPE, "warn",
                {SERVER_TEST_TAG "NOPORT", l_x_Port, "system error *"});
    ASSERT_EQ(DEVTREE_OK, DevTree_SendPortEvent(l_h_Monitor, false, l_x_Port, LONG_WAIT_MS));
    ASSERT_EQ(DEVTREE_OK, DevTree_SendPortEvent(l_h_Monitor, true, l_x_Port, LONG_WAIT_MS));
    EXPECT_TRUE(tulvo_test::WaitFor(
        [] {
            const std::string l_x_Log = tulvo_test::ReadAllDailyFiles("Serv_Tulvo.Log");
            return l_x_Log.find("CUsbSerial::Open: CreateFile") !=
                   l_x_Log.rfind("CUsbSerial::Open: CreateFile");
        },
        LONG_WAIT_MS));
    EXPECT_EQ(1, CountEntries(m_x_Service, SERV_TULVO_MSG_PORT_NOT_OPENED));

    // A second instance starts nothing and says why.
    tulvo_test::CServiceProcess l_x_Second;
    ASSERT_TRUE(l_x_Second.Start(m_x_Dir.Path()));
    ASSERT_TRUE(l_x_Second.WaitForExit(LONG_WAIT_MS));
    ExpectEntry(l_x_Second, SERV_TULVO_MSG_ALREADY_RUNNING, EVENTLOG_ERROR_TYPE, "err",
                {std::to_string(l_x_Second.ProcessId())});
    EXPECT_EQ(1u, l_x_Second.EventLogEntries().size());
    // The first one still serves.
    EXPECT_EQ(Head(0x09) + Be32(0) + Be32(11) + Text("1. 5. 0. 0"),
              m_x_Client.Ask(ServerInfosRequest(0, 0)));

    StopService();
    ExpectEntry(m_x_Service, SERV_TULVO_MSG_STOPPED, EVENTLOG_INFORMATION_TYPE, "trace",
                {"1. 5. 0. 0"});
}

TEST_F(ServiceSystem, AServiceWithoutItsPublicChannelSaysSoAndAFatalExceptionIsReported) {
    ASSERT_TRUE(tulvo_test::CServiceProcess::HasEventLog()) << "TULVO_WINE_DEBUG_LOG unset";
    m_x_Client.Unlock();
    m_x_Client.Close();
    StopService();
    // Another program holds one of the channel's names, as an object of another kind.
    HANDLE l_h_Squatter = CreateMutexA(nullptr, FALSE, "Global\\VEK_TulvoServer:Send");
    ASSERT_NE(nullptr, l_h_Squatter) << GetLastError();
    tulvo_test::CServiceProcess l_x_Service;
    ASSERT_TRUE(l_x_Service.Start(m_x_Dir.Path()));
    ExpectEntry(l_x_Service, SERV_TULVO_MSG_CHANNEL_NOT_CREATED, EVENTLOG_ERROR_TYPE, "err",
                {std::to_string(TULVO_TS_CHANNEL_ERROR)});
    ExpectEntry(l_x_Service, SERV_TULVO_MSG_STARTED, EVENTLOG_INFORMATION_TYPE, "trace",
                {"1. 5. 0. 0", "on", m_x_Dir.Path()});
    CloseHandle(l_h_Squatter);

    // A thread of the service that dies on an access violation.
    HANDLE l_h_Thread =
        CreateRemoteThread(l_x_Service.Process(), nullptr, 0,
                           reinterpret_cast<LPTHREAD_START_ROUTINE>(16), nullptr, 0, nullptr);
    ASSERT_NE(nullptr, l_h_Thread) << GetLastError();
    CloseHandle(l_h_Thread);
    ExpectEntry(l_x_Service, SERV_TULVO_MSG_FATAL_EXCEPTION, EVENTLOG_ERROR_TYPE, "err",
                {"exception 0xC0000005 at address *"});
    EXPECT_TRUE(l_x_Service.WaitForExit(LONG_WAIT_MS));
}

} // namespace
