// The server in the foreground, stopped from another process through its named stop event.
#include "tests/common/ChildProcess.h"
#include "tests/common/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

class DebugModeTest : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override { m_x_Dir.Enter(); }
    void TearDown() override { m_x_Dir.Leave(); }
    tulvo_test::CTempDir m_x_Dir;
};

TEST_P(DebugModeTest, SettingTheNamedStopEventEndsTheServerCleanly) {
    { std::ofstream l_x_Marker("Serv_Tulvo.Log"); }
    tulvo_test::CChildProcess l_x_Server;
    ASSERT_TRUE(l_x_Server.Start(
        "\"" + tulvo_test::BinDirectory() + "Serv_Tulvo.exe\" " + GetParam(), m_x_Dir.Path()));
    ASSERT_TRUE(l_x_Server.WaitForOutput("\r\n..Started\r\n", 60000)) << l_x_Server.Output();

    // The event exists from before "..Started" until the run routine has cleaned up.
    HANDLE l_h_Stop = OpenEventA(EVENT_MODIFY_STATE, FALSE, "VEK USB Service");
    ASSERT_NE(l_h_Stop, nullptr) << GetLastError();
    ASSERT_TRUE(SetEvent(l_h_Stop));
    CloseHandle(l_h_Stop);

    ASSERT_TRUE(l_x_Server.WaitForExit(60000));
    EXPECT_EQ(l_x_Server.ExitCode(), 0u);
    EXPECT_EQ(l_x_Server.Output(), "\r\n"
                                   "Serv_Tulvo.exe version 1. 5. 0. 0\r\n"
                                   "Copyright (C) 2026 Tulvo Systems. All rights reserved.\r\n"
                                   "\r\n"
                                   "\r\n..Started\r\n");
    tulvo_test::ExpectInOrder(
        tulvo_test::ReadAllDailyFiles("Serv_Tulvo.Log"),
        {" Serv_Tulvo Starting ******************\r\n", " Serv_Tulvo_ServiceCmd_Debug\r\n",
         " Serv_Tulvo_ServiceCmd_Start Starting\r\n", " Serv_Tulvo_ServiceCmd_Start Wait\r\n",
         " Serv_Tulvo_ServiceCmd_Start Cleaning\r\n", " Serv_Tulvo_ServiceCmd_Start Stopped\r\n",
         " Serv_Tulvo Exited ********************\r\n\r\n"});
    // The stop event lives only while the run routine runs.
    EXPECT_EQ(OpenEventA(EVENT_MODIFY_STATE, FALSE, "VEK USB Service"), nullptr);
}

INSTANTIATE_TEST_SUITE_P(OptionSpellings, DebugModeTest,
                         ::testing::Values("/DEBUG", "-Debug", "-debug x y"));

} // namespace
