// Trace log behaviour: line bytes, switching, daily files, markers and concurrent writers.
#include "service/TraceLog.h"
#include "tests/common/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

std::mutex g_x_OutputLock;
std::vector<std::string> g_ax_DebugOutput;
std::atomic<uint32_t> g_ul_Tick{1234};
std::atomic<int> g_i_Day{6};

uint32_t FakeTick() {
    return g_ul_Tick.load();
}
uint32_t FakeThreadId() {
    return 0x1A2B;
}
void CaptureDebugOutput(const char* i_pc_Line) {
    std::lock_guard<std::mutex> l_x_Guard(g_x_OutputLock);
    g_ax_DebugOutput.emplace_back(i_pc_Line);
}
void FakeDate(struct tm* o_px_Date) {
    o_px_Date->tm_year = 2026 - 1900;
    o_px_Date->tm_mon = 11;
    o_px_Date->tm_mday = g_i_Day.load();
}

std::string DayFile(int i_i_Day) {
    char l_ac_Name[64];
    snprintf(l_ac_Name, sizeof(l_ac_Name), "Serv_Tulvo.Log.2026.12.%02d.Txt", i_i_Day);
    return l_ac_Name;
}

class TraceLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_x_Dir.Enter();
        g_ax_DebugOutput.clear();
        g_ul_Tick = 1234;
        g_i_Day = 6;
        TraceLog_Seams l_x_Seams = {FakeTick, FakeThreadId, CaptureDebugOutput, FakeDate};
        TraceLog_SetSeams(&l_x_Seams);
    }
    void TearDown() override {
        TraceLog_Disable();
        TraceLog_SetSeams(nullptr);
        m_x_Dir.Leave();
    }
    std::vector<std::string> DebugOutput() {
        std::lock_guard<std::mutex> l_x_Guard(g_x_OutputLock);
        return g_ax_DebugOutput;
    }
    tulvo_test::CTempDir m_x_Dir;
};

TEST_F(TraceLogTest, LineHasTickThreadAndMessageWithoutAddedBreak) {
    TraceLog_EnableIfMarker("absent-marker");
    EXPECT_EQ(TraceLog_IsEnabled(), 0);
    TraceLog_CreateMarker(TRACELOG_BASENAME);
    TraceLog_EnableIfMarker(TRACELOG_BASENAME); // writes no line of its own
    TraceLog_Printf("abc");
    TraceLog_Printf("%s%%d", "100"); // a percent sign in the formatted text stays as it is
    ASSERT_EQ(DebugOutput(),
              (std::vector<std::string>{"000001234 00001A2B abc", "000001234 00001A2B 100%d"}));
    EXPECT_EQ(tulvo_test::ReadFile(DayFile(6)), "000001234 00001A2B abc000001234 00001A2B 100%d");
}

TEST_F(TraceLogTest, LineFeedsAreWrittenAsCarriageReturnLineFeed) {
    TraceLog_Enable(TRACELOG_BASENAME);
    g_ul_Tick = 7;
    TraceLog_Printf("x=%d\n", 5);
    EXPECT_EQ(tulvo_test::ReadFile(DayFile(6)),
              "000001234 00001A2B Serv_Tulvo.Log Enable Log\r\n000000007 00001A2B x=5\r\n");
}

TEST_F(TraceLogTest, NothingAtAllWhileOff) {
    TraceLog_Printf("hidden %d\n", 1);
    TraceLog_SysError("hidden");
    EXPECT_TRUE(DebugOutput().empty());
    EXPECT_FALSE(tulvo_test::FileExists(DayFile(6)));
}

TEST_F(TraceLogTest, EnableTwiceKeepsFirstNameAndDisableWritesLastLine) {
    TraceLog_Enable("First.Log");
    TraceLog_Enable("Second.Log");
    TraceLog_Printf("one\n");
    TraceLog_Disable();
    TraceLog_Printf("after\n");
    TraceLog_Disable(); // already off: nothing
    EXPECT_EQ(tulvo_test::ReadFile("First.Log.2026.12.06.Txt"),
              "000001234 00001A2B First.Log Enable Log\r\n"
              "000001234 00001A2B one\r\n"
              "000001234 00001A2B First.Log Disable Log\r\n");
    EXPECT_FALSE(tulvo_test::FileExists("Second.Log.2026.12.06.Txt"));
    EXPECT_EQ(DebugOutput().size(), 3u);
}

TEST_F(TraceLogTest, LinesBeforeAndAfterMidnightGoToTwoFiles) {
    TraceLog_Enable(TRACELOG_BASENAME);
    TraceLog_Printf("late\n");
    g_i_Day = 7;
    TraceLog_Printf("early\n");
    EXPECT_EQ(tulvo_test::ReadFile(DayFile(6)),
              "000001234 00001A2B Serv_Tulvo.Log Enable Log\r\n000001234 00001A2B late\r\n");
    EXPECT_EQ(tulvo_test::ReadFile(DayFile(7)), "000001234 00001A2B early\r\n");
}

TEST_F(TraceLogTest, OverlongMessageIsCutToTheLineBuffer) {
    TraceLog_Enable(TRACELOG_BASENAME);
    const std::string l_x_Long(3 * TRACELOG_MESSAGE_SIZE, 'y');
    TraceLog_Printf("%s", l_x_Long.c_str());
    const std::vector<std::string> l_ax_Output = DebugOutput();
    ASSERT_EQ(l_ax_Output.size(), 2u);
    EXPECT_EQ(l_ax_Output[1].size(), static_cast<size_t>(TRACELOG_LINE_SIZE - 1));
    EXPECT_EQ(l_ax_Output[1].substr(0, 22), "000001234 00001A2B yyy");
}

TEST_F(TraceLogTest, TickCountIsPrintedAsSigned32BitValue) {
    TraceLog_Enable(TRACELOG_BASENAME);
    g_ul_Tick = 0xFFFFFFFFu;
    TraceLog_Printf("wrap");
    EXPECT_EQ(DebugOutput().back(), "-00000001 00001A2B wrap");
}

TEST_F(TraceLogTest, MarkerCreateAndDelete) {
    TraceLog_DeleteMarker(TRACELOG_BASENAME); // missing: leaves no file behind
    EXPECT_FALSE(tulvo_test::FileExists(TRACELOG_BASENAME));
    TraceLog_CreateMarker(TRACELOG_BASENAME);
    EXPECT_EQ(tulvo_test::ReadFile(TRACELOG_BASENAME), "");
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
    EXPECT_EQ(tulvo_test::ReadFile(DayFile(6)),
              "000001234 00001A2B Serv_Tulvo.Log Disable Log\r\n");
}

TEST_F(TraceLogTest, ConcurrentWritersNeverTearOrLoseALineWhileSwitching) {
    TraceLog_SetSeams(nullptr); // real clock and thread ids
    TraceLog_Enable(TRACELOG_BASENAME);
    const int l_i_Threads = 8;
    const int l_i_Lines = 150;
    std::atomic<bool> l_b_Stop{false};
    // A switcher re-enables under the writers' feet: readers must never see a released name.
    std::thread l_x_Switcher([&] {
        while (!l_b_Stop.load()) {
            TraceLog_Enable(TRACELOG_BASENAME);
            TraceLog_Enable(TRACELOG_BASENAME);
        }
    });
    std::vector<std::thread> l_ax_Writers;
    for (int l_i_T = 0; l_i_T < l_i_Threads; ++l_i_T) {
        l_ax_Writers.emplace_back([l_i_T] {
            for (int l_i = 0; l_i < l_i_Lines; ++l_i) {
                TraceLog_Printf("writer %d line %d %s\n", l_i_T, l_i,
                                "padding-padding-padding-padding-padding-padding");
            }
        });
    }
    for (std::thread& l_x_Writer : l_ax_Writers) {
        l_x_Writer.join();
    }
    l_b_Stop = true;
    l_x_Switcher.join();

    std::istringstream l_x_File(tulvo_test::ReadAllDailyFiles(TRACELOG_BASENAME));
    std::set<std::string> l_x_Seen;
    std::string l_x_Line;
    while (std::getline(l_x_File, l_x_Line)) {
        ASSERT_FALSE(l_x_Line.empty());
        ASSERT_EQ(l_x_Line.back(), '\r') << l_x_Line;
        if (l_x_Line.find(" writer ") == std::string::npos) {
            continue;
        }
        ASSERT_NE(l_x_Line.find(" padding-padding-padding-padding-padding-padding\r"),
                  std::string::npos)
            << l_x_Line;
        l_x_Seen.insert(l_x_Line.substr(l_x_Line.find(" writer ")));
    }
    EXPECT_EQ(l_x_Seen.size(), static_cast<size_t>(l_i_Threads * l_i_Lines));
}

#ifdef _WIN32
TEST_F(TraceLogTest, SystemErrorLineCarriesNumberTextAndKeepsLastError) {
    TraceLog_Enable(TRACELOG_BASENAME);
    SetLastError(ERROR_FILE_NOT_FOUND);
    TraceLog_SysError("GetTheMutex: WaitForSingleObject");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    const std::string l_x_Line = DebugOutput().back();
    EXPECT_EQ(
        l_x_Line.rfind("000001234 00001A2B GetTheMutex: WaitForSingleObject (SysErr No:2): ", 0),
        0u)
        << l_x_Line;
    EXPECT_EQ(l_x_Line.substr(l_x_Line.size() - 2), "\r\n");
}
#endif

} // namespace
