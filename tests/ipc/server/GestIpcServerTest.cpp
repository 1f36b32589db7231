// The channel servers in the test process, without sensors: every class of request of both
// channels with its bytes, the 100 private channel slots, exchanges that fail on the public
// channel (the service goes on), channels that cannot be made, and the stop with 100 channels.
#include "tests/ipc/server/ServerTestSupport.h"

#include "ipc/protocol/TulvoStatus.h"
#include "ipc/server/GestIpcPublic.h"
#include "ipc/server/GestIpcServer.h"
#include "service/TraceLog.h"
#include "tests/common/ChildProcess.h"

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
        EXPECT_EQ(TULVO_OK, l_x_Next.OpenPrivate(&l_x_Private));
        EXPECT_EQ(StatusResponse(0x16, 0), l_x_Private.Ask(DestroyRequest()));
        l_x_Next.Unlock();
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

TEST_F(PublicServer, TheHundredAndFirstChannelIsRefusedAndTheLowestFreeSlotIsReused) {
    std::vector<std::unique_ptr<CRawChannel>> l_ax_Channels;
    for (int l_i = 0; l_i < 99; ++l_i) {
        l_ax_Channels.emplace_back(new CRawChannel);
        ASSERT_EQ(TULVO_OK, m_x_Client.OpenPrivate(l_ax_Channels.back().get()));
    }
    // A client process that cannot be opened gets no channel, and its slot is free at once.
    CRawChannel l_x_Refused;
    EXPECT_EQ(TULVO_TS_PEER_LOST, m_x_Client.OpenPrivate(&l_x_Refused, 0));
    EXPECT_EQ(99, GestIpcSlots_Count());
    l_ax_Channels.emplace_back(new CRawChannel);
    ASSERT_EQ(TULVO_OK, m_x_Client.OpenPrivate(l_ax_Channels.back().get()));
    EXPECT_EQ(
        Bytes({0x00, 0x00, 0x07}) + Be32(0xFFFFFE69),
        m_x_Client.Ask(Bytes({0x00, 0x00, 0x07}) + Be32(GetCurrentProcessId()) + Bytes(8, 0)));
    // Two channels end; the next request takes the lower of their slots, then the other.
    EXPECT_EQ(StatusResponse(0x16, 0), l_ax_Channels[57]->Ask(DestroyRequest()));
    EXPECT_EQ(StatusResponse(0x16, 0), l_ax_Channels[12]->Ask(DestroyRequest()));
    ASSERT_TRUE(WaitFor([] { return GestIpcSlots_Count() == 98; }, LONG_WAIT_MS));
    CRawChannel l_x_Reused;
    ASSERT_EQ(TULVO_OK, m_x_Client.OpenPrivate(&l_x_Reused));
    EXPECT_NE(nullptr, GestIpcSlots_Record(GestIpcSlots_Get(12)));
    EXPECT_EQ(nullptr, GestIpcSlots_Record(GestIpcSlots_Get(57)));
    // The channel in the reused slot is served like any other.
    EXPECT_EQ(StatusResponse(0x10, TULVO_DEVICE_NOT_PRESENT),
              l_x_Reused.Ask(LinkRequest(1, "TLVSRV-none")));
}

TEST_F(PublicServer, AnAnnouncedLengthBeyondTheBoundIsDroppedAndTheNextRequestServed) {
    ToolShare_Channel* const l_px_Channel = m_x_Client.Get();
    uint8_t* const l_puc_View = static_cast<uint8_t*>(
        MapViewOfFile(l_px_Channel->m_h_Section, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(nullptr, l_puc_View);
    const Bytes l_x_Length = Be32(0x7FFFFFFF);
    memcpy(l_puc_View + 4, l_x_Length.data(), 4);
    UnmapViewOfFile(l_puc_View);
    SetEvent(l_px_Channel->m_h_Outgoing);
    ASSERT_TRUE(
        WaitFor([] { return CTraceCapture::Count("exchange abandoned") == 1; }, LONG_WAIT_MS));
    EXPECT_EQ(1, CTraceCapture::Count("GestIpcPublic_ThreadReceptProc : ToolShare_ReadLenData() "
                                      "Error : -419\n"));
    EXPECT_EQ(Head(0x08) + Bytes({0, 0, 0, 0, 0}), m_x_Client.Ask(EnumDevicesRequest()));
}

TEST_F(PublicServer, AClientKilledBeforeItsRequestIsCompleteLeavesTheServiceToTheNext) {
    CChildProcess l_x_Child;
    StartChild(&l_x_Child, "partial");
    l_x_Child.Kill();
    // The rest of the request never comes: the exchange is abandoned after the transfer's
    // time-out, and the next client is served.
    ASSERT_TRUE(
        WaitFor([] { return CTraceCapture::Count("exchange abandoned") == 1; }, LONG_WAIT_MS));
    EXPECT_EQ(1, CTraceCapture::Count("GestIpcPublic_TrtReveiveBufferAndTrt : ToolShare_ReadData "
                                      "Error : -421\n"));
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
    GestIpcServer_Seams l_x_Seams = {NoEvent, nullptr};
    GestIpcServer_SetSeams(&l_x_Seams);
    Open();
    ExpectNoListener("GestIpcPublic_Create : ToolShare_InitializeWaitEvent() Error : -390\n");
    l_x_Seams = {nullptr, NoThread};
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
    GestIpcServer_Seams l_x_Seams = {NoEvent, nullptr};
    GestIpcServer_SetSeams(&l_x_Seams);
    EXPECT_EQ(TULVO_CREATE_OBJECT_FAILED, l_x_Client.OpenPrivate(&l_x_Private));
    EXPECT_EQ(0, GestIpcSlots_Count());
    l_x_Seams = {nullptr, NoThread};
    GestIpcServer_SetSeams(&l_x_Seams);
    EXPECT_EQ(TULVO_SIGNAL_ERROR, l_x_Client.OpenPrivate(&l_x_Private));
    EXPECT_EQ(0, GestIpcSlots_Count());
    EXPECT_EQ(1, CTraceCapture::Count("GestIpcPrivate_Create : ToolShare_InitializeWaitEvent() "
                                      "Error : -390\n"));
    EXPECT_EQ(1, CTraceCapture::Count("GestIpcPrivate_Create ThreadReceptProc"));
    GestIpcServer_SetSeams(nullptr);
    ASSERT_EQ(TULVO_OK, l_x_Client.OpenPrivate(&l_x_Private));
    EXPECT_NE(nullptr, GestIpcSlots_Record(GestIpcSlots_Get(0)));
    EXPECT_EQ(StatusResponse(0x16, 0), l_x_Private.Ask(DestroyRequest()));
}

} // namespace
