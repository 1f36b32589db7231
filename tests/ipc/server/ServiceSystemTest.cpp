// The real Serv_Tulvo.exe in debug mode with a simulated sensor (run through
// run_server_sim.py): a client process uses the sensor end to end, the service stops with
// 100 private channels open, and its Event Log entries as wine prints them.
#include "tests/ipc/server/ServerTestSupport.h"

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

    // Waits until that service has written an Event Log entry that begins so (the test's
    // output ends with every entry when it fails).
    static bool HasEntry(const tulvo_test::CServiceProcess& i_x_Service,
                         const std::string& i_x_Begin) {
        return tulvo_test::WaitFor(
            [&] {
                return ("\n" + i_x_Service.EventLog()).find("\n" + i_x_Begin) != std::string::npos;
            },
            LONG_WAIT_MS);
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
    for (int l_i = 0; l_i < 32; ++l_i) {
        l_ax_Channels.emplace_back(new CRawChannel);
        ASSERT_EQ(TULVO_OK, m_x_Client.OpenPrivate(l_ax_Channels.back().get()));
    }
    // A process holds 32 at most: the other 68 go to three idle processes, unlinked (closed
    // 10 s after they were made, long after this stop).
    tulvo_test::CChildProcess l_ax_Named[3];
    for (int l_i = 0; l_i < 68; ++l_i) {
        tulvo_test::CChildProcess& l_x_Named = l_ax_Named[l_i / 32];
        if (l_i % 32 == 0) {
            ASSERT_TRUE(l_x_Named.Start(
                "\"" + tulvo_test::BinDirectory() + "server_test_client.exe\" idle", ""));
        }
        CRawChannel l_x_Theirs;
        ASSERT_EQ(TULVO_OK, m_x_Client.OpenPrivate(&l_x_Theirs, l_x_Named.ProcessId()));
        l_x_Theirs.Forget();
    }
    m_x_Client.Unlock();
    // Some of them linked, three holding their pipe's lock.
    for (int l_i = 0; l_i < 32; l_i += 3) {
        const uint8_t l_uc_Pipe = static_cast<uint8_t>(l_i / 3 % 3);
        EXPECT_EQ(StatusResponse(0x10, 0),
                  l_ax_Channels[l_i]->Ask(LinkRequest(l_uc_Pipe, m_x_Serial)));
        if (l_i < 9) {
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

// Entries begin with their event id, the severity in its top bits (the Event Viewer shows 1,
// 2, 100, 101, 200, 201, 203), and their type.
TEST_F(ServiceSystem, TheEventLogTellsOfStartsStopsAndTheFailuresAnAdministratorCanActOn) {
    EXPECT_TRUE(HasEntry(m_x_Service, "40000001 0004: 1. 5. 0. 0|on|" + m_x_Dir.Path()));
    // A supported sensor whose port does not exist.
    const std::string l_x_Port = "COM" + std::to_string(tulvo_test::NextComNumber());
    DevTree_Device l_x_Device;
    l_x_Device.m_x_InstanceId = "USB\\VID_2F3A&PID_0101\\" SERVER_TEST_TAG "NOPORT";
    l_x_Device.m_x_PortName = l_x_Port;
    ASSERT_EQ(DEVTREE_OK, DevTree_Add(l_x_Device, true, nullptr));
    ASSERT_EQ(DEVTREE_OK,
              DevTree_SendPortEvent(DevTree_FindWindow(DEVTREE_MONITOR_WINDOW, LONG_WAIT_MS), true,
                                    l_x_Port, LONG_WAIT_MS));
    EXPECT_TRUE(HasEntry(m_x_Service, "80000064 0002: " SERVER_TEST_TAG "NOPORT|" + l_x_Port +
                                          "|system error "));
    // A restart that does not come back in time.
    CRawChannel l_x_Private;
    ASSERT_EQ(TULVO_OK, m_x_Client.OpenPrivate(&l_x_Private));
    EXPECT_EQ(StatusResponse(0x10, 0), l_x_Private.Ask(LinkRequest(0, m_x_Serial)));
    EXPECT_EQ(StatusResponse(0x15, TULVO_TIMEOUT),
              l_x_Private.Ask(RebootRequest(5000, 500, RestartFrame(3000))));
    EXPECT_TRUE(HasEntry(m_x_Service, "80000065 0002: " + m_x_Serial + "|500"));

    // A second instance starts nothing and says why.
    tulvo_test::CServiceProcess l_x_Other;
    ASSERT_TRUE(l_x_Other.Start(m_x_Dir.Path()));
    ASSERT_TRUE(l_x_Other.WaitForExit(LONG_WAIT_MS));
    EXPECT_EQ("c00000c9 0001: " + std::to_string(l_x_Other.ProcessId()) + "\n",
              l_x_Other.EventLog());
    m_x_Client.Unlock();
    m_x_Client.Close();
    StopService();
    EXPECT_TRUE(HasEntry(m_x_Service, "40000002 0004: 1. 5. 0. 0"));

    // Another program holds a name of the public channel, as an object of another kind.
    HANDLE l_h_Squatter = CreateMutexA(nullptr, FALSE, "Global\\VEK_TulvoServer:Send");
    tulvo_test::CServiceProcess l_x_Unreachable;
    ASSERT_TRUE(l_x_Unreachable.Start(m_x_Dir.Path()));
    EXPECT_TRUE(
        HasEntry(l_x_Unreachable, "c00000c8 0001: " + std::to_string(TULVO_TS_CHANNEL_ERROR)));
    CloseHandle(l_h_Squatter);
    // One of its threads dies on an access violation.
    HANDLE l_h_Thread =
        CreateRemoteThread(l_x_Unreachable.Process(), nullptr, 0,
                           reinterpret_cast<LPTHREAD_START_ROUTINE>(16), nullptr, 0, nullptr);
    ASSERT_NE(nullptr, l_h_Thread) << GetLastError();
    CloseHandle(l_h_Thread);
    EXPECT_TRUE(HasEntry(l_x_Unreachable, "c00000cb 0001: exception 0xC0000005 at address "));
    EXPECT_TRUE(l_x_Unreachable.WaitForExit(LONG_WAIT_MS));
}

} // namespace
