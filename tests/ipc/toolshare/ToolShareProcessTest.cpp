// The transport between real processes: the other end is a child process (toolshare_peer)
// that serves like the service or connects like a client, and that the test may kill.
#include "ipc/protocol/TulvoStatus.h"
#include "ipc/toolshare/ToolShare.h"
#include "tests/ipc/toolshare/ToolShareTestSupport.h"

#include <gtest/gtest.h>

#include <future>

using namespace tstest;

namespace {

// This process as the service, the child as a client that echoes on its private channel.
class ServiceSideTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_x_Name = UniqueBaseName("svc");
        m_x_Param = {m_x_Name.c_str(), TOOLSHARE_DEFAULT_SECTION_SIZE};
        ASSERT_EQ(TULVO_OK, ToolShareSrv_PublicListen(&m_x_Param, &m_x_Public));
        ASSERT_EQ(TULVO_OK, ToolShare_InitializeWaitEvent(&m_x_Public.m_h_Peer));
        ASSERT_TRUE(m_x_Child.Start("client " + m_x_Name));
        std::vector<uint8_t> l_x_Request;
        ASSERT_EQ(TULVO_OK, ReadMessage(&m_x_Public, &l_x_Request, nullptr, WAIT_LIMIT_MS));
        ASSERT_EQ(TULVO_OK, ToolShareSrv_IsPrivateConnectRequest(
                                l_x_Request.data(), static_cast<uint32_t>(l_x_Request.size())));
        ASSERT_EQ(TULVO_OK,
                  ToolShareSrv_CreatePrivateConnect(
                      &m_x_Param, &m_x_Private, &m_x_Public, l_x_Request.data(),
                      static_cast<uint32_t>(l_x_Request.size()), m_x_Public.m_h_Peer, 1000));
        ASSERT_EQ(m_x_Child.ProcessId(), m_x_Private.m_ul_ProcessId);
    }
    void TearDown() override {
        m_x_Child.Kill();
        ToolShare_Close(&m_x_Private);
        ToolShareSrv_Close(&m_x_Public);
    }
    std::string m_x_Name;
    ToolShare_Param m_x_Param{};
    ToolShare_Channel m_x_Public{};
    ToolShare_Channel m_x_Private{};
    CPeerProcess m_x_Child;
};

// This process as a client, the child as the service.
class ClientSideTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_x_Name = UniqueBaseName("clt");
        m_x_Param = {m_x_Name.c_str(), TOOLSHARE_DEFAULT_SECTION_SIZE};
        ASSERT_TRUE(m_x_Child.Start("serve " + m_x_Name));
        ASSERT_EQ(TULVO_OK, ConnectPrivate(&m_x_Param, &m_x_Public, &m_x_Private));
    }
    void TearDown() override {
        m_x_Child.Kill();
        ToolShare_Close(&m_x_Private);
        ToolShare_Close(&m_x_Public);
    }
    std::string m_x_Name;
    ToolShare_Param m_x_Param{};
    ToolShare_Channel m_x_Public{};
    ToolShare_Channel m_x_Private{};
    CPeerProcess m_x_Child;
};

void ExpectEcho(ToolShare_Channel* io_px_Channel, const std::vector<uint8_t>& i_x_Message) {
    ASSERT_EQ(TULVO_OK, WriteMessage(io_px_Channel, i_x_Message, nullptr, WAIT_LIMIT_MS));
    std::vector<uint8_t> l_x_Echo;
    ASSERT_EQ(TULVO_OK, ReadMessage(io_px_Channel, &l_x_Echo, nullptr, WAIT_LIMIT_MS));
    EXPECT_TRUE(l_x_Echo == i_x_Message) << "echo of " << i_x_Message.size() << " bytes differs";
}

// The four waits a peer's death must end, each run while the peer is killed.
enum EWait { WAIT_DATA, WAIT_LENGTH, WAIT_NEXT_CHUNK, WAIT_ACKNOWLEDGEMENT };

// Kernel calls each operation makes before it blocks (see the top of ToolShareTransfer.cpp),
// without the Running test that an end holding the Running event adds: WaitData waits at
// once; ReadLenData first tries a wait-all; ReadData takes the first chunk with a wait-all
// and acknowledges it (reset, signal); a writer checks the peer and signals its first chunk.
const uint32_t g_aul_CallsBeforeWait[] = {1, 2, 4, 3};

int32_t WaitWhilePeerDies(ToolShare_Channel* io_px_Channel, CPeerProcess* io_px_Child,
                          EWait i_e_Wait) {
    std::vector<uint8_t> l_x_Buffer;
    if (i_e_Wait == WAIT_NEXT_CHUNK) {
        // The peer writes one chunk of a three-chunk message and stops.
        if (WriteMessage(io_px_Channel, TextBytes("half"), nullptr, WAIT_LIMIT_MS) != TULVO_OK ||
            ToolShare_WaitData(io_px_Channel, nullptr, WAIT_LIMIT_MS) != TULVO_OK) {
            return TULVO_BAD_IPC_FORMAT;
        }
        uint32_t l_ul_Length = 0;
        if (ToolShare_ReadLenData(io_px_Channel, &l_ul_Length, nullptr, WAIT_LIMIT_MS) !=
                TULVO_OK ||
            l_ul_Length != io_px_Channel->m_ul_SectionSize * 3) {
            return TULVO_BAD_IPC_FORMAT;
        }
        l_x_Buffer.resize(l_ul_Length);
    }
    if (i_e_Wait == WAIT_ACKNOWLEDGEMENT) {
        // The peer stops reading: a message of two chunks waits for its acknowledgement.
        if (WriteMessage(io_px_Channel, TextBytes("stall"), nullptr, WAIT_LIMIT_MS) != TULVO_OK) {
            return TULVO_BAD_IPC_FORMAT;
        }
        // Half-duplex: the next write would withdraw "stall" if the peer had not taken it
        // yet. The peer's consuming read clears our data event.
        DWORD l_ul_Start = GetTickCount();
        while (WaitForSingleObject(io_px_Channel->m_h_Outgoing, 0) == WAIT_OBJECT_0) {
            if (GetTickCount() - l_ul_Start > WAIT_LIMIT_MS) {
                return TULVO_TS_TIMEOUT;
            }
            Sleep(1);
        }
        l_x_Buffer = Pattern(io_px_Channel->m_ul_SectionSize * 2, 8);
    }
    const uint32_t l_ul_Before = ToolShare_GetKernelCallCount();
    auto l_x_Wait = std::async(std::launch::async, [&]() -> int32_t {
        uint32_t l_ul_Length = 0;
        switch (i_e_Wait) {
        case WAIT_DATA:
            return ToolShare_WaitData(io_px_Channel, nullptr, WAIT_LIMIT_MS);
        case WAIT_LENGTH:
            return ToolShare_ReadLenData(io_px_Channel, &l_ul_Length, nullptr, WAIT_LIMIT_MS);
        case WAIT_NEXT_CHUNK:
            return ToolShare_ReadData(io_px_Channel, l_x_Buffer.data(),
                                      static_cast<uint32_t>(l_x_Buffer.size()), nullptr,
                                      WAIT_LIMIT_MS);
        case WAIT_ACKNOWLEDGEMENT:
            return WriteMessage(io_px_Channel, l_x_Buffer, nullptr, WAIT_LIMIT_MS);
        }
        return TULVO_BAD_IPC_FORMAT;
    });
    // The peer dies once the operation has come to its wait (or has entered it).
    const uint32_t l_ul_Calls =
        g_aul_CallsBeforeWait[i_e_Wait] + (io_px_Channel->m_h_Running != nullptr ? 1 : 0);
    const bool l_b_Reached = WaitForKernelCalls(l_ul_Before, l_ul_Calls);
    io_px_Child->Kill();
    const int32_t l_i_Status = l_x_Wait.get();
    return l_b_Reached ? l_i_Status : TULVO_TIMEOUT;
}

TEST_F(ServiceSideTest, SeveralMiBTravelToTheClientAndBack) {
    ExpectEcho(&m_x_Private, Pattern(3 * 1024 * 1024 + 17, 21));
    ExpectEcho(&m_x_Private, Pattern(TOOLSHARE_DEFAULT_SECTION_SIZE - 8, 22));
    ExpectEcho(&m_x_Private, Pattern(TOOLSHARE_DEFAULT_SECTION_SIZE - 7, 23));
    ExpectEcho(&m_x_Private, {});
}

TEST_F(ClientSideTest, SeveralMiBTravelToTheServiceAndBack) {
    ExpectEcho(&m_x_Private, Pattern(5 * 1024 * 1024 + 3, 31));
    ExpectEcho(&m_x_Private, Pattern(16, 32));
    // The public channel carries messages too (the service echoes what it does not know).
    ASSERT_EQ(TULVO_OK, ToolShareClt_Lock(&m_x_Public, WAIT_LIMIT_MS));
    ExpectEcho(&m_x_Public, Pattern(700 * 1024, 33));
    ToolShareClt_Unlock(&m_x_Public);
}

TEST_F(ClientSideTest, SecondPrivateChannelIsIndependentOfTheFirst) {
    ToolShare_Channel l_x_Second = {};
    ASSERT_EQ(TULVO_OK, ToolShareClt_Lock(&m_x_Public, WAIT_LIMIT_MS));
    ASSERT_EQ(TULVO_OK, ToolShareClt_AcquirePrivateConnect(&m_x_Param, &l_x_Second, &m_x_Public,
                                                           nullptr, WAIT_LIMIT_MS));
    ToolShareClt_Unlock(&m_x_Public);
    EXPECT_NE(m_x_Private.m_h_Section, l_x_Second.m_h_Section);
    ExpectEcho(&l_x_Second, TextBytes("second"));
    ExpectEcho(&m_x_Private, TextBytes("first"));
    ToolShare_Close(&l_x_Second);
}

TEST_F(ClientSideTest, ServiceThatStopsListeningStopsPrivateTraffic) {
    std::vector<uint8_t> l_x_Echo;
    ASSERT_EQ(TULVO_OK, WriteMessage(&m_x_Private, TextBytes("stop"), nullptr, WAIT_LIMIT_MS));
    EXPECT_EQ(TULVO_TS_SERVER_NOT_RUNNING,
              ReadMessage(&m_x_Private, &l_x_Echo, nullptr, WAIT_LIMIT_MS));
    EXPECT_EQ(TULVO_TS_SERVER_NOT_RUNNING,
              WriteMessage(&m_x_Private, TextBytes("more"), nullptr, WAIT_LIMIT_MS));
    EXPECT_EQ(TULVO_TS_SERVER_NOT_RUNNING, ToolShareClt_ServerOK(&m_x_Public));
}

TEST_F(ClientSideTest, ServiceEndingIsSeenByTheServerTest) {
    EXPECT_EQ(TULVO_OK, ToolShareClt_ServerOK(&m_x_Private));
    m_x_Child.Kill();
    EXPECT_EQ(TULVO_TS_PEER_LOST, ToolShareClt_ServerOK(&m_x_Private));
}

TEST_F(ServiceSideTest, ClientKilledDuringWaitForData) {
    EXPECT_EQ(TULVO_TS_PEER_LOST, WaitWhilePeerDies(&m_x_Private, &m_x_Child, WAIT_DATA));
}
TEST_F(ServiceSideTest, ClientKilledDuringWaitForLength) {
    EXPECT_EQ(TULVO_TS_PEER_LOST, WaitWhilePeerDies(&m_x_Private, &m_x_Child, WAIT_LENGTH));
}
TEST_F(ServiceSideTest, ClientKilledDuringWaitForNextChunk) {
    EXPECT_EQ(TULVO_TS_PEER_LOST, WaitWhilePeerDies(&m_x_Private, &m_x_Child, WAIT_NEXT_CHUNK));
}
TEST_F(ServiceSideTest, ClientKilledDuringWaitForAcknowledgement) {
    EXPECT_EQ(TULVO_TS_PEER_LOST,
              WaitWhilePeerDies(&m_x_Private, &m_x_Child, WAIT_ACKNOWLEDGEMENT));
}
TEST_F(ClientSideTest, ServiceKilledDuringWaitForData) {
    EXPECT_EQ(TULVO_TS_PEER_LOST, WaitWhilePeerDies(&m_x_Private, &m_x_Child, WAIT_DATA));
}
TEST_F(ClientSideTest, ServiceKilledDuringWaitForLength) {
    EXPECT_EQ(TULVO_TS_PEER_LOST, WaitWhilePeerDies(&m_x_Private, &m_x_Child, WAIT_LENGTH));
}
TEST_F(ClientSideTest, ServiceKilledDuringWaitForNextChunk) {
    EXPECT_EQ(TULVO_TS_PEER_LOST, WaitWhilePeerDies(&m_x_Private, &m_x_Child, WAIT_NEXT_CHUNK));
}
TEST_F(ClientSideTest, ServiceKilledDuringWaitForAcknowledgement) {
    EXPECT_EQ(TULVO_TS_PEER_LOST,
              WaitWhilePeerDies(&m_x_Private, &m_x_Child, WAIT_ACKNOWLEDGEMENT));
}

TEST(ToolShareAbandoned, MutexLeftByADeadProcessPassesToTheNextOwnerAndThenToAThird) {
    std::string l_x_Name = UniqueBaseName("mx");
    HANDLE l_h_Mutex = CreateMutexA(nullptr, FALSE, l_x_Name.c_str());
    ASSERT_NE(nullptr, l_h_Mutex);
    CPeerProcess l_x_Holder;
    ASSERT_TRUE(l_x_Holder.Start("hold " + l_x_Name));
    ASSERT_EQ(0u, l_x_Holder.WaitForExit(WAIT_LIMIT_MS));
    EXPECT_EQ(TULVO_OK, GetTheMutex(l_h_Mutex, WAIT_LIMIT_MS));
    EXPECT_EQ(TULVO_OK, ReleaseTheMutex(l_h_Mutex));
    CPeerProcess l_x_Third;
    ASSERT_TRUE(l_x_Third.Start("hold " + l_x_Name));
    EXPECT_EQ(0u, l_x_Third.WaitForExit(WAIT_LIMIT_MS + 5000));
    CloseHandle(l_h_Mutex);
}

TEST(ToolShareAbandoned, PublicLockLeftByADeadClientPassesOnAfterOneUnlock) {
    std::string l_x_Name = UniqueBaseName("lk");
    ToolShare_Param l_x_Param = {l_x_Name.c_str(), 4096};
    ToolShare_Channel l_x_Service = {};
    ASSERT_EQ(TULVO_OK, ToolShareSrv_PublicListen(&l_x_Param, &l_x_Service));
    ToolShare_Channel l_x_Client = {};
    ASSERT_EQ(TULVO_OK, ToolShareClt_PublicConnect(&l_x_Param, &l_x_Client));
    CPeerProcess l_x_Holder;
    ASSERT_TRUE(l_x_Holder.Start("lock " + l_x_Name));
    ASSERT_EQ(0u, l_x_Holder.WaitForExit(WAIT_LIMIT_MS));
    EXPECT_EQ(TULVO_OK, ToolShareClt_Lock(&l_x_Client, WAIT_LIMIT_MS));
    EXPECT_EQ(TULVO_OK, ToolShareClt_Unlock(&l_x_Client));
    CPeerProcess l_x_Third;
    ASSERT_TRUE(l_x_Third.Start("lock " + l_x_Name));
    EXPECT_EQ(0u, l_x_Third.WaitForExit(WAIT_LIMIT_MS + 5000));
    ToolShare_Close(&l_x_Client);
    ToolShareSrv_Close(&l_x_Service);
}

// A reply that cannot be written takes back every handle it had put into the client: the
// client process must not keep handles of a channel that nobody serves.
TEST(ToolSharePrivateConnect, FailedReplyLeavesNoHandleInTheClientProcess) {
    std::string l_x_Name = UniqueBaseName("rp");
    ToolShare_Param l_x_Param = {l_x_Name.c_str(), 4096};
    ToolShare_Channel l_x_Public = {};
    ASSERT_EQ(TULVO_OK, ToolShareSrv_PublicListen(&l_x_Param, &l_x_Public));
    HANDLE l_h_Ready = CreateEventA(nullptr, TRUE, FALSE, (l_x_Name + "Ready").c_str());
    CPeerProcess l_x_Client;
    ASSERT_TRUE(l_x_Client.Start("idle " + l_x_Name + "Ready"));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(l_h_Ready, WAIT_LIMIT_MS));
    uint8_t l_auc_Request[TOOLSHARE_PRIVATE_REQUEST_LENGTH];
    ToolShare_BuildPrivateConnectRequest(l_auc_Request, l_x_Client.ProcessId());
    HANDLE l_h_Cancel = nullptr;
    ASSERT_EQ(TULVO_OK, ToolShare_InitializeWaitEvent(&l_h_Cancel));
    const size_t l_st_Before = CountHandlesIn(l_x_Client.Process());
    ToolShare_Channel l_x_Private = {};

    ResetEvent(l_x_Public.m_h_Running); // the service stops listening
    EXPECT_EQ(TULVO_TS_SERVER_NOT_RUNNING,
              ToolShareSrv_CreatePrivateConnect(&l_x_Param, &l_x_Private, &l_x_Public,
                                                l_auc_Request, 15, l_h_Cancel, 1000));
    EXPECT_EQ(l_st_Before, CountHandlesIn(l_x_Client.Process()));
    SetEvent(l_x_Public.m_h_Running);
    ToolShare_CancelWaitData(l_h_Cancel); // the public server is being stopped
    EXPECT_EQ(TULVO_TS_PEER_LOST,
              ToolShareSrv_CreatePrivateConnect(&l_x_Param, &l_x_Private, &l_x_Public,
                                                l_auc_Request, 15, l_h_Cancel, 1000));
    EXPECT_EQ(l_st_Before, CountHandlesIn(l_x_Client.Process()));
    // A reply that is written leaves its five handles there.
    ASSERT_EQ(TULVO_OK, ToolShareSrv_CreatePrivateConnect(&l_x_Param, &l_x_Private, &l_x_Public,
                                                          l_auc_Request, 15, nullptr, 1000));
    EXPECT_EQ(l_st_Before + 5, CountHandlesIn(l_x_Client.Process()));

    ToolShare_Close(&l_x_Private);
    ToolShare_CloseWaitEvent(&l_h_Cancel);
    CloseHandle(l_h_Ready);
    ToolShareSrv_Close(&l_x_Public);
}

} // namespace
