// What ships around the library: tulvo_cli against the stand-in service, and the DLL's
// export table.
#include "ipc/protocol/TulvoStatus.h"
#include "tests/ipc/client/StandInSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_x_StandIn.Start("--rtlog --device \"USB\\VID_2F3A&PID_0101\\SN1|SN1|"
                                      "Sensor one|COM5\""));
    }
    // Output of one run; the exit code as the signed status it stands for.
    std::string Cli(const std::string& i_x_Arguments, int32_t* o_pi_Exit) {
        DWORD l_ul_Exit = 0;
        const std::string l_x_Output =
            tulvo_test::RunToEnd("\"" + tulvo_test::BinDirectory() + "tulvo_cli.exe\" --server " +
                                     m_x_StandIn.Name() + " " + i_x_Arguments,
                                 "", clitest::WAIT_LIMIT_MS, &l_ul_Exit);
        *o_pi_Exit = static_cast<int32_t>(l_ul_Exit);
        return l_x_Output;
    }
    clitest::CStandIn m_x_StandIn;
};

TEST_F(CliTest, ListsExchangesWatchesAndRestartsThroughTheService) {
    int32_t l_i_Exit = 1;
    EXPECT_EQ(Cli("list", &l_i_Exit), "SN1\tCOM5\tSensor one\tUSB\\VID_2F3A&PID_0101\\SN1\n");
    EXPECT_EQ(l_i_Exit, 0);
    EXPECT_EQ(Cli("exchange SN1 \"0F 02 00\" AB:CD", &l_i_Exit),
              "answer: 0F 02 00 AB CD\n        identifier 0x000F, 2 value bytes: AB CD\n");
    EXPECT_EQ(l_i_Exit, 0);
    const std::string l_x_Watch = Cli("--count 2 watch SN1", &l_i_Exit);
    EXPECT_EQ(l_i_Exit, 0);
    EXPECT_NE(l_x_Watch.find(" identifier 0x0135, 4 value bytes: 01 00 00 00\n"), std::string::npos)
        << l_x_Watch;
    EXPECT_NE(l_x_Watch.find(" identifier 0x0135, 4 value bytes: 02 00 00 00\n"),
              std::string::npos);
    EXPECT_EQ(Cli("--timeout 200 --reboot-wait 9000 reboot SN1 0F0100", &l_i_Exit),
              "restarting SN1...\nSN1 is back\n");
    EXPECT_EQ(l_i_Exit, 0);
    EXPECT_EQ(m_x_StandIn.Requests("p8").at(1), "010015000000C8000023280000000"
                                                "3"
                                                "0F0100");
    EXPECT_EQ(Cli("version", &l_i_Exit), "1. 5. 0. 0\n");
    EXPECT_EQ(Cli("log on-next-start", &l_i_Exit), "log on-next-start: done\n");
    EXPECT_EQ(m_x_StandIn.Requests("pub").back(), "010009000000000000000100000003");
}

TEST_F(CliTest, FailuresExitWithTheStatusAndNameIt) {
    int32_t l_i_Exit = 0;
    EXPECT_EQ(Cli("exchange SN9 800000", &l_i_Exit),
              "tulvo_cli: connecting to SN9 failed: TULVO_DEVICE_NOT_PRESENT (-403); tulvo_cli "
              "list shows the sensors the service knows\n");
    EXPECT_EQ(l_i_Exit, TULVO_DEVICE_NOT_PRESENT);
    m_x_StandIn.Kill();
    EXPECT_NE(Cli("version", &l_i_Exit).find("TULVO_TS_SERVER_NOT_RUNNING (-422)"),
              std::string::npos);
    EXPECT_EQ(l_i_Exit, TULVO_TS_SERVER_NOT_RUNNING);
    for (const char* l_pc_Bad : {"exchange SN1 0F0", "log sometimes", "frobnicate", "list x"}) {
        EXPECT_NE(Cli(l_pc_Bad, &l_i_Exit).find("Run tulvo_cli --help"), std::string::npos);
        EXPECT_EQ(l_i_Exit, 1) << l_pc_Bad;
    }
}

TEST(TulvoCliDll, ExportsExactlyTheTulvoCliCalls) {
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
    EXPECT_EQ(l_ax_Names,
              (std::vector<std::string>{
                  "TulvoCli_Connect", "TulvoCli_CopyAPropertyFromBuffer",
                  "TulvoCli_CopyDeviceFromBuffer", "TulvoCli_Disconnect", "TulvoCli_EnumDevices",
                  "TulvoCli_Exchange", "TulvoCli_FreeBuffer", "TulvoCli_FreeDeviceList",
                  "TulvoCli_GetServerInfos", "TulvoCli_Lock", "TulvoCli_Post",
                  "TulvoCli_ReceiveFrame", "TulvoCli_ReceiveRealTimeLog", "TulvoCli_SendFrame",
                  "TulvoCli_SendRealTimeLogFrame", "TulvoCli_Unlock", "TulvoCli_WaitForReboot"}));
    FreeLibrary(l_h_Dll);
}

} // namespace
