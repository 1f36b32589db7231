// The client library against the scripted stand-in service: what it sends, byte for byte, and
// what it makes of answers a real service never sends (short or malformed responses, a wrong
// echo, an old or overlong version, a service left half stopped); and the DLL's export table.
#include "ipc/client/Client.h"
#include "ipc/client/TulvoCli.h"
#include "tests/common/TraceCapture.h"
#include "tests/ipc/client/StandInSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

using clitest::Hex;

namespace {

const char g_ac_Device[] = "--device \"USB\\VID_2F3A&PID_0101\\SN1|SN1|Sensor one|COM5\" ";
const uint32_t TIMEOUT = 5000; // 00001388

std::string LinkRequest(int i_i_Pipe) {
    return "0100100" + std::to_string(i_i_Pipe) + Hex(std::string("SN1", 4));
}

const std::string g_x_Destroy = "010016" + std::string(40, '0');

class ClientTest : public ::testing::Test {
protected:
    void StartStandIn(const std::string& i_x_Arguments) {
        ASSERT_TRUE(m_x_StandIn.Start(g_ac_Device + i_x_Arguments));
        Client_SetPublicBaseName(m_x_StandIn.Name().c_str());
    }
    void TearDown() override {
        TulvoCli_Disconnect(&m_px_Conx);
        Client_SetPublicBaseName(nullptr);
    }
    void Connect() { ASSERT_EQ(TulvoCli_Connect(&m_px_Conx, "SN1"), TULVO_OK); }

    clitest::CStandIn m_x_StandIn;
    TulvoCli_Connection* m_px_Conx = nullptr;
};

TEST_F(ClientTest, ConnectExchangeAndDisconnectSendExactlyTheseRequests) {
    StartStandIn("");
    Connect();
    const uint8_t l_auc_Frame[] = {0x0F, 0x02, 0x00, 0xAB, 0xCD};
    uint8_t* l_puc_Answer = nullptr;
    uint32_t l_ul_Length = 0;
    ASSERT_EQ(TulvoCli_Exchange(m_px_Conx, TIMEOUT, l_auc_Frame, sizeof(l_auc_Frame), &l_puc_Answer,
                                &l_ul_Length),
              TULVO_OK);
    EXPECT_EQ(Hex(l_puc_Answer, l_ul_Length), "0F0200ABCD");
    TulvoCli_FreeBuffer(&l_puc_Answer);
    EXPECT_EQ(l_puc_Answer, nullptr);
    ASSERT_EQ(TulvoCli_Disconnect(&m_px_Conx), TULVO_OK);
    EXPECT_EQ(m_px_Conx, nullptr);

    uint8_t l_auc_Pid[4];
    const DWORD l_ul_Pid = GetCurrentProcessId();
    for (int l_i_Byte = 0; l_i_Byte < 4; ++l_i_Byte) {
        l_auc_Pid[l_i_Byte] = static_cast<uint8_t>(l_ul_Pid >> (24 - 8 * l_i_Byte));
    }
    const std::string l_x_Create = "000007" + Hex(l_auc_Pid, 4) + std::string(16, '0');
    EXPECT_EQ(m_x_StandIn.Requests("pub"),
              (std::vector<std::string>{l_x_Create, l_x_Create, l_x_Create,
                                        "010009" + std::string(24, '0')}));
    EXPECT_EQ(m_x_StandIn.Requests("p1"), (std::vector<std::string>{LinkRequest(0), g_x_Destroy}));
    EXPECT_EQ(m_x_StandIn.Requests("p2"),
              (std::vector<std::string>{LinkRequest(1), "01001100001388",
                                        "010013000013880000000"
                                        "5"
                                        "0F0200ABCD",
                                        "01001400001388", "010012", g_x_Destroy}));
    EXPECT_EQ(m_x_StandIn.Requests("p3"), (std::vector<std::string>{LinkRequest(2), g_x_Destroy}));
    EXPECT_TRUE(m_x_StandIn.HasLine("p3 closed"));
}

TEST_F(ClientTest, DeviceListsAreDecodedOnlyWithinWhatTheServiceSent) {
    // Second list: the count says one device, the texts stop after two of its four.
    // Third: status 0 but no count byte. Fourth: a count the entries cannot fill.
    StartStandIn("--device \"inst2|SN2|Sensor two|COM6\" "
                 "--on ENUMDEVICES#2=raw:0100080000000001610062 "
                 "--on ENUMDEVICES#3=raw:01000800000000 "
                 "--on ENUMDEVICES#4=raw:01000800000000FF00000000");
    TulvoCli_DeviceProperties* l_px_List = nullptr;
    uint32_t l_ul_Count = 0;
    ASSERT_EQ(TulvoCli_EnumDevices(&l_px_List, &l_ul_Count), TULVO_OK);
    ASSERT_EQ(l_ul_Count, 2u);
    EXPECT_STREQ(reinterpret_cast<char*>(l_px_List[0].m_puc_InstanceId),
                 "USB\\VID_2F3A&PID_0101\\SN1");
    EXPECT_STREQ(reinterpret_cast<char*>(l_px_List[1].m_puc_SerialNumber), "SN2");
    EXPECT_STREQ(reinterpret_cast<char*>(l_px_List[1].m_puc_FriendlyName), "Sensor two");
    EXPECT_STREQ(reinterpret_cast<char*>(l_px_List[1].m_puc_DevicePath), "COM6");
    TulvoCli_FreeDeviceList(&l_px_List, l_ul_Count);
    EXPECT_EQ(l_px_List, nullptr);
    for (int l_i_Bad = 0; l_i_Bad < 3; ++l_i_Bad) {
        EXPECT_EQ(TulvoCli_EnumDevices(&l_px_List, &l_ul_Count), TULVO_BAD_IPC_FORMAT);
        EXPECT_EQ(l_px_List, nullptr);
        EXPECT_EQ(l_ul_Count, 0u);
    }
}

TEST_F(ClientTest, ResponsesShorterThanTheirHeadOrTheirDataAreRefused) {
    StartStandIn("--on LOCKPIPE#1=raw:010011 --on LOCKPIPE#2=raw: "
                 "--on RECVBUFFER#1=raw:0100140000000000000010AABB "
                 "--on RECVBUFFER#2=raw:01001400000000 "
                 "--on RECVBUFFER#3=raw:0100140000000000000000");
    Connect();
    EXPECT_EQ(TulvoCli_Lock(m_px_Conx, TIMEOUT), TULVO_BAD_IPC_FORMAT);
    EXPECT_EQ(TulvoCli_Unlock(m_px_Conx), TULVO_OK);
    EXPECT_EQ(TulvoCli_Lock(m_px_Conx, TIMEOUT), TULVO_BAD_IPC_FORMAT);
    EXPECT_EQ(TulvoCli_Unlock(m_px_Conx), TULVO_OK);
    uint8_t* l_puc_Frame = nullptr;
    uint32_t l_ul_Length = 7;
    EXPECT_EQ(TulvoCli_ReceiveFrame(m_px_Conx, TIMEOUT, &l_puc_Frame, &l_ul_Length),
              TULVO_BAD_IPC_FORMAT);
    EXPECT_EQ(l_puc_Frame, nullptr);
    EXPECT_EQ(TulvoCli_ReceiveFrame(m_px_Conx, TIMEOUT, &l_puc_Frame, &l_ul_Length),
              TULVO_BAD_IPC_FORMAT);
    // Status 0 with no data: a buffer all the same, of length 0.
    EXPECT_EQ(TulvoCli_ReceiveFrame(m_px_Conx, TIMEOUT, &l_puc_Frame, &l_ul_Length), TULVO_OK);
    EXPECT_NE(l_puc_Frame, nullptr);
    EXPECT_EQ(l_ul_Length, 0u);
    TulvoCli_FreeBuffer(&l_puc_Frame);
}

TEST_F(ClientTest, AWrongEchoedCommandIsLoggedAndItsStatusStillCounts) {
    StartStandIn("--on LOCKPIPE=status:-415,echo:99");
    Connect();
    tulvo_test::CTraceCapture l_x_Log;
    EXPECT_EQ(TulvoCli_Lock(m_px_Conx, TIMEOUT), TULVO_ABORTED);
    uint8_t* l_puc_Data = nullptr;
    uint32_t l_ul_Length = 0;
    EXPECT_EQ(TulvoCli_GetServerInfos(5, 0, &l_puc_Data, &l_ul_Length), TULVO_BAD_PARAMETER);
    EXPECT_EQ(l_puc_Data, nullptr);
    EXPECT_EQ(l_x_Log.Take(),
              (std::vector<std::string>{"Client_LockCmd IPC RESPONSE: NOT LOCK PIPE\n",
                                        "Client_LockCmd IPC RESPONSE: Ret=0xFFFFFE61\n",
                                        "Client_EnumDevices IPC RESPONSE: Ret=0xFFFFFE64\n"}));
    TulvoCli_Unlock(m_px_Conx);
}

TEST_F(ClientTest, RealTimeLogFramesAreSentOnlyToServicesFromVersion150On) {
    const uint8_t l_auc_Frame[] = {0x34, 0x00, 0x00};
    StartStandIn("--version \"1. 4. 2. 0\"");
    Connect();
    EXPECT_EQ(TulvoCli_SendRealTimeLogFrame(m_px_Conx, TIMEOUT, l_auc_Frame, 3),
              TULVO_SERVER_TOO_OLD);
    // Nothing was locked, so nothing is unlocked either.
    EXPECT_EQ(m_x_StandIn.Requests("p3"), (std::vector<std::string>{LinkRequest(2)}));
    TulvoCli_Disconnect(&m_px_Conx);

    clitest::CStandIn l_x_Newer;
    ASSERT_TRUE(l_x_Newer.Start(std::string(g_ac_Device) + "--version \"1. 5. 0. 3\""));
    Client_SetPublicBaseName(l_x_Newer.Name().c_str());
    Connect();
    EXPECT_EQ(TulvoCli_SendRealTimeLogFrame(m_px_Conx, TIMEOUT, l_auc_Frame, 3), TULVO_OK);
    EXPECT_EQ(l_x_Newer.Requests("p3"),
              (std::vector<std::string>{LinkRequest(2), "01001100001388",
                                        "0100130000138800000003340000", "010012"}));
    TulvoCli_Disconnect(&m_px_Conx);
}

TEST_F(ClientTest, TooLongSerialNumbersAndVersionAnswersAreRefusedNotCut) {
    StartStandIn("--version-hex " + std::string(2 * 101, '3'));
    EXPECT_EQ(TulvoCli_Connect(&m_px_Conx, std::string(100, 'S').c_str()), TULVO_BAD_PARAMETER);
    EXPECT_TRUE(m_x_StandIn.Lines().empty());
    EXPECT_EQ(TulvoCli_Connect(&m_px_Conx, "SN1"), TULVO_BAD_IPC_FORMAT);
    EXPECT_EQ(m_px_Conx, nullptr);
    for (const char* l_pc_Channel : {"p1", "p2", "p3"}) {
        EXPECT_TRUE(m_x_StandIn.HasLine(std::string(l_pc_Channel) + " closed")) << l_pc_Channel;
    }
}

TEST_F(ClientTest, AConnectThatFailsPartWayLeavesNoChannelInTheService) {
    // Version query refused; a reply to the channel request that is neither a channel nor a
    // refusal. Every channel opened on the way must be destroyed before Connect returns.
    const struct {
        const char* m_pc_Rule;
        int32_t m_i_Status;
        int m_i_Opened;
    } l_ax_Cases[] = {{"SERVERINFOS=status:-412", TULVO_BAD_PARAMETER, 3},
                      {"CREATEPRIVATECHANNEL#2=raw:000007FFFFFE6900", TULVO_TS_CHANNEL_ERROR, 1}};
    for (const auto& l_x_Case : l_ax_Cases) {
        clitest::CStandIn l_x_StandIn;
        ASSERT_TRUE(l_x_StandIn.Start(g_ac_Device + std::string("--on ") + l_x_Case.m_pc_Rule));
        Client_SetPublicBaseName(l_x_StandIn.Name().c_str());
        EXPECT_EQ(TulvoCli_Connect(&m_px_Conx, "SN1"), l_x_Case.m_i_Status) << l_x_Case.m_pc_Rule;
        EXPECT_EQ(m_px_Conx, nullptr);
        for (int l_i_Channel = 1; l_i_Channel <= 3; ++l_i_Channel) {
            const std::string l_x_Name = "p" + std::to_string(l_i_Channel);
            EXPECT_EQ(l_x_StandIn.HasLine(l_x_Name + " open"), l_i_Channel <= l_x_Case.m_i_Opened);
            EXPECT_EQ(l_x_StandIn.HasLine(l_x_Name + " closed"), l_i_Channel <= l_x_Case.m_i_Opened)
                << l_x_Case.m_pc_Rule << " " << l_x_Name;
        }
    }
}

TEST_F(ClientTest, WithoutServiceEveryCallSaysSo) {
    Client_SetPublicBaseName("TcNobodyListensHere");
    TulvoCli_DeviceProperties* l_px_List = nullptr;
    uint32_t l_ul_Count = 0;
    uint8_t* l_puc_Data = nullptr;
    uint32_t l_ul_Length = 0;
    EXPECT_EQ(TulvoCli_Connect(&m_px_Conx, "SN1"), TULVO_TS_SERVER_NOT_RUNNING);
    EXPECT_EQ(TulvoCli_EnumDevices(&l_px_List, &l_ul_Count), TULVO_TS_SERVER_NOT_RUNNING);
    EXPECT_EQ(TulvoCli_GetServerInfos(0, 0, &l_puc_Data, &l_ul_Length),
              TULVO_TS_SERVER_NOT_RUNNING);
    EXPECT_EQ(TulvoCli_Disconnect(&m_px_Conx), TULVO_BAD_PARAMETER);
    EXPECT_EQ(TulvoCli_WaitForReboot(nullptr, 1000, l_puc_Data, 0, 1000), TULVO_NO_RESPONSE);
}

TEST_F(ClientTest, AStoppingServiceIsSeenAtTheNextRequestAndKeepsNoPublicObjectAlive) {
    StartStandIn("--on SENDBUFFER=stop");
    Connect();
    const uint8_t l_auc_Frame[] = {0x0F, 0x00, 0x00};
    uint8_t* l_puc_Answer = nullptr;
    uint32_t l_ul_Length = 0;
    EXPECT_EQ(TulvoCli_Exchange(m_px_Conx, TIMEOUT, l_auc_Frame, 3, &l_puc_Answer, &l_ul_Length),
              TULVO_TS_SERVER_NOT_RUNNING);
    EXPECT_EQ(m_x_StandIn.Requests("p2").back(), "0100130000138800000003"
                                                 "0F0000");
    // The public objects still exist; every attempt opens them, finds Running reset, and
    // must close them again: once the service is gone, nothing may keep them alive.
    TulvoCli_DeviceProperties* l_px_List = nullptr;
    uint32_t l_ul_Count = 0;
    for (int l_i_Try = 0; l_i_Try < 3; ++l_i_Try) {
        EXPECT_EQ(TulvoCli_EnumDevices(&l_px_List, &l_ul_Count), TULVO_TS_SERVER_NOT_RUNNING);
    }
    m_x_StandIn.Kill();
    const std::string l_x_Prefix =
        (ToolShare_UseGlobalNames() ? "Global\\" : "") + m_x_StandIn.Name();
    for (const char* l_pc_Object : {":Recv", ":Lock"}) {
        HANDLE l_h_Object = OpenEventA(SYNCHRONIZE, FALSE, (l_x_Prefix + l_pc_Object).c_str());
        if (l_h_Object == nullptr) {
            l_h_Object = OpenMutexA(SYNCHRONIZE, FALSE, (l_x_Prefix + l_pc_Object).c_str());
        }
        EXPECT_EQ(l_h_Object, nullptr) << l_pc_Object;
    }
}

TEST_F(ClientTest, TulvoCliLocksNamesAnOlderServiceAndRefusesAMalformedList) {
    // The stand-in answers info type 2 as services before the lock list did; its second
    // answer announces one record and stops inside its serial number.
    StartStandIn("--on SERVERINFOS#2=raw:010009000000000000000600000001"
                 "4142");
    const std::string l_x_Cli = "\"" + tulvo_test::BinDirectory() + "tulvo_cli.exe\" --server " +
                                m_x_StandIn.Name() + " locks";
    DWORD l_ul_Exit = 0;
    EXPECT_EQ("tulvo_cli: locks failed: TULVO_BAD_PARAMETER (-412); the service needs an update\n",
              tulvo_test::RunToEnd(l_x_Cli, "", clitest::WAIT_LIMIT_MS, &l_ul_Exit));
    EXPECT_EQ(static_cast<DWORD>(TULVO_BAD_PARAMETER), l_ul_Exit);
    EXPECT_EQ("tulvo_cli: locks failed: TULVO_BAD_IPC_FORMAT (-408)\n",
              tulvo_test::RunToEnd(l_x_Cli, "", clitest::WAIT_LIMIT_MS, &l_ul_Exit));
    EXPECT_EQ(m_x_StandIn.Requests("pub"),
              (std::vector<std::string>(2, "010009" + std::string(8, '0') + "00000002" +
                                               std::string(8, '0'))));
}

// The quit message a wait took, handed back with its exit code.
void ExpectQuitPosted(WPARAM i_x_ExitCode) {
    MSG l_x_Message;
    ASSERT_TRUE(PeekMessageA(&l_x_Message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(i_x_ExitCode, l_x_Message.wParam);
}

TEST_F(ClientTest, AQuitMessageEndsAWaitIsHandedBackAndItsLateAnswerIsNotTakenForTheNext) {
    StartStandIn("--on RECVBUFFER#1=sleep:300 --on LINKPRIVATECONX#4=sleep:300");
    Connect();
    PostQuitMessage(9);
    uint8_t* l_puc_Frame = nullptr;
    uint32_t l_ul_Length = 0;
    EXPECT_EQ(TULVO_ABORTED, TulvoCli_ReceiveFrame(m_px_Conx, TIMEOUT, &l_puc_Frame, &l_ul_Length));
    ExpectQuitPosted(9);
    // The answer comes after the wait was given up: it is taken away before the next request
    // goes, which the service then receives (its late write would have erased it).
    const uint8_t l_auc_Frame[] = {0x0F, 0x01, 0x00, 0x11};
    EXPECT_EQ(TULVO_OK, TulvoCli_SendFrame(m_px_Conx, TIMEOUT, l_auc_Frame, sizeof(l_auc_Frame)));
    EXPECT_EQ(m_x_StandIn.Requests("p1"),
              (std::vector<std::string>{LinkRequest(0), "01001400001388",
                                        "0100130000138800000004"
                                        "0F010011"}));
    // In a connect, outside the "0 or negative" rule no longer.
    TulvoCli_Connection* l_px_Other = nullptr;
    PostQuitMessage(7);
    EXPECT_EQ(TULVO_ABORTED, TulvoCli_Connect(&l_px_Other, "SN1"));
    EXPECT_EQ(nullptr, l_px_Other);
    ExpectQuitPosted(7);
}

TEST_F(ClientTest, RunningResetForAMomentHoldsARequestBackInsteadOfFailingIt) {
    StartStandIn("--on SENDBUFFER#2=sleep:600");
    Connect();
    const std::string l_x_Running =
        (ToolShare_UseGlobalNames() ? "Global\\" : "") + m_x_StandIn.Name() + ":Running";
    const HANDLE l_h_Running = OpenEventA(EVENT_MODIFY_STATE, FALSE, l_x_Running.c_str());
    ASSERT_NE(nullptr, l_h_Running);
    ResetEvent(l_h_Running);
    const uint8_t l_auc_Frame[] = {0x0F, 0x01, 0x00, 0x11};
    auto l_x_Send = std::async(std::launch::async, [&] {
        return TulvoCli_SendFrame(m_px_Conx, TIMEOUT, l_auc_Frame, sizeof(l_auc_Frame));
    });
    EXPECT_EQ(std::future_status::timeout, l_x_Send.wait_for(std::chrono::milliseconds(300)));
    SetEvent(l_h_Running);
    EXPECT_EQ(TULVO_OK, l_x_Send.get());

    // Reset once the request was sent: the answer, which comes 600 ms later, is still taken.
    // Given up, it would leave what the request did (a pipe lock, say) to the service.
    const uint8_t l_auc_Second[] = {0x0F, 0x01, 0x00, 0x22};
    l_x_Send = std::async(std::launch::async, [&] {
        return TulvoCli_SendFrame(m_px_Conx, TIMEOUT, l_auc_Second, sizeof(l_auc_Second));
    });
    ASSERT_TRUE(m_x_StandIn.WaitForLine("p1 0100130000138800000004" + Hex(l_auc_Second, 4)));
    ResetEvent(l_h_Running);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    SetEvent(l_h_Running);
    EXPECT_EQ(TULVO_OK, l_x_Send.get());
    CloseHandle(l_h_Running);
}

TEST(TulvoCliDll, ExportsTheTulvoCliCallsAndTheStatusNames) {
    HMODULE l_h_Dll = LoadLibraryA((tulvo_test::BinDirectory() + "TulvoCli.dll").c_str());
    ASSERT_NE(l_h_Dll, nullptr);
    const uint8_t* l_puc_Base = reinterpret_cast<const uint8_t*>(l_h_Dll);
    const auto* l_px_Nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        l_puc_Base + reinterpret_cast<const IMAGE_DOS_HEADER*>(l_puc_Base)->e_lfanew);
    const auto* l_px_Exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(
        l_puc_Base +
        l_px_Nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT].VirtualAddress);
    const auto* l_pul_Names =
        reinterpret_cast<const DWORD*>(l_puc_Base + l_px_Exports->AddressOfNames);
    std::vector<std::string> l_ax_Names;
    for (DWORD l_ul_Index = 0; l_ul_Index < l_px_Exports->NumberOfNames; ++l_ul_Index) {
        l_ax_Names.emplace_back(
            reinterpret_cast<const char*>(l_puc_Base + l_pul_Names[l_ul_Index]));
    }
    std::sort(l_ax_Names.begin(), l_ax_Names.end());
    EXPECT_EQ(l_ax_Names, (std::vector<std::string>{"TulvoCli_Connect",
                                                    "TulvoCli_CopyAPropertyFromBuffer",
                                                    "TulvoCli_CopyAPropertyFromList",
                                                    "TulvoCli_CopyDeviceFromBuffer",
                                                    "TulvoCli_CopyDeviceFromList",
                                                    "TulvoCli_Disconnect",
                                                    "TulvoCli_EnumDevices",
                                                    "TulvoCli_Exchange",
                                                    "TulvoCli_FreeBuffer",
                                                    "TulvoCli_FreeDeviceList",
                                                    "TulvoCli_GetServerInfos",
                                                    "TulvoCli_Lock",
                                                    "TulvoCli_Post",
                                                    "TulvoCli_ReceiveFrame",
                                                    "TulvoCli_ReceiveRealTimeLog",
                                                    "TulvoCli_SendFrame",
                                                    "TulvoCli_SendRealTimeLogFrame",
                                                    "TulvoCli_Unlock",
                                                    "TulvoCli_WaitForReboot",
                                                    "TulvoStatus_Name"}));
    // The decoders called through the DLL as the header declares them: the first forms take
    // no length, the bounded ones stop at it.
    auto l_pf_Copy = reinterpret_cast<decltype(&TulvoCli_CopyDeviceFromBuffer)>(
        reinterpret_cast<void*>(GetProcAddress(l_h_Dll, "TulvoCli_CopyDeviceFromBuffer")));
    auto l_pf_CopyBounded = reinterpret_cast<decltype(&TulvoCli_CopyDeviceFromList)>(
        reinterpret_cast<void*>(GetProcAddress(l_h_Dll, "TulvoCli_CopyDeviceFromList")));
    auto l_pf_Free = reinterpret_cast<decltype(&TulvoCli_FreeDeviceList)>(
        reinterpret_cast<void*>(GetProcAddress(l_h_Dll, "TulvoCli_FreeDeviceList")));
    ASSERT_TRUE(l_pf_Copy != nullptr && l_pf_CopyBounded != nullptr && l_pf_Free != nullptr);
    const uint8_t l_auc_List[] = "\1ID\0SN1\0Sensor\0COM5\0";
    auto* l_px_Device =
        static_cast<TulvoCli_DeviceProperties*>(calloc(1, sizeof(TulvoCli_DeviceProperties)));
    uint32_t l_ul_Position = 1;
    EXPECT_EQ(TULVO_OK, l_pf_Copy(l_px_Device, l_auc_List, &l_ul_Position));
    EXPECT_EQ(sizeof(l_auc_List) - 1, l_ul_Position);
    EXPECT_STREQ("COM5", reinterpret_cast<char*>(l_px_Device->m_puc_DevicePath));
    l_ul_Position = 1;
    EXPECT_EQ(TULVO_BAD_IPC_FORMAT, l_pf_CopyBounded(l_px_Device, l_auc_List, 12, &l_ul_Position));
    EXPECT_EQ(nullptr, l_px_Device->m_puc_InstanceId);
    l_pf_Free(&l_px_Device, 1);
    FreeLibrary(l_h_Dll);
}

} // namespace
