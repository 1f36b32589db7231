// The channel servers in the test process, without sensors: every class of request of both
// channels with its bytes, the 100 private channel slots, exchanges that fail on the public
// channel (the service goes on), channels that cannot be made, and the stop with 100 channels.
#include "tests/ipc/server/ServerTestSupport.h"

#include "ipc/protocol/TulvoStatus.h"
#include "ipc/server/GestIpcPublic.h"
#include "ipc/server/GestIpcServer.h"
#include "service/TraceLog.h"
#include "tests/common/ChildProcess.h"
#include "tests/ipc/toolshare/ToolShareTestSupport.h"

#include <memory>

using namespace srvtest;
using tulvo_test::CChildProcess;
using tulvo_test::CTraceCapture;
using tulvo_test::WaitFor;

namespace {

class PublicServer : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        Open();
        ASSERT_EQ(TULVO_OK, m_x_Client.Connect());
        ASSERT_EQ(TULVO_OK, m_x_Client.Lock());
    }
    void TearDown() override {
        m_x_Client.Unlock();
        m_x_Client.Close();
        ServerTest::TearDown();
    }
    // Starts the child client in that mode and waits until it stands where it will be killed.
    void StartChild(CChildProcess* o_px_Child, const std::string& i_x_Mode) {
        m_x_Client.Unlock();
        ASSERT_TRUE(o_px_Child->Start(
            "\"" + tulvo_test::BinDirectory() + "server_test_client.exe\" " + i_x_Mode, ""));
        ASSERT_TRUE(o_px_Child->WaitForOutput("ready", LONG_WAIT_MS)) << o_px_Child->Output();
    }
    // The next client: a fresh connection that takes the Lock the killed one left.
    void ExpectTheNextClientServed() {
        CRawClient l_x_Next;
        ASSERT_EQ(TULVO_OK, l_x_Next.Connect());
        ASSERT_EQ(TULVO_OK, l_x_Next.Lock());
        EXPECT_EQ(Head(0x08) + Bytes({0, 0, 0, 0, 0}), l_x_Next.Ask(EnumDevicesRequest()));
        CRawChannel l_x_Private;
        ASSERT_EQ(TULVO_OK, l_x_Next.OpenPrivate(&l_x_Private));
        EXPECT_EQ(StatusResponse(0x16, 0), l_x_Private.Ask(DestroyRequest()));
        l_x_Next.Unlock();
    }

    static Bytes PrivateRequest(uint32_t i_ul_ProcessId) {
        return Bytes({0x00, 0x00, 0x07}) + Be32(i_ul_ProcessId) + Bytes(8, 0);
    }

    CRawClient m_x_Client;
};

TEST_F(PublicServer, EachPublicRequestClassGetsItsOwnAnswer) {
    // The device list without devices; a request one byte too long is no ENUMDEVICES.
    EXPECT_EQ(Head(0x08) + Bytes({0, 0, 0, 0, 0}), m_x_Client.Ask(EnumDevicesRequest()));
    EXPECT_EQ(StatusResponse(0x08, TULVO_BAD_IPC_FORMAT),
              m_x_Client.Ask(EnumDevicesRequest() + Bytes({0})));
    // SERVERINFOS: an unknown info type travels in an 11-byte data response; 14 bytes are no
    // SERVERINFOS; longer ones are. This executable has no version resource: no data.
    EXPECT_EQ(Head(0x09) + Be32(0xFFFFFE64) + Be32(0), m_x_Client.Ask(ServerInfosRequest(5, 0)));
    Bytes l_x_Short = ServerInfosRequest(1, 7);
    l_x_Short.pop_back();
    EXPECT_EQ(StatusResponse(0x09, TULVO_BAD_IPC_FORMAT), m_x_Client.Ask(l_x_Short));
    EXPECT_EQ(Head(0x09) + Be32(0) + Be32(0),
              m_x_Client.Ask(ServerInfosRequest(0, 0) + Bytes({9})));
    // Anything else, the request's head echoed as far as it goes.
    EXPECT_EQ(StatusResponse(0x0A, TULVO_BAD_IPC_FORMAT), m_x_Client.Ask(Head(0x0A)));
    EXPECT_EQ(Bytes({0x01, 0x00, 0x00}) + Be32(0xFFFFFE68), m_x_Client.Ask({0x01, 0x00}));
    EXPECT_EQ(
        Bytes({0x00, 0x00, 0x07}) + Be32(0xFFFFFE68),
        m_x_Client.Ask(Bytes({0x00, 0x00, 0x07}) + Be32(GetCurrentProcessId()) + Bytes(7, 0)));
    EXPECT_EQ(
        Bytes({0x01, 0x00, 0x07}) + Be32(0xFFFFFE68),
        m_x_Client.Ask(Bytes({0x01, 0x00, 0x07}) + Be32(GetCurrentProcessId()) + Bytes(8, 0)));
    EXPECT_EQ(1, CTraceCapture::Count("GestIpcPublic_HandleReveiveBuffer cmd:0x0A "
                                      "(PUBLIC_IPC_UNKNOWN)\n"));
    EXPECT_EQ(1, CTraceCapture::Count("GestIpcPublic_ServerInfos TULVO_BAD_PARAMETER i_ul_InfoType "
                                      "Unknown\n"));
    EXPECT_EQ(6, CTraceCapture::Count("GestIpcPublic_HandleReveiveBuffer TULVO_BAD_IPC_FORMAT\n"));
}

TEST_F(PublicServer, TheLogSwitchesActAndOtherValuesChangeNothing) {
    const std::string l_x_Marker = TRACELOG_BASENAME;
    const Bytes l_x_Done = Head(0x09) + Be32(0) + Be32(0);
    const struct {
        uint32_t m_ul_Value;
        bool m_b_Marker;
        int m_i_Logging;
    } l_ax_Steps[] = {{3, true, 1}, {7, true, 1}, {2, false, 1}, {0, false, 0}, {1, false, 1}};
    for (const auto& l_x_Step : l_ax_Steps) {
        EXPECT_EQ(l_x_Done, m_x_Client.Ask(ServerInfosRequest(1, l_x_Step.m_ul_Value)));
        EXPECT_EQ(l_x_Step.m_b_Marker, tulvo_test::FileExists(l_x_Marker)) << l_x_Step.m_ul_Value;
        EXPECT_EQ(l_x_Step.m_i_Logging, TraceLog_IsEnabled()) << l_x_Step.m_ul_Value;
    }
}

TEST_F(PublicServer, AnUnlinkedChannelServesLinkAndDestroyOnlyAndEndsOnAnythingElse) {
    CRawChannel l_x_Private;
    ASSERT_EQ(TULVO_OK, m_x_Client.OpenPrivate(&l_x_Private));
    EXPECT_EQ(1, GestIpcSlots_Count());
    EXPECT_EQ(StatusResponse(0x17, TULVO_BAD_IPC_FORMAT), l_x_Private.Ask(Head(0x17)));
    EXPECT_EQ(Bytes({0x01, 0x00, 0x00}) + Be32(0xFFFFFE68), l_x_Private.Ask({0x01, 0x00}));
    EXPECT_EQ(Bytes({0x02, 0x00, 0x10}) + Be32(0xFFFFFE68), l_x_Private.Ask({0x02, 0x00, 0x10}));
    EXPECT_EQ(StatusResponse(0x10, TULVO_BAD_IPC_FORMAT), l_x_Private.Ask(Head(0x10) + Bytes({0})));
    // A key without its NUL, and one of 100 characters, name no device.
    EXPECT_EQ(StatusResponse(0x10, TULVO_BAD_IPC_FORMAT),
              l_x_Private.Ask(Head(0x10) + Bytes({0, 'A', 'B'})));
    EXPECT_EQ(StatusResponse(0x10, TULVO_BAD_IPC_FORMAT),
              l_x_Private.Ask(LinkRequest(0, std::string(100, 'K'))));
    EXPECT_EQ(StatusResponse(0x10, TULVO_DEVICE_NOT_PRESENT),
              l_x_Private.Ask(LinkRequest(0, std::string(99, 'K'))));
    EXPECT_EQ(1, CTraceCapture::Count("GestIpcPrivate_HandleReveiveBuffer cmd:0x17 "
                                      "(PRIVATE_IPC_UNKNOWN)\n"));
    EXPECT_EQ(1, CTraceCapture::Count("GestIpcPrivate_TrtLinkVEK TulvoServ_GetGestVek Err "
                                      "0xFFFFFE6D\n"));
    // A pipe command before any link: no response, and the channel is gone.
    ASSERT_EQ(TULVO_OK, l_x_Private.Write(LockRequest(1000)));
    ASSERT_TRUE(WaitFor([] { return GestIpcSlots_Count() == 0; }, LONG_WAIT_MS));
    Bytes l_x_Response;
    EXPECT_EQ(TULVO_TS_TIMEOUT, l_x_Private.Read(&l_x_Response, 200));
    EXPECT_EQ(1,
              CTraceCapture::Count(
                  "GestIpcPrivate_HandleReveiveBuffer l_ul_Commande != BYTE2_LINKPRIVATECONX\n"));
    EXPECT_EQ(1,
              CTraceCapture::Count("CGestIpc::ThreadProc TrtReveiveBufferAndTrt Err 0xFFFFFE64\n"));
    // DESTROYCONX in any state answers, then the channel ends.
    ASSERT_EQ(TULVO_OK, m_x_Client.OpenPrivate(&l_x_Private));
    EXPECT_EQ(StatusResponse(0x16, 0), l_x_Private.Ask(DestroyRequest()));
    EXPECT_TRUE(WaitFor([] { return GestIpcSlots_Count() == 0; }, LONG_WAIT_MS));
}

TEST_F(PublicServer, ChannelsAreBoundPerProcessAndInAllAndTheLowestFreeSlotIsReused) {
    // None of these channels is linked: the limit on unlinked ones stays out of the way.
    const GestIpcServer_Seams l_x_Seams = {nullptr, nullptr, 600000, nullptr};
    GestIpcServer_SetSeams(&l_x_Seams);
    const Bytes l_x_Refused = Bytes({0x00, 0x00, 0x07}) + Be32(0xFFFFFE69);
    std::vector<std::unique_ptr<CRawChannel>> l_ax_Channels;
    for (int l_i = 0; l_i < 32; ++l_i) {
        l_ax_Channels.emplace_back(new CRawChannel);
        ASSERT_EQ(TULVO_OK, m_x_Client.OpenPrivate(l_ax_Channels.back().get()));
    }
    // One process holds 32 channels at most, whoever asks in its name.
    EXPECT_EQ(l_x_Refused, m_x_Client.Ask(PrivateRequest(GetCurrentProcessId())));
    CChildProcess l_ax_Named[3];
    for (int l_i = 0; l_i < 67; ++l_i) {
        CChildProcess& l_x_Named = l_ax_Named[l_i / 32];
        if (l_i % 32 == 0) {
            StartChild(&l_x_Named, "idle");
        }
        ASSERT_EQ(24u, m_x_Client.Ask(PrivateRequest(l_x_Named.ProcessId())).size()) << l_i;
    }
    // A client process that cannot be opened gets no channel, and its slot is free at once.
    CRawChannel l_x_None;
    EXPECT_EQ(TULVO_TS_PEER_LOST, m_x_Client.OpenPrivate(&l_x_None, 0));
    EXPECT_EQ(99, GestIpcSlots_Count());
    EXPECT_EQ(24u, m_x_Client.Ask(PrivateRequest(l_ax_Named[2].ProcessId())).size());
    // All 100 in use: refused for a process that holds only four.
    EXPECT_EQ(l_x_Refused, m_x_Client.Ask(PrivateRequest(l_ax_Named[2].ProcessId())));
    // Two channels end; the next request takes the lower of their slots, then the other.
    EXPECT_EQ(StatusResponse(0x16, 0), l_ax_Channels[25]->Ask(DestroyRequest()));
    EXPECT_EQ(StatusResponse(0x16, 0), l_ax_Channels[12]->Ask(DestroyRequest()));
    ASSERT_TRUE(WaitFor([] { return GestIpcSlots_Count() == 98; }, LONG_WAIT_MS));
    CRawChannel l_x_Reused;
    ASSERT_EQ(TULVO_OK, m_x_Client.OpenPrivate(&l_x_Reused));
    EXPECT_NE(nullptr, GestIpcSlots_Record(GestIpcSlots_Get(12)));
    EXPECT_EQ(nullptr, GestIpcSlots_Record(GestIpcSlots_Get(25)));
    // The channel in the reused slot is served like any other.
    EXPECT_EQ(StatusResponse(0x10, TULVO_DEVICE_NOT_PRESENT),
              l_x_Reused.Ask(LinkRequest(1, "TLVSRV-none")));
    // Who holds channels: 31 of this process's, 32, 32 and 4 of the others'.
    const Bytes l_x_Holders = DataOf(m_x_Client.Ask(ServerInfosRequest(3, 0)));
    ASSERT_EQ(4u + 4 * 99, l_x_Holders.size());
    EXPECT_EQ(Be32(99), Bytes(l_x_Holders.begin(), l_x_Holders.begin() + 4));
    EXPECT_EQ(Be32(l_ax_Named[2].ProcessId()), Bytes(l_x_Holders.end() - 4, l_x_Holders.end()));
}

TEST_F(PublicServer, AChannelNotLinkedInTimeIsClosedAndTheHandlesGivenInItsNameTakenBack) {
    const GestIpcServer_Seams l_x_Seams = {nullptr, nullptr, 300, nullptr};
    GestIpcServer_SetSeams(&l_x_Seams);
    CChildProcess l_x_Named;
    StartChild(&l_x_Named, "idle");
    HANDLE l_h_Named =
        OpenProcess(PROCESS_DUP_HANDLE | PROCESS_QUERY_INFORMATION, FALSE, l_x_Named.ProcessId());
    ASSERT_NE(nullptr, l_h_Named);
    const size_t l_st_Before = tstest::CountHandlesIn(l_h_Named);
    for (int l_i = 0; l_i < 3; ++l_i) {
        ASSERT_EQ(24u, m_x_Client.Ask(PrivateRequest(l_x_Named.ProcessId())).size());
    }
    EXPECT_EQ(l_st_Before + 15, tstest::CountHandlesIn(l_h_Named));
    ASSERT_TRUE(WaitFor([] { return GestIpcSlots_Count() == 0; }, LONG_WAIT_MS));
    EXPECT_EQ(3, CTraceCapture::Count("not linked within 300 ms, closed\n"));
    EXPECT_EQ(l_st_Before, tstest::CountHandlesIn(l_h_Named));
    CloseHandle(l_h_Named);
}

TEST_F(PublicServer, ARunningResetByAnotherProcessIsSetAgainAndNoChannelEnds) {
    CRawChannel l_x_Private;
    ASSERT_EQ(TULVO_OK, m_x_Client.OpenPrivate(&l_x_Private));
    // What any process may do: Running is open to it with the right to reset it.
    HANDLE l_h_Running =
        OpenEventA(EVENT_MODIFY_STATE, FALSE, "Global\\" GESTIPC_PUBLIC_BASENAME ":Running");
    ASSERT_NE(nullptr, l_h_Running);
    // Reset under a request on its way, then while the service waits for one.
    ASSERT_TRUE(ResetEvent(l_h_Running));
    ASSERT_TRUE(SetEvent(m_x_Client.Get()->m_h_Outgoing));
    for (int l_i_Resets = 1; l_i_Resets <= 2; ++l_i_Resets) {
        EXPECT_TRUE(WaitFor(
            [&] {
                return CTraceCapture::Count("Running found reset by another process") == l_i_Resets;
            },
            LONG_WAIT_MS));
        EXPECT_EQ(TULVO_OK, ToolShareClt_ServerOK(m_x_Client.Get()));
        EXPECT_EQ(Head(0x08) + Bytes({0, 0, 0, 0, 0}), m_x_Client.Ask(EnumDevicesRequest()));
        EXPECT_EQ(StatusResponse(0x10, TULVO_DEVICE_NOT_PRESENT),
                  l_x_Private.Ask(LinkRequest(0, "TLVSRV-none")));
        ResetEvent(l_h_Running);
    }
    CloseHandle(l_h_Running);
    EXPECT_EQ(0, CTraceCapture::Count("GestIpcPrivate_Stop"));
}

TEST_F(PublicServer, AnAnnouncedLengthBeyondWhatTheChannelCarriesIsDropped) {
    // The public channel carries requests of a few bytes; a private one a command and the
    // largest frame the link writes. Nothing is allocated for the announcement.
    CRawChannel l_x_Private;
    ASSERT_EQ(TULVO_OK, m_x_Client.OpenPrivate(&l_x_Private));
    const struct {
        CRawChannel* m_px_Channel;
        uint32_t m_ul_Length;
        const char* m_pc_Line;
    } l_ax_Rows[] = {
        {&m_x_Client, 4097,
         "GestIpcPublic_ThreadReceptProc : ToolShare_ReadLenData() Error : -419\n"},
        {&l_x_Private, GESTIPC_PRIVATE_MAX_REQUEST + 1,
         "CGestIpc::ThreadProc : : ToolShare_ReadLenData() Error : -419\n"},
    };
    for (const auto& l_x_Row : l_ax_Rows) {
        ToolShare_Channel* const l_px_Channel = l_x_Row.m_px_Channel->Get();
        const Bytes l_x_Length = Be32(l_x_Row.m_ul_Length);
        memcpy(l_px_Channel->m_puc_View + 4, l_x_Length.data(), 4);
        SetEvent(l_px_Channel->m_h_Outgoing);
        EXPECT_TRUE(
            WaitFor([&] { return CTraceCapture::Count(l_x_Row.m_pc_Line) == 1; }, LONG_WAIT_MS))
            << l_x_Row.m_ul_Length;
    }
    // The public exchange is abandoned and the next one served; the private channel, whose
    // client broke the protocol, is gone.
    EXPECT_EQ(Head(0x08) + Bytes({0, 0, 0, 0, 0}), m_x_Client.Ask(EnumDevicesRequest()));
    EXPECT_TRUE(WaitFor([] { return GestIpcSlots_Count() == 0; }, LONG_WAIT_MS));
}

TEST_F(PublicServer, AClientKilledBeforeItsRequestIsCompleteLeavesTheServiceToTheNext) {
    CChildProcess l_x_Child;
    StartChild(&l_x_Child, "partial");
    l_x_Child.Kill();
    // The rest of the request never comes: the read ends with the client, its channel goes,
    // and the next client is served.
    ASSERT_TRUE(WaitFor([] { return GestIpcSlots_Count() == 0; }, LONG_WAIT_MS));
    EXPECT_EQ(1, CTraceCapture::Count("CGestIpc::TrtReveiveBuffer : ToolShare_ReadData Error : "
                                      "-418\n"));
    ExpectTheNextClientServed();
}

class ServerSeams : public ServerTest {
protected:
    static int32_t NoEvent(HANDLE* io_ph_Event) {
        *io_ph_Event = nullptr;
        return TULVO_OK;
    }
    static HANDLE NoThread(LPTHREAD_START_ROUTINE, LPVOID, DWORD*) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    static DWORD NoResume(HANDLE) {
        SetLastError(ERROR_ACCESS_DENIED);
        return static_cast<DWORD>(-1);
    }
    // The public server must not listen, and closing it must not wait for anything.
    void ExpectNoListener(const char* i_pc_Failure) {
        EXPECT_EQ(1, CTraceCapture::Count(i_pc_Failure));
        EXPECT_EQ(0, CTraceCapture::Count("GestIpcPublic_ThreadReceptProc Started\n"));
        CRawClient l_x_Client;
        EXPECT_EQ(TULVO_TS_SERVER_NOT_RUNNING, l_x_Client.Connect(300));
        TulvoServ_CloseGestIpcPublic();
    }
};

TEST_F(ServerSeams, APublicServerWithoutCancelEventOrThreadDoesNotListen) {
    GestIpcServer_Seams l_x_Seams = {NoEvent, nullptr, 0, nullptr};
    GestIpcServer_SetSeams(&l_x_Seams);
    Open();
    ExpectNoListener("GestIpcPublic_Create : ToolShare_InitializeWaitEvent() Error : -390\n");
    l_x_Seams = {nullptr, NoThread, 0, nullptr};
    GestIpcServer_SetSeams(&l_x_Seams);
    CTraceCapture::Clear();
    TulvoServ_OpenGestIpcPublic();
    ExpectNoListener("GestIpcPublic_Create ThreadReceptProc");
}

TEST_F(ServerSeams, APrivateChannelWithoutCancelEventOrThreadIsRefusedAndItsSlotFreed) {
    Open();
    CRawClient l_x_Client;
    ASSERT_EQ(TULVO_OK, l_x_Client.Connect());
    CRawChannel l_x_Private;
    GestIpcServer_Seams l_x_Seams = {NoEvent, nullptr, 0, nullptr};
    GestIpcServer_SetSeams(&l_x_Seams);
    EXPECT_EQ(TULVO_CREATE_OBJECT_FAILED, l_x_Client.OpenPrivate(&l_x_Private));
    EXPECT_EQ(0, GestIpcSlots_Count());
    l_x_Seams = {nullptr, NoThread, 0, nullptr};
    GestIpcServer_SetSeams(&l_x_Seams);
    EXPECT_EQ(TULVO_SIGNAL_ERROR, l_x_Client.OpenPrivate(&l_x_Private));
    EXPECT_EQ(0, GestIpcSlots_Count());
    // A thread that cannot start after the reply went: the client has its channel, but the
    // slot is free at once and no second answer waits for the client's next request.
    l_x_Seams = {nullptr, nullptr, 0, NoResume};
    GestIpcServer_SetSeams(&l_x_Seams);
    EXPECT_EQ(TULVO_OK, l_x_Client.OpenPrivate(&l_x_Private));
    EXPECT_EQ(0, GestIpcSlots_Count());
    EXPECT_EQ(Head(0x08) + Bytes({0, 0, 0, 0, 0}), l_x_Client.Ask(EnumDevicesRequest()));
    l_x_Private.Close();
    EXPECT_EQ(1, CTraceCapture::Count("GestIpcPrivate_Create : ToolShare_InitializeWaitEvent() "
                                      "Error : -390\n"));
    EXPECT_EQ(1, CTraceCapture::Count("GestIpcPrivate_Create ThreadReceptProc"));
    GestIpcServer_SetSeams(nullptr);
    ASSERT_EQ(TULVO_OK, l_x_Client.OpenPrivate(&l_x_Private));
    EXPECT_NE(nullptr, GestIpcSlots_Record(GestIpcSlots_Get(0)));
    EXPECT_EQ(StatusResponse(0x16, 0), l_x_Private.Ask(DestroyRequest()));
}

} // namespace
