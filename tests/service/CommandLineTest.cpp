// The real Serv_Tulvo.exe run as a user would run it: what it prints, byte for byte, and how
// it ends. Standard output is in text mode, so every line ends in CR LF.
#include "tests/common/ChildProcess.h"
#include "tests/common/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace {

const char* const g_pc_Banner = "\r\n"
                                "Serv_Tulvo.exe version 1. 5. 0. 0\r\n"
                                "Copyright (C) 2026 Tulvo Systems. All rights reserved.\r\n"
                                "\r\n";

const char* const g_pc_Usage = "Usage: Serv_Tulvo.exe [option]\r\n"
                               "Possible options are:\r\n"
                               "  -send [suboption]\r\n"
                               "    LogEventsEnable:\t\t start logs\r\n"
                               "    LogEventsDisable:\t\t stop logs\r\n"
                               "    LogEventsEnableAtNextStart:\t start logs at next service "
                               "startups\r\n"
                               "    LogEventsDisableAtNextStart: disable logs at next service "
                               "startups\r\n"
                               "    version:\t\t\t get service version\r\n"
                               "\r\n";

class CommandLineTest : public ::testing::Test {
protected:
    void SetUp() override { m_x_Dir.Enter(); }
    void TearDown() override { m_x_Dir.Leave(); }

    // Runs the service executable with the given arguments in the test's own directory.
    std::string Run(const std::string& i_x_Arguments) {
        DWORD l_ul_ExitCode = 0;
        const std::string l_x_Output = tulvo_test::RunToEnd("\"" + tulvo_test::BinDirectory() +
                                                                "Serv_Tulvo.exe\" " + i_x_Arguments,
                                                            m_x_Dir.Path(), 60000, &l_ul_ExitCode);
        EXPECT_EQ(l_ul_ExitCode, 0u) << "exit code of: " << i_x_Arguments;
        return l_x_Output;
    }
    tulvo_test::CTempDir m_x_Dir;
};

TEST_F(CommandLineTest, ArgumentWithoutOptionPrefixPrintsOnlyTheUsage) {
    EXPECT_EQ(Run("x"), g_pc_Usage);
    EXPECT_EQ(Run("debug"), g_pc_Usage);
}

TEST_F(CommandLineTest, UnknownOptionPrintsBannerThenUsage) {
    // "--debug" is "-" followed by "-debug", which is no option.
    EXPECT_EQ(Run("--debug"), std::string(g_pc_Banner) + g_pc_Usage);
    EXPECT_EQ(Run("/sendx"), std::string(g_pc_Banner) + g_pc_Usage);
}

TEST_F(CommandLineTest, SendWithoutOrWithUnknownSubOptionSendsNothingAndPrintsUsage) {
    const std::string l_x_Expected = std::string(g_pc_Banner) + "\r\n" + g_pc_Usage;
    EXPECT_EQ(Run("-send"), l_x_Expected);
    EXPECT_EQ(Run("-send LogEventsEnableNow"), l_x_Expected);
    EXPECT_EQ(Run("/SEND versions"), l_x_Expected);
}

TEST_F(CommandLineTest, SendWithoutServiceReportsServerNotRunning) {
    const std::string l_x_Expected =
        std::string(g_pc_Banner) + "Error: -422 SERVER NOT RUNNING\r\n";
    EXPECT_EQ(Run("-send version"), l_x_Expected);
    EXPECT_EQ(Run("/Send logeventsenable"), l_x_Expected);
    EXPECT_EQ(Run("-send LogEventsDisableAtNextStart"), l_x_Expected);
}

TEST_F(CommandLineTest, MarkerFileSwitchesTheTraceOnFromTheFirstLine) {
    Run("x");
    EXPECT_EQ(tulvo_test::ReadAllDailyFiles("Serv_Tulvo.Log"), "");

    { std::ofstream l_x_Marker("Serv_Tulvo.Log"); }
    Run("x");
    const std::string l_x_Trace = tulvo_test::ReadAllDailyFiles("Serv_Tulvo.Log");
    const size_t l_ul_Start = l_x_Trace.find(" Serv_Tulvo Starting ******************\r\n");
    const size_t l_ul_Exit = l_x_Trace.find(" Serv_Tulvo Exited ********************\r\n\r\n");
    ASSERT_NE(l_ul_Start, std::string::npos) << l_x_Trace;
    ASSERT_NE(l_ul_Exit, std::string::npos) << l_x_Trace;
    EXPECT_LT(l_ul_Start, l_ul_Exit);
    // The very first line is the start line: nothing is logged before the marker is seen.
    EXPECT_EQ(l_x_Trace.find(" Serv_Tulvo Starting"), 18u);
}

} // namespace
