// Named objects, their security, the private-connection request and reply, the Lock and the
// program's mutex calls, within one process.
#include "ipc/protocol/TulvoStatus.h"
#include "ipc/toolshare/ToolShare.h"
#include "service/TraceLog.h"
#include "tests/common/TraceCapture.h"
#include "tests/ipc/toolshare/ToolShareTestSupport.h"

#include <gtest/gtest.h>

#include <aclapi.h>

#include <future>
#include <mutex>
#include <string.h>
#include <thread>

using namespace tstest;

namespace {

std::string GlobalName(const std::string& i_x_Base, const char* i_pc_Suffix) {
    return "Global\\" + i_x_Base + i_pc_Suffix;
}

TEST(ToolShareNames, GlobalNamesOnTheNtFamilyFromVersionFive) {
    OSVERSIONINFOA l_x_Version = {};
    l_x_Version.dwOSVersionInfoSize = sizeof(l_x_Version);
    ASSERT_TRUE(GetVersionExA(&l_x_Version));
    EXPECT_EQ(l_x_Version.dwPlatformId == VER_PLATFORM_WIN32_NT && l_x_Version.dwMajorVersion >= 5,
              ToolShare_UseGlobalNames());
}

TEST(ToolShareNames, ServiceCreatesFiveObjectsUnderTheirNamesAndSignalsRunning) {
    ASSERT_TRUE(ToolShare_UseGlobalNames());
    std::string l_x_Base = UniqueBaseName("nm");
    ToolShare_Param l_x_Param = {l_x_Base.c_str(), 8192};
    ToolShare_Channel l_x_Service = {};
    ASSERT_EQ(TULVO_OK, ToolShareSrv_PublicListen(&l_x_Param, &l_x_Service));
    EXPECT_EQ(GetCurrentProcessId(), l_x_Service.m_ul_ProcessId);
    EXPECT_EQ(8192u, l_x_Service.m_ul_SectionSize);
    EXPECT_EQ(nullptr, l_x_Service.m_h_Peer);
    for (const char* l_pc_Event : {":Running", ":Recv", ":Send"}) {
        HANDLE l_h_Event = OpenEventA(SYNCHRONIZE, FALSE, GlobalName(l_x_Base, l_pc_Event).c_str());
        EXPECT_NE(nullptr, l_h_Event) << l_pc_Event;
        if (l_h_Event != nullptr) {
            EXPECT_EQ(std::string(l_pc_Event) == ":Running" ? WAIT_OBJECT_0 : WAIT_TIMEOUT,
                      WaitForSingleObject(l_h_Event, 0))
                << l_pc_Event;
            CloseHandle(l_h_Event);
        }
    }
    HANDLE l_h_Section =
        OpenFileMappingA(FILE_MAP_READ, FALSE, GlobalName(l_x_Base, ":Mfile").c_str());
    EXPECT_NE(nullptr, l_h_Section);
    CloseHandle(l_h_Section);
    HANDLE l_h_Lock = OpenMutexA(SYNCHRONIZE, FALSE, GlobalName(l_x_Base, ":Lock").c_str());
    EXPECT_NE(nullptr, l_h_Lock);
    CloseHandle(l_h_Lock);

    // The client end holds Send as incoming and Recv as outgoing.
    ToolShare_Channel l_x_Client = {};
    ASSERT_EQ(TULVO_OK, ToolShareClt_PublicConnect(&l_x_Param, &l_x_Client));
    EXPECT_EQ(TULVO_OK, ToolShareClt_ServerOK(&l_x_Client));
    SetEvent(l_x_Service.m_h_Outgoing);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(l_x_Client.m_h_Incoming, 0));
    ResetEvent(l_x_Service.m_h_Outgoing);

    // Closing the service resets Running: a client still holding the objects sees it.
    ASSERT_EQ(TULVO_OK, ToolShareSrv_Close(&l_x_Service));
    EXPECT_TRUE(IsClosed(l_x_Service));
    EXPECT_EQ(TULVO_TS_SERVER_NOT_RUNNING, ToolShareClt_ServerOK(&l_x_Client));
    ToolShare_Close(&l_x_Client);
    EXPECT_EQ(TULVO_TS_SERVER_NOT_RUNNING, ToolShareClt_PublicConnect(&l_x_Param, &l_x_Client));
    EXPECT_EQ(GetCurrentProcessId(), l_x_Client.m_ul_ProcessId);
    EXPECT_EQ(nullptr, l_x_Client.m_h_Incoming);
}

TEST(ToolShareNames, BaseNameOfFortyEightCharactersIsTheLongestAccepted) {
    std::string l_x_Base = UniqueBaseName("len");
    l_x_Base.resize(TOOLSHARE_MAX_BASENAME_LENGTH, 'x');
    ToolShare_Param l_x_Param = {l_x_Base.c_str(), 4096};
    ToolShare_Channel l_x_Service = {};
    ASSERT_EQ(TULVO_OK, ToolShareSrv_PublicListen(&l_x_Param, &l_x_Service));
    EXPECT_NE(nullptr, l_x_Service.m_h_Running);
    EXPECT_NE(nullptr, l_x_Service.m_h_Lock);
    ToolShare_Channel l_x_Client = {};
    EXPECT_EQ(TULVO_OK, ToolShareClt_PublicConnect(&l_x_Param, &l_x_Client));
    EXPECT_NE(nullptr, l_x_Client.m_h_Running);
    ToolShare_Close(&l_x_Client);

    // One more character would cut ":Running" into ":Runnin": refused, nothing created.
    std::string l_x_Long = l_x_Base + "y";
    ToolShare_Param l_x_LongParam = {l_x_Long.c_str(), 4096};
    ToolShare_Channel l_x_Other = {};
    EXPECT_EQ(TULVO_TS_BAD_ARGUMENT, ToolShareSrv_PublicListen(&l_x_LongParam, &l_x_Other));
    EXPECT_EQ(nullptr, l_x_Other.m_h_Incoming);
    EXPECT_EQ(nullptr, l_x_Other.m_h_Lock);
    EXPECT_EQ(TULVO_TS_BAD_ARGUMENT, ToolShareClt_PublicConnect(&l_x_LongParam, &l_x_Other));
    HANDLE l_h_Cut = OpenEventA(SYNCHRONIZE, FALSE, GlobalName(l_x_Long, ":Runnin").c_str());
    EXPECT_EQ(nullptr, l_h_Cut);
    ToolShareSrv_Close(&l_x_Service);
}

TEST(ToolShareNames, UnnamedChannelHasNoRunningAndCarriesItsSize) {
    HANDLE l_h_Peer = INVALID_HANDLE_VALUE, l_h_Running = INVALID_HANDLE_VALUE;
    HANDLE l_h_Recv = nullptr, l_h_Send = nullptr, l_h_Section = nullptr;
    uint32_t l_ul_Size = 0;
    ASSERT_EQ(TULVO_OK, ToolShare_CreateChannel(&l_h_Peer, &l_h_Running, &l_h_Recv, &l_h_Send,
                                                &l_h_Section, &l_ul_Size, "", 12288));
    EXPECT_EQ(nullptr, l_h_Peer);
    EXPECT_EQ(nullptr, l_h_Running);
    EXPECT_EQ(12288u, l_ul_Size);
    const uint8_t* l_puc_View =
        static_cast<const uint8_t*>(MapViewOfFile(l_h_Section, FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(nullptr, l_puc_View);
    EXPECT_EQ(12288u, tulvo_test::GetBe32(l_puc_View));
    UnmapViewOfFile(l_puc_View);
    CloseHandle(l_h_Recv);
    CloseHandle(l_h_Send);
    CloseHandle(l_h_Section);

    EXPECT_EQ(TULVO_TS_BAD_ARGUMENT, ToolShare_CreateChannel(nullptr, nullptr, &l_h_Recv, nullptr,
                                                             &l_h_Section, &l_ul_Size, "", 4096));
    EXPECT_EQ(TULVO_TS_BAD_ARGUMENT, ToolShare_OpenChannel(nullptr, nullptr, &l_h_Recv, &l_h_Send,
                                                           &l_h_Section, &l_ul_Size, ""));
}

TEST(ToolShareNames, ServiceKeepsTheSizeOfASectionLeftByAnEarlierInstance) {
    std::string l_x_Base = UniqueBaseName("old");
    HANDLE l_h_Old = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 65536,
                                        GlobalName(l_x_Base, ":Mfile").c_str());
    ASSERT_NE(nullptr, l_h_Old);
    uint8_t* l_puc_View = static_cast<uint8_t*>(MapViewOfFile(l_h_Old, FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(nullptr, l_puc_View);
    tulvo_test::PutBe32(l_puc_View, 65536);
    ToolShare_Param l_x_Param = {l_x_Base.c_str(), 4096};
    ToolShare_Channel l_x_Service = {};
    ASSERT_EQ(TULVO_OK, ToolShareSrv_PublicListen(&l_x_Param, &l_x_Service));
    EXPECT_EQ(65536u, l_x_Service.m_ul_SectionSize);
    EXPECT_EQ(65536u, tulvo_test::GetBe32(l_puc_View));
    ToolShareSrv_Close(&l_x_Service);

    // A size word larger than the section would let every copy run past the mapping.
    l_puc_View[0] = 0x7F;
    ToolShare_Channel l_x_Again = {};
    EXPECT_EQ(TULVO_TS_CHANNEL_ERROR, ToolShareSrv_PublicListen(&l_x_Param, &l_x_Again));
    EXPECT_EQ(nullptr, l_x_Again.m_h_Section);
    UnmapViewOfFile(l_puc_View);
    CloseHandle(l_h_Old);
}

// The DACL read back from an object: five entries in order, every right for the system
// accounts and no more than the given mask for the others (no DELETE, WRITE_DAC, WRITE_OWNER).
void ExpectTransportDacl(HANDLE i_h_Object, DWORD i_ul_Mask, const char* i_pc_What) {
    PACL l_px_Dacl = nullptr;
    PSECURITY_DESCRIPTOR l_px_Descriptor = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              GetSecurityInfo(i_h_Object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &l_px_Dacl, nullptr, &l_px_Descriptor))
        << i_pc_What;
    ASSERT_NE(nullptr, l_px_Dacl) << i_pc_What;
    const struct {
        WELL_KNOWN_SID_TYPE m_e_Sid;
        DWORD m_ul_Mask;
    } l_ax_Expected[] = {
        {WinLocalSystemSid, 0x001FFFFF},
        {WinServiceSid, 0x001FFFFF},
        {WinBuiltinAdministratorsSid, i_ul_Mask},
        {WinInteractiveSid, i_ul_Mask},
        {WinWorldSid, i_ul_Mask},
    };
    ASSERT_EQ(5u, l_px_Dacl->AceCount) << i_pc_What;
    for (DWORD l_ul_Index = 0; l_ul_Index < 5; ++l_ul_Index) {
        void* l_pv_Ace = nullptr;
        ASSERT_TRUE(GetAce(l_px_Dacl, l_ul_Index, &l_pv_Ace));
        auto* l_px_Ace = static_cast<ACCESS_ALLOWED_ACE*>(l_pv_Ace);
        EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, l_px_Ace->Header.AceType);
        EXPECT_EQ(l_ax_Expected[l_ul_Index].m_ul_Mask, l_px_Ace->Mask)
            << i_pc_What << " entry " << l_ul_Index;
        BYTE l_auc_Sid[SECURITY_MAX_SID_SIZE];
        DWORD l_ul_SidSize = sizeof(l_auc_Sid);
        ASSERT_TRUE(CreateWellKnownSid(l_ax_Expected[l_ul_Index].m_e_Sid, nullptr, l_auc_Sid,
                                       &l_ul_SidSize));
        EXPECT_TRUE(EqualSid(&l_px_Ace->SidStart, l_auc_Sid))
            << i_pc_What << " entry " << l_ul_Index;
    }
    LocalFree(l_px_Descriptor);
}

TEST(ToolShareSecurity, EveryNamedObjectCarriesTheFiveEntriesWithItsMask) {
    std::string l_x_Base = UniqueBaseName("acl");
    ToolShare_Param l_x_Param = {l_x_Base.c_str(), 4096};
    ToolShare_Channel l_x_Service = {};
    ASSERT_EQ(TULVO_OK, ToolShareSrv_PublicListen(&l_x_Param, &l_x_Service));
    ExpectTransportDacl(l_x_Service.m_h_Running, 0x00120002, "Running");
    ExpectTransportDacl(l_x_Service.m_h_Incoming, 0x00120002, "Recv");
    ExpectTransportDacl(l_x_Service.m_h_Outgoing, 0x00120002, "Send");
    ExpectTransportDacl(l_x_Service.m_h_Section, 0x00020006, "Mfile");
    ExpectTransportDacl(l_x_Service.m_h_Lock, 0x00120000, "Lock");
    // The entries still let a client open with the rights it asks for; it waits on Running
    // but may not reset it.
    ToolShare_Channel l_x_Client = {};
    EXPECT_EQ(TULVO_OK, ToolShareClt_PublicConnect(&l_x_Param, &l_x_Client));
    EXPECT_NE(nullptr, l_x_Client.m_h_Lock);
    ASSERT_NE(nullptr, l_x_Client.m_h_Running);
    EXPECT_FALSE(ResetEvent(l_x_Client.m_h_Running));
    EXPECT_EQ(TULVO_OK, ToolShareClt_ServerOK(&l_x_Client));
    ToolShare_Close(&l_x_Client);
    ToolShareSrv_Close(&l_x_Service);
}

TEST(ToolShareSecurity, DescriptorOwnershipGoesToTheCaller) {
    PSECURITY_DESCRIPTOR l_px_Descriptor = nullptr;
    PACL l_px_Acl = nullptr;
    ASSERT_EQ(1, ToolShare_BuildSecurityDescriptor(&l_px_Descriptor, &l_px_Acl, 0x001F0000));
    ASSERT_NE(nullptr, l_px_Descriptor);
    ASSERT_NE(nullptr, l_px_Acl);
    BOOL l_b_Present = FALSE, l_b_Defaulted = TRUE;
    PACL l_px_Read = nullptr;
    ASSERT_TRUE(
        GetSecurityDescriptorDacl(l_px_Descriptor, &l_b_Present, &l_px_Read, &l_b_Defaulted));
    EXPECT_TRUE(l_b_Present);
    EXPECT_FALSE(l_b_Defaulted);
    EXPECT_EQ(l_px_Acl, l_px_Read);
    EXPECT_EQ(nullptr, LocalFree(l_px_Descriptor));
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, l_px_Acl));
    // Wine drops the label but the call must still report success.
    HANDLE l_h_Event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(1, ToolShare_SetLowIntegrityLabel(l_h_Event));
    CloseHandle(l_h_Event);
}

// ---- private-connection request and reply ----

TEST(ToolSharePrivateRequest, FifteenBytesStartingWithZeroZeroSevenIsTheRequest) {
    uint8_t l_auc_Request[TOOLSHARE_PRIVATE_REQUEST_LENGTH + 1] = {};
    ToolShare_BuildPrivateConnectRequest(l_auc_Request, 0x01020304);
    const uint8_t l_auc_Expected[15] = {0, 0, 7, 1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, memcmp(l_auc_Expected, l_auc_Request, 15));
    EXPECT_EQ(TULVO_OK, ToolShareSrv_IsPrivateConnectRequest(l_auc_Request, 15));
    EXPECT_EQ(TULVO_TS_CHANNEL_ERROR, ToolShareSrv_IsPrivateConnectRequest(l_auc_Request, 14));
    EXPECT_EQ(TULVO_TS_CHANNEL_ERROR, ToolShareSrv_IsPrivateConnectRequest(l_auc_Request, 16));
    for (int l_i_Byte = 0; l_i_Byte < 3; ++l_i_Byte) {
        uint8_t l_auc_Other[15];
        memcpy(l_auc_Other, l_auc_Request, 15);
        l_auc_Other[l_i_Byte] ^= 0x01;
        EXPECT_EQ(TULVO_TS_CHANNEL_ERROR, ToolShareSrv_IsPrivateConnectRequest(l_auc_Other, 15));
    }
    EXPECT_EQ(TULVO_TS_BAD_ARGUMENT, ToolShareSrv_IsPrivateConnectRequest(nullptr, 15));
    EXPECT_EQ(TULVO_TS_BAD_ARGUMENT, ToolShareSrv_IsPrivateConnectRequest(l_auc_Request, 0));
}

class PublicPairTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_x_Name = UniqueBaseName("pp");
        m_x_Param = {m_x_Name.c_str(), 4096};
        ASSERT_EQ(TULVO_OK, ToolShareSrv_PublicListen(&m_x_Param, &m_x_Service));
        ASSERT_EQ(TULVO_OK, ToolShareClt_PublicConnect(&m_x_Param, &m_x_Client));
    }
    void TearDown() override {
        ToolShare_Close(&m_x_Client);
        ToolShareSrv_Close(&m_x_Service);
    }
    std::string m_x_Name;
    ToolShare_Param m_x_Param{};
    ToolShare_Channel m_x_Service{};
    ToolShare_Channel m_x_Client{};
};

TEST_F(PublicPairTest, ReplyThatIsNotAChannelFailsWithTheRefusalsStatusAndLeavesTheRecordAlone) {
    typedef std::vector<uint8_t> Bytes;
    const Bytes l_x_TooMany = {0x00, 0x00, 0x07, 0xFF, 0xFF, 0xFE, 0x69};
    Bytes l_x_Longer = l_x_TooMany;
    l_x_Longer.push_back(0);
    // Only a 7-byte response to this request that carries a failure tells why.
    const struct {
        Bytes m_x_Reply;
        int32_t m_i_Status;
    } l_ax_Cases[] = {{l_x_TooMany, TULVO_TOO_MANY_CHANNELS},
                      {{0x00, 0x00, 0x07, 0xFF, 0xFF, 0xFE, 0x5E}, TULVO_TS_PEER_LOST},
                      {{0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00}, TULVO_TS_CHANNEL_ERROR},
                      {{0x01, 0x00, 0x07, 0xFF, 0xFF, 0xFE, 0x69}, TULVO_TS_CHANNEL_ERROR},
                      {{0x00, 0x00, 0x08, 0xFF, 0xFF, 0xFE, 0x69}, TULVO_TS_CHANNEL_ERROR},
                      {l_x_Longer, TULVO_TS_CHANNEL_ERROR},
                      {Pattern(7, 9), TULVO_TS_CHANNEL_ERROR},
                      {Pattern(23, 9), TULVO_TS_CHANNEL_ERROR},
                      {Pattern(25, 9), TULVO_TS_CHANNEL_ERROR},
                      {Pattern(64, 9), TULVO_TS_CHANNEL_ERROR},
                      {Pattern(65, 9), TULVO_TS_CHANNEL_ERROR},
                      {Pattern(5000, 9), TULVO_TS_CHANNEL_ERROR}};
    for (const auto& l_x_Case : l_ax_Cases) {
        const size_t l_ul_Length = l_x_Case.m_x_Reply.size();
        auto l_x_Server = std::async(std::launch::async, [&] {
            std::vector<uint8_t> l_x_Request;
            int32_t l_i_Status = ReadMessage(&m_x_Service, &l_x_Request, nullptr, WAIT_LIMIT_MS);
            uint8_t l_auc_Expected[15];
            ToolShare_BuildPrivateConnectRequest(l_auc_Expected, GetCurrentProcessId());
            if (l_i_Status == TULVO_OK &&
                l_x_Request != std::vector<uint8_t>(l_auc_Expected, l_auc_Expected + 15)) {
                l_i_Status = TULVO_BAD_IPC_FORMAT;
            }
            if (l_i_Status == TULVO_OK) {
                l_i_Status = WriteMessage(&m_x_Service, l_x_Case.m_x_Reply, nullptr, 200);
            }
            return l_i_Status;
        });
        ToolShare_Channel l_x_Private = {};
        EXPECT_EQ(l_x_Case.m_i_Status,
                  ToolShareClt_AcquirePrivateConnect(&m_x_Param, &l_x_Private, &m_x_Client, nullptr,
                                                     WAIT_LIMIT_MS))
            << l_ul_Length;
        EXPECT_TRUE(IsClosed(l_x_Private));
        // A reply too long for one chunk is not read: its writer times out.
        int32_t l_i_Server = l_x_Server.get();
        EXPECT_TRUE(l_i_Server == TULVO_OK ||
                    (l_ul_Length > 4088 && l_i_Server == TULVO_TS_TIMEOUT))
            << l_ul_Length << " " << l_i_Server;
    }
}

TEST_F(PublicPairTest, ClientProcessThatCannotBeOpenedIsRefusedWithoutAReply) {
    uint8_t l_auc_Request[15];
    // Process ids are multiples of four: this one names no process.
    ToolShare_BuildPrivateConnectRequest(l_auc_Request, 0xFFFFFFF3u);
    ToolShare_Channel l_x_Private = {};
    EXPECT_EQ(TULVO_TS_PEER_LOST,
              ToolShareSrv_CreatePrivateConnect(&m_x_Param, &l_x_Private, &m_x_Service,
                                                l_auc_Request, 15, nullptr, 1000));
    EXPECT_TRUE(IsClosed(l_x_Private));
    EXPECT_EQ(TULVO_TS_TIMEOUT, ToolShare_WaitData(&m_x_Client, nullptr, 0));
    EXPECT_EQ(TULVO_TS_BAD_ARGUMENT,
              ToolShareSrv_CreatePrivateConnect(&m_x_Param, &l_x_Private, &m_x_Service,
                                                l_auc_Request, 6, nullptr, 1000));
}

TEST_F(PublicPairTest, PrivateChannelWithinOneProcessCarriesMessagesBothWays) {
    HANDLE l_h_Stop = nullptr;
    ASSERT_EQ(TULVO_OK, ToolShare_InitializeWaitEvent(&l_h_Stop));
    auto l_x_Server = std::async(std::launch::async, [&] {
        std::vector<uint8_t> l_x_Request;
        ToolShare_Channel l_x_Private = {};
        int32_t l_i_Status = ReadMessage(&m_x_Service, &l_x_Request, nullptr, WAIT_LIMIT_MS);
        if (l_i_Status == TULVO_OK) {
            l_i_Status = ToolShareSrv_CreatePrivateConnect(
                &m_x_Param, &l_x_Private, &m_x_Service, l_x_Request.data(),
                static_cast<uint32_t>(l_x_Request.size()), nullptr, 1000);
        }
        if (l_i_Status == TULVO_OK) {
            EXPECT_EQ(GetCurrentProcessId(), l_x_Private.m_ul_ProcessId);
            EXPECT_EQ(nullptr, l_x_Private.m_h_Running);
            EXPECT_EQ(nullptr, l_x_Private.m_h_Lock);
            EXPECT_NE(nullptr, l_x_Private.m_h_Peer);
            l_i_Status = EchoLoop(&l_x_Private, nullptr, l_h_Stop);
        }
        ToolShare_Close(&l_x_Private);
        return l_i_Status;
    });
    ToolShare_Channel l_x_Private = {};
    ASSERT_EQ(TULVO_OK, ToolShareClt_AcquirePrivateConnect(&m_x_Param, &l_x_Private, &m_x_Client,
                                                           nullptr, WAIT_LIMIT_MS));
    EXPECT_NE(nullptr, l_x_Private.m_h_Lock);
    EXPECT_NE(nullptr, l_x_Private.m_h_Running);
    EXPECT_NE(nullptr, l_x_Private.m_h_Peer);
    EXPECT_EQ(GetCurrentProcessId(), l_x_Private.m_ul_ProcessId);
    EXPECT_EQ(4096u, l_x_Private.m_ul_SectionSize);
    std::vector<uint8_t> l_x_Message = Pattern(3 * 4096, 11);
    ASSERT_EQ(TULVO_OK, WriteMessage(&l_x_Private, l_x_Message, nullptr, WAIT_LIMIT_MS));
    std::vector<uint8_t> l_x_Echo;
    ASSERT_EQ(TULVO_OK, ReadMessage(&l_x_Private, &l_x_Echo, nullptr, WAIT_LIMIT_MS));
    EXPECT_EQ(l_x_Message, l_x_Echo);
    // The private client end follows the public Running event.
    ResetEvent(m_x_Service.m_h_Running);
    EXPECT_EQ(TULVO_TS_SERVER_NOT_RUNNING,
              WriteMessage(&l_x_Private, l_x_Message, nullptr, WAIT_LIMIT_MS));
    SetEvent(m_x_Service.m_h_Running);
    ToolShare_CancelWaitData(l_h_Stop);
    EXPECT_EQ(TULVO_TS_PEER_LOST, l_x_Server.get());
    ToolShare_Close(&l_x_Private);
    EXPECT_TRUE(IsClosed(l_x_Private));
    ToolShare_CloseWaitEvent(&l_h_Stop);
}

// ---- Lock and the program's mutex calls ----

using tulvo_test::CTraceCapture;

class MutexTest : public ::testing::Test {
protected:
    CTraceCapture m_x_Trace;
};

// A third party (another thread) can take the mutex within the limit.
bool OtherThreadCanTake(HANDLE i_h_Mutex) {
    return std::async(std::launch::async,
                      [i_h_Mutex] {
                          DWORD l_ul_Wait = WaitForSingleObject(i_h_Mutex, WAIT_LIMIT_MS);
                          if (l_ul_Wait == WAIT_OBJECT_0) {
                              ReleaseMutex(i_h_Mutex);
                          }
                          return l_ul_Wait == WAIT_OBJECT_0;
                      })
        .get();
}

TEST_F(MutexTest, TimeOutIsLoggedWithTheHandleValue) {
    HANDLE l_h_Mutex = CreateMutexA(nullptr, FALSE, nullptr);
    std::promise<void> l_x_Taken, l_x_Release;
    std::thread l_x_Holder([&] {
        WaitForSingleObject(l_h_Mutex, INFINITE);
        l_x_Taken.set_value();
        l_x_Release.get_future().wait();
        ReleaseMutex(l_h_Mutex);
    });
    l_x_Taken.get_future().wait();
    EXPECT_EQ(TULVO_TIMEOUT, GetTheMutex(l_h_Mutex, 20));
    char l_ac_Text[80];
    snprintf(l_ac_Text, sizeof(l_ac_Text),
             "GetTheMutex: WaitForSingleObject WAIT_TIMEOUT h:0x%08X\n",
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(l_h_Mutex)));
    EXPECT_TRUE(CTraceCapture::Contains(l_ac_Text));
    l_x_Release.set_value();
    l_x_Holder.join();
    EXPECT_EQ(TULVO_OK, GetTheMutex(l_h_Mutex, WAIT_LIMIT_MS));
    EXPECT_EQ(TULVO_OK, ReleaseTheMutex(l_h_Mutex));
    CloseHandle(l_h_Mutex);
}

TEST_F(MutexTest, FailedWaitAndFailedReleaseAreLoggedAsSystemErrors) {
    HANDLE l_h_Event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE l_h_Closed = CreateMutexA(nullptr, FALSE, nullptr);
    CloseHandle(l_h_Closed);
    EXPECT_EQ(TULVO_SYSTEM_ERROR, GetTheMutex(l_h_Closed, 0));
    EXPECT_TRUE(CTraceCapture::ContainsPrefix("GetTheMutex: WaitForSingleObject (SysErr No:"));
    HANDLE l_h_Mutex = CreateMutexA(nullptr, FALSE, nullptr);
    EXPECT_EQ(TULVO_SIGNAL_ERROR, ReleaseTheMutex(l_h_Mutex));
    EXPECT_TRUE(CTraceCapture::ContainsPrefix("ReleaseTheMutex: ReleaseMutex (SysErr No:"));
    CloseHandle(l_h_Mutex);
    CloseHandle(l_h_Event);
}

TEST_F(MutexTest, MutexAbandonedByItsThreadPassesToTheNextOwnerAndThenToAThird) {
    HANDLE l_h_Mutex = CreateMutexA(nullptr, FALSE, nullptr);
    std::thread([&] { WaitForSingleObject(l_h_Mutex, INFINITE); }).join();
    EXPECT_EQ(TULVO_OK, GetTheMutex(l_h_Mutex, WAIT_LIMIT_MS));
    EXPECT_EQ(TULVO_OK, ReleaseTheMutex(l_h_Mutex));
    EXPECT_TRUE(OtherThreadCanTake(l_h_Mutex));
    // Released exactly once: a second release finds it not owned.
    EXPECT_EQ(TULVO_SIGNAL_ERROR, ReleaseTheMutex(l_h_Mutex));
    CloseHandle(l_h_Mutex);
}

TEST_F(PublicPairTest, LockAbandonedByAThreadPassesOnAfterOneUnlock) {
    std::thread([&] {
        ToolShare_Channel l_x_Other = {};
        ToolShareClt_PublicConnect(&m_x_Param, &l_x_Other);
        ToolShareClt_Lock(&l_x_Other, WAIT_LIMIT_MS);
        // Ends without unlocking; the record's handles stay open (leaked on purpose).
    }).join();
    EXPECT_EQ(TULVO_OK, ToolShareClt_Lock(&m_x_Client, WAIT_LIMIT_MS));
    EXPECT_EQ(TULVO_OK, ToolShareClt_Unlock(&m_x_Client));
    EXPECT_TRUE(OtherThreadCanTake(m_x_Service.m_h_Lock));
}

TEST_F(PublicPairTest, LockTimesOutWhileAnotherHoldsItAndRecordWithoutLockPasses) {
    std::promise<void> l_x_Taken, l_x_Release;
    std::thread l_x_Holder([&] {
        WaitForSingleObject(m_x_Service.m_h_Lock, INFINITE);
        l_x_Taken.set_value();
        l_x_Release.get_future().wait();
        ReleaseMutex(m_x_Service.m_h_Lock);
    });
    l_x_Taken.get_future().wait();
    EXPECT_EQ(TULVO_TS_TIMEOUT, ToolShareClt_Lock(&m_x_Client, 20));
    l_x_Release.set_value();
    l_x_Holder.join();
    ToolShare_Channel l_x_NoLock = {};
    EXPECT_EQ(TULVO_OK, ToolShareClt_Lock(&l_x_NoLock, 0));
    EXPECT_EQ(TULVO_OK, ToolShareClt_Unlock(&l_x_NoLock));
    EXPECT_EQ(TULVO_TS_BAD_ARGUMENT, ToolShareClt_Lock(nullptr, 0));
}

TEST(ToolShareModule, SmallCallsAnswerAsAgreed) {
    EXPECT_EQ(TULVO_OK, ToolShare_Init());
    int l_i_Need = 5;
    EXPECT_EQ(TULVO_OK, ToolShareSrv_NeedAccept(&l_i_Need));
    EXPECT_EQ(0, l_i_Need);
    EXPECT_EQ(TULVO_TS_BAD_ARGUMENT, ToolShareSrv_NeedAccept(nullptr));
    EXPECT_EQ(TULVO_TS_BAD_ARGUMENT, ToolShare_InitializeWaitEvent(nullptr));
    EXPECT_EQ(TULVO_TS_BAD_ARGUMENT, ToolShare_CloseWaitEvent(nullptr));
    EXPECT_EQ(TULVO_TS_BAD_ARGUMENT, ToolShare_Close(nullptr));
    EXPECT_EQ(TULVO_TS_BAD_ARGUMENT, ToolShareSrv_Close(nullptr));
    EXPECT_EQ(TULVO_TS_BAD_ARGUMENT, ToolShareClt_ServerOK(nullptr));
    EXPECT_EQ(TULVO_TS_BAD_ARGUMENT, ToolShareSrv_PublicListen(nullptr, nullptr));
    EXPECT_EQ(TULVO_TS_BAD_ARGUMENT, ToolShareClt_PublicConnect(nullptr, nullptr));
    EXPECT_EQ(TULVO_TS_BAD_ARGUMENT,
              ToolShareClt_AcquirePrivateConnect(nullptr, nullptr, nullptr, nullptr, 0));
    ToolShare_Channel l_x_Empty = {};
    EXPECT_EQ(TULVO_OK, ToolShareClt_ServerOK(&l_x_Empty));
}

} // namespace
