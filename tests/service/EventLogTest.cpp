// The Event Log entries as the Event Viewer shows them: every entry the service can write is
// formatted with its inserts from the message table of Serv_Tulvo.exe, loaded as a data file;
// and the limit on repeated warnings, on a clock of the test's own.
#include "service/EventLog.h"

#include "ipc/protocol/TulvoStatus.h"
#include "tests/common/ChildProcess.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <set>
#include <string>
#include <vector>

namespace {

struct SEntry {
    uint16_t m_us_Type;
    uint32_t m_ul_EventId;
    std::vector<std::wstring> m_ax_Strings;
};

std::vector<SEntry> g_ax_Entries;
uint64_t g_ull_Now = 1000;

void Capture(uint16_t i_us_Type, uint32_t i_ul_EventId, uint16_t i_us_Count,
             const wchar_t** i_ppw_Strings) {
    g_ax_Entries.push_back({i_us_Type, i_ul_EventId,
                            std::vector<std::wstring>(i_ppw_Strings, i_ppw_Strings + i_us_Count)});
}

class EventLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_ax_Entries.clear();
        const EventLog_Seams l_x_Seams = {Capture, [] { return g_ull_Now; }};
        EventLog_SetSeams(&l_x_Seams);
    }
    void TearDown() override { EventLog_SetSeams(nullptr); }
};

TEST_F(EventLogTest, EveryEntryFormatsWithItsInsertsFromTheMessageTableOfTheExecutable) {
    EventLog_Started("1. 5. 0. 0", 1, "C:\\windows\\system32");
    EventLog_Stopped("1. 5. 0. 0");
    EventLog_PortNotOpened("SN0001", "COM7", ERROR_ACCESS_DENIED, TULVO_PORT_NOT_OPEN);
    EventLog_PortNotOpened("SN0002", "COM8", 0, TULVO_PORT_ERROR);
    EventLog_RestartEnded("SN0001", 30000, TULVO_TIMEOUT);
    EventLog_ChannelNotCreated(TULVO_TS_CHANNEL_ERROR);
    EventLog_AlreadyRunning();
    EventLog_ServerThreadEnded("GestIpcPublic_ThreadReceptProc", TULVO_TS_PEER_LOST, 0);
    // No entry: a restart that failed otherwise than by its time, a thread the stop ended.
    EventLog_RestartEnded("SN0003", 30000, TULVO_ABORTED);
    EventLog_ServerThreadEnded("GestIpcPublic_ThreadReceptProc", TULVO_TS_PEER_LOST, 1);
    ASSERT_EQ(8u, g_ax_Entries.size());
    EXPECT_EQ(0u, g_ax_Entries[2].m_ax_Strings[2].rfind(L"system error 5: ", 0));
    EXPECT_EQ(L"status " + std::to_wstring(TULVO_PORT_ERROR), g_ax_Entries[3].m_ax_Strings[2]);

    const HMODULE l_h_Exe = LoadLibraryExA((tulvo_test::BinDirectory() + "Serv_Tulvo.exe").c_str(),
                                           nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, l_h_Exe) << GetLastError();
    std::set<uint32_t> l_x_Ids;
    for (const SEntry& l_x_Entry : g_ax_Entries) {
        l_x_Ids.insert(l_x_Entry.m_ul_EventId);
        std::vector<const wchar_t*> l_apw_Inserts;
        for (const std::wstring& l_x_String : l_x_Entry.m_ax_Strings) {
            l_apw_Inserts.push_back(l_x_String.c_str());
        }
        // A text that numbers an insert the entry does not pass shows this one.
        l_apw_Inserts.push_back(L"<missing>");
        l_apw_Inserts.push_back(L"<missing>");
        wchar_t* l_pw_Text = nullptr;
        const DWORD l_ul_Length = FormatMessageW(
            FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                FORMAT_MESSAGE_ARGUMENT_ARRAY,
            l_h_Exe, l_x_Entry.m_ul_EventId, 0, reinterpret_cast<LPWSTR>(&l_pw_Text), 0,
            reinterpret_cast<va_list*>(const_cast<wchar_t**>(l_apw_Inserts.data())));
        ASSERT_NE(0u, l_ul_Length) << std::hex << l_x_Entry.m_ul_EventId << " " << GetLastError();
        const std::wstring l_x_Text(l_pw_Text, l_ul_Length);
        LocalFree(l_pw_Text);
        for (const std::wstring& l_x_String : l_x_Entry.m_ax_Strings) {
            EXPECT_NE(std::wstring::npos, l_x_Text.find(l_x_String))
                << std::hex << l_x_Entry.m_ul_EventId;
        }
        EXPECT_EQ(std::wstring::npos, l_x_Text.find(L"<missing>"))
            << std::hex << l_x_Entry.m_ul_EventId;
        EXPECT_EQ(std::wstring::npos, l_x_Text.find(L'%')) << std::hex << l_x_Entry.m_ul_EventId;
    }
    // One id per kind of entry: the two of the port share theirs.
    EXPECT_EQ(7u, l_x_Ids.size());
    FreeLibrary(l_h_Exe);
}

TEST_F(EventLogTest, RepeatedWarningsAreLimitedToOneAMinutePerKindAndSensor) {
    EventLog_PortNotOpened("SN0001", "COM7", ERROR_FILE_NOT_FOUND, TULVO_PORT_NOT_OPEN);
    EventLog_PortNotOpened("SN0001", "COM7", ERROR_FILE_NOT_FOUND, TULVO_PORT_NOT_OPEN);
    EXPECT_EQ(1u, g_ax_Entries.size());
    EventLog_PortNotOpened("SN0002", "COM8", ERROR_FILE_NOT_FOUND, TULVO_PORT_NOT_OPEN);
    EventLog_RestartEnded("SN0001", 1000, TULVO_TIMEOUT);
    // A sensor without a serial number is known by its port.
    EventLog_PortNotOpened("", "COM9", ERROR_FILE_NOT_FOUND, TULVO_PORT_NOT_OPEN);
    EventLog_PortNotOpened(nullptr, "COM9", ERROR_FILE_NOT_FOUND, TULVO_PORT_NOT_OPEN);
    EXPECT_EQ(4u, g_ax_Entries.size());
    g_ull_Now += EVENTLOG_REPEAT_MS - 1;
    EventLog_PortNotOpened("SN0001", "COM7", ERROR_FILE_NOT_FOUND, TULVO_PORT_NOT_OPEN);
    EventLog_RestartEnded("SN0001", 1000, TULVO_TIMEOUT);
    EXPECT_EQ(4u, g_ax_Entries.size());
    g_ull_Now += 1;
    EventLog_PortNotOpened("SN0001", "COM7", ERROR_FILE_NOT_FOUND, TULVO_PORT_NOT_OPEN);
    EventLog_RestartEnded("SN0001", 1000, TULVO_TIMEOUT);
    EXPECT_EQ(6u, g_ax_Entries.size());
    // Errors are never held back.
    EventLog_ChannelNotCreated(TULVO_TS_CHANNEL_ERROR);
    EventLog_ChannelNotCreated(TULVO_TS_CHANNEL_ERROR);
    EXPECT_EQ(8u, g_ax_Entries.size());
}

} // namespace
