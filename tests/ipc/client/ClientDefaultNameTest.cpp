// Programs that reach the service by its own channel name, "VEK_TulvoServer": the C example
// (through the DLL's import library only) and Serv_Tulvo -send. The stand-in takes that name,
// so these tests run alone.
#include "tests/ipc/client/StandInSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string RunProgram(const std::string& i_x_Program, DWORD* o_pul_Exit) {
    return tulvo_test::RunToEnd("\"" + tulvo_test::BinDirectory() + i_x_Program, "",
                                clitest::WAIT_LIMIT_MS, o_pul_Exit);
}

TEST(DefaultServiceName, TheCExampleListsTheSensorsAndExchangesOneFrameThroughTheDll) {
    clitest::CStandIn l_x_StandIn;
    ASSERT_TRUE(l_x_StandIn.Start("--device \"inst|SN7|Sensor seven|COM7\"", "VEK_TulvoServer"));
    DWORD l_ul_Exit = 1;
    EXPECT_EQ(RunProgram("tulvo_example.exe\"", &l_ul_Exit),
              "1 sensor(s)\r\n  SN7 on COM7: Sensor seven\r\nanswer of SN7: 80 00 00\r\n");
    EXPECT_EQ(l_ul_Exit, 0u);
    EXPECT_EQ(l_x_StandIn.Requests("p2").at(2), "0100130000138800000003800000");
}

TEST(DefaultServiceName, SendAsksTheRunningServiceThroughTheLibrary) {
    clitest::CStandIn l_x_StandIn;
    ASSERT_TRUE(l_x_StandIn.Start("--version \"1. 5. 0. 7\"", "VEK_TulvoServer"));
    DWORD l_ul_Exit = 1;
    EXPECT_NE(RunProgram("Serv_Tulvo.exe\" -send version", &l_ul_Exit)
                  .find("\r\n\r\nVersion returned by Server : 1. 5. 0. 7\r\n"),
              std::string::npos);
    const std::string l_x_Switch =
        RunProgram("Serv_Tulvo.exe\" -send LogEventsDisable", &l_ul_Exit);
    EXPECT_EQ(l_x_Switch.substr(l_x_Switch.size() - 6), "\r\n\r\n\r\n");
    EXPECT_EQ(l_x_StandIn.Requests("pub"),
              (std::vector<std::string>{"010009000000000000000000000000",
                                        "010009000000000000000100000000"}));
}

} // namespace
