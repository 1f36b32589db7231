// Trace log behaviour: line bytes, switching, daily files, markers and concurrent writers.
#include "service/TraceLog.h"
#include "tests/common/TraceCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

using tulvo_test::CTraceCapture;
using tulvo_test::ReadFile;

std::string DayFile(int i_i_Day, const char* i_pc_Base = TRACELOG_BASENAME) {
    char l_ac_Name[64];
    snprintf(l_ac_Name, sizeof(l_ac_Name), "%s.2026.12.%02d.Txt", i_pc_Base, i_i_Day);
    return l_ac_Name;
}

// Logging starts off; lines carry TRACE_CAPTURE_PREFIX and go to the files of 2026-12-06.
class TraceLogTest : public ::testing::Test {
protected:
    void SetUp() override { CTraceCapture::SetDate(2026, 12, 6); }
    CTraceCapture m_x_Capture{false};
};

TEST_F(TraceLogTest, LineHasTickThreadAndMessageWithoutAddedBreak) {
    TraceLog_EnableIfMarker("absent-marker");
    EXPECT_EQ(TraceLog_IsEnabled(), 0);
    TraceLog_CreateMarker(TRACELOG_BASENAME);
    TraceLog_EnableIfMarker(TRACELOG_BASENAME); // writes no line of its own
    CTraceCapture::SetTick(1234);
    TraceLog_Printf("abc");
    TraceLog_Printf("%s%%d", "100"); // a percent sign in the formatted text stays as it is
    ASSERT_EQ(CTraceCapture::Lines(),
              (std::vector<std::string>{"000001234 0000002A abc", "000001234 0000002A 100%d"}));
    EXPECT_EQ(ReadFile(DayFile(6)), "000001234 0000002A abc000001234 0000002A 100%d");
}

TEST_F(TraceLogTest, LineFeedsAreWrittenAsCarriageReturnLineFeed) {
    TraceLog_Enable(TRACELOG_BASENAME);
    CTraceCapture::SetTick(0xFFFFFFFFu); // printed as a signed 32-bit value
    TraceLog_Printf("x=%d\n", 5);
    EXPECT_EQ(ReadFile(DayFile(6)), TRACE_CAPTURE_PREFIX "Serv_Tulvo.Log Enable Log\r\n"
                                                         "-00000001 0000002A x=5\r\n");
}

TEST_F(TraceLogTest, NothingAtAllWhileOff) {
    TraceLog_Printf("hidden %d\n", 1);
    TraceLog_SysError("hidden");
    EXPECT_TRUE(CTraceCapture::Lines().empty());
    EXPECT_FALSE(tulvo_test::FileExists(DayFile(6)));
}

TEST_F(TraceLogTest, EnableTwiceKeepsFirstNameAndDisableWritesLastLine) {
    TraceLog_Enable("First.Log");
    TraceLog_Enable("Second.Log");
    TraceLog_Printf("one\n");
    TraceLog_Disable();
    TraceLog_Printf("after\n");
    TraceLog_Disable(); // already off: nothing
    EXPECT_EQ(ReadFile(DayFile(6, "First.Log")),
              TRACE_CAPTURE_PREFIX "First.Log Enable Log\r\n" TRACE_CAPTURE_PREFIX
                                   "one\r\n" TRACE_CAPTURE_PREFIX "First.Log Disable Log\r\n");
    EXPECT_FALSE(tulvo_test::FileExists(DayFile(6, "Second.Log")));
    EXPECT_EQ(CTraceCapture::Lines().size(), 3u);
}

// Switching off between a line's debugger output and its file write: the line is dropped, so
// that "Disable Log" stays the last line of the file.
void DisableOnce(const char* /*i_pc_Line*/) {
    static std::atomic<bool> s_b_Done{false};
    if (!s_b_Done.exchange(true)) {
        TraceLog_Disable();
    }
}

TEST_F(TraceLogTest, NoLineFollowsTheDisableLine) {
    TraceLog_Enable(TRACELOG_BASENAME);
    const TraceLog_Seams l_x_Seams = {nullptr, nullptr, DisableOnce, nullptr};
    TraceLog_SetSeams(&l_x_Seams);
    TraceLog_Printf("in flight\n");
    const std::string l_x_File = tulvo_test::ReadAllDailyFiles(TRACELOG_BASENAME);
    const std::string l_x_Last = "Serv_Tulvo.Log Disable Log\r\n";
    ASSERT_GE(l_x_File.size(), l_x_Last.size());
    EXPECT_EQ(l_x_File.substr(l_x_File.size() - l_x_Last.size()), l_x_Last) << l_x_File;
    EXPECT_EQ(l_x_File.find("in flight"), std::string::npos) << l_x_File;
}

TEST_F(TraceLogTest, LinesBeforeAndAfterMidnightGoToTwoFiles) {
    TraceLog_Enable(TRACELOG_BASENAME);
    TraceLog_Printf("late\n");
    CTraceCapture::SetDate(2026, 12, 7);
    TraceLog_Printf("early\n");
    EXPECT_EQ(ReadFile(DayFile(6)),
              TRACE_CAPTURE_PREFIX "Serv_Tulvo.Log Enable Log\r\n" TRACE_CAPTURE_PREFIX "late\r\n");
    EXPECT_EQ(ReadFile(DayFile(7)), TRACE_CAPTURE_PREFIX "early\r\n");
}

TEST_F(TraceLogTest, OverlongMessageIsCutToTheLineBuffer) {
    TraceLog_Enable(TRACELOG_BASENAME);
    const std::string l_x_Long(3 * TRACELOG_MESSAGE_SIZE, 'y');
    TraceLog_Printf("%s", l_x_Long.c_str());
    const std::vector<std::string> l_ax_Lines = CTraceCapture::Lines();
    ASSERT_EQ(l_ax_Lines.size(), 2u);
    EXPECT_EQ(l_ax_Lines[1], TRACE_CAPTURE_PREFIX + std::string(TRACELOG_LINE_SIZE - 20, 'y'));
}

TEST_F(TraceLogTest, MarkerCreateAndDelete) {
    TraceLog_DeleteMarker(TRACELOG_BASENAME); // missing: leaves no file behind
    EXPECT_FALSE(tulvo_test::FileExists(TRACELOG_BASENAME));
    TraceLog_CreateMarker(TRACELOG_BASENAME);
    EXPECT_EQ(ReadFile(TRACELOG_BASENAME), "");
    EXPECT_EQ(TraceLog_IsEnabled(), 0); // the marker alone switches nothing now
    TraceLog_DeleteMarker(TRACELOG_BASENAME);
    EXPECT_FALSE(tulvo_test::FileExists(TRACELOG_BASENAME));
}

TEST_F(TraceLogTest, StartArgumentScanAppliesOnlyTheFirstSwitchWord) {
    TraceLog_Enable(TRACELOG_BASENAME);
    char l_ac_Name[] = "VEK USB Service";
    char l_ac_Other[] = "something";
    char l_ac_Off[] = "logeventsdisable";
    char l_ac_On[] = "LogEventsEnable";
    char* l_apc_Args[] = {l_ac_Name, l_ac_Other, l_ac_Off, l_ac_On};
    Serv_Tulvo_ApplyLogArguments(4, l_apc_Args);
    EXPECT_EQ(TraceLog_IsEnabled(), 0);

    char* l_apc_OnFirst[] = {l_ac_Name, l_ac_On, l_ac_Off};
    Serv_Tulvo_ApplyLogArguments(3, l_apc_OnFirst);
    EXPECT_EQ(TraceLog_IsEnabled(), 1);
}

TEST_F(TraceLogTest, LongStartArgumentsSwitchMarkerAndStateTogether) {
    char l_ac_Name[] = "VEK USB Service";
    char l_ac_EnableLong[] = "LOGEVENTSENABLELONG";
    char l_ac_DisableLong[] = "LogEventsDisableLong";
    char* l_apc_On[] = {l_ac_Name, l_ac_EnableLong};
    Serv_Tulvo_ApplyLogArguments(2, l_apc_On);
    EXPECT_EQ(TraceLog_IsEnabled(), 1);
    EXPECT_TRUE(tulvo_test::FileExists(TRACELOG_BASENAME));
    char* l_apc_Off[] = {l_ac_Name, l_ac_DisableLong};
    Serv_Tulvo_ApplyLogArguments(2, l_apc_Off);
    EXPECT_EQ(TraceLog_IsEnabled(), 0);
    EXPECT_FALSE(tulvo_test::FileExists(TRACELOG_BASENAME));
    // EnableIfMarker writes no "Enable Log" line; Disable writes its line.
    EXPECT_EQ(ReadFile(DayFile(6)), TRACE_CAPTURE_PREFIX "Serv_Tulvo.Log Disable Log\r\n");
}

// Writers log while a switcher turns logging off and on again under two base names in turn.
// Every line must be whole, and no line may follow a file's "Disable Log" line before its
// next "Enable Log" line: that is the name released by the switch.
TEST_F(TraceLogTest, WritersNeverTearALineOrWriteToAReleasedName) {
    const char* const l_apc_Names[] = {"Left.Log", "Right.Log"};
    const int l_i_Threads = 6;
    const int l_i_Lines = 300;
    std::atomic<int> l_i_Running{l_i_Threads};
    std::atomic<int> l_i_Switches{0};
    TraceLog_Enable(l_apc_Names[0]);
    std::thread l_x_Switcher([&] {
        // Switches at least a few times whatever the speed of the writers.
        for (int l_i = 0; l_i_Running.load() > 0 || l_i < 8; ++l_i) {
            TraceLog_Disable();
            TraceLog_Enable(l_apc_Names[(l_i + 1) % 2]);
            ++l_i_Switches;
        }
    });
    std::vector<std::thread> l_ax_Writers;
    for (int l_i_T = 0; l_i_T < l_i_Threads; ++l_i_T) {
        l_ax_Writers.emplace_back([&, l_i_T] {
            for (int l_i = 0; l_i < l_i_Lines; ++l_i) {
                TraceLog_Printf("writer %d line %03d %s\n", l_i_T, l_i,
                                "padding-padding-padding-padding-padding-padding");
            }
            --l_i_Running;
        });
    }
    for (std::thread& l_x_Writer : l_ax_Writers) {
        l_x_Writer.join();
    }
    l_x_Switcher.join();
    TraceLog_Disable();
    EXPECT_GE(l_i_Switches.load(), 8);

    const std::regex l_x_Whole(TRACE_CAPTURE_PREFIX
                               "(writer [0-5] line [0-9]{3} "
                               "padding-padding-padding-padding-padding-"
                               "padding|(Left|Right)\\.Log (En|Dis)able Log)\r");
    for (const char* l_pc_Name : l_apc_Names) {
        SCOPED_TRACE(l_pc_Name);
        std::istringstream l_x_File(ReadFile(DayFile(6, l_pc_Name)));
        bool l_b_On = false;
        int l_i_Sessions = 0;
        std::string l_x_Line;
        while (std::getline(l_x_File, l_x_Line)) {
            ASSERT_TRUE(std::regex_match(l_x_Line, l_x_Whole)) << l_x_Line;
            if (l_x_Line.find(" Enable Log") != std::string::npos) {
                EXPECT_FALSE(l_b_On);
                l_b_On = true;
                ++l_i_Sessions;
            } else if (l_x_Line.find(" Disable Log") != std::string::npos) {
                EXPECT_TRUE(l_b_On);
                l_b_On = false;
            } else {
                ASSERT_TRUE(l_b_On) << "line after its file's Disable Log: " << l_x_Line;
            }
        }
        EXPECT_FALSE(l_b_On);
        EXPECT_GE(l_i_Sessions, 4);
    }
}

#ifdef _WIN32
TEST_F(TraceLogTest, SystemErrorLineCarriesNumberTextAndKeepsLastError) {
    TraceLog_Enable(TRACELOG_BASENAME);
    SetLastError(ERROR_FILE_NOT_FOUND);
    TraceLog_SysError("GetTheMutex: WaitForSingleObject");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    const std::string l_x_Line = CTraceCapture::Lines().back();
    EXPECT_EQ(
        l_x_Line.rfind(TRACE_CAPTURE_PREFIX "GetTheMutex: WaitForSingleObject (SysErr No:2): ", 0),
        0u)
        << l_x_Line;
    EXPECT_EQ(l_x_Line.substr(l_x_Line.size() - 2), "\r\n");
}
#endif

} // namespace
