// The Event Log entries as the Event Viewer shows them: every kind the service writes,
// formatted with its strings from the message table of Serv_Tulvo.exe loaded as a data file,
// and the limit on repeated warnings, on a clock of the test's own.
#include "service/EventLog.h"

#include "ipc/protocol/TulvoStatus.h"
#include "tests/common/ChildProcess.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<uint32_t> g_aul_Ids;
std::vector<std::vector<std::wstring>> g_ax_Strings;
uint64_t g_ull_Now = 1000;

void Capture(uint16_t, uint32_t i_ul_Id, uint16_t i_us_Count, const wchar_t** i_ppw_Strings) {
    g_aul_Ids.push_back(i_ul_Id);
    g_ax_Strings.emplace_back(i_ppw_Strings, i_ppw_Strings + i_us_Count);
}

TEST(EventLogTest, EveryKindFormatsFromTheExecutablesTableAndWarningsComeOnceAMinutePerSensor) {
    const EventLog_Seams l_x_Seams = {Capture, [] { return g_ull_Now; }};
    EventLog_SetSeams(&l_x_Seams);
    EventLog_Started("1. 5. 0. 0", 1, "C:\\windows\\system32");
    EventLog_Stopped("1. 5. 0. 0");
    EventLog_PortNotOpened("SN0001", "COM7", ERROR_ACCESS_DENIED, TULVO_PORT_NOT_OPEN);
    EventLog_RestartEnded("SN0001", 30000, TULVO_TIMEOUT);
    EventLog_ChannelNotCreated(TULVO_TS_CHANNEL_ERROR);
    EventLog_AlreadyRunning();
    EventLog_ServerThreadEnded("GestIpcPublic_ThreadReceptProc", TULVO_TS_PEER_LOST, 0);
    // No entry: a restart that failed otherwise than by its time, a thread the stop ended.
    EventLog_RestartEnded("SN0002", 30000, TULVO_ABORTED);
    EventLog_ServerThreadEnded("GestIpcPublic_ThreadReceptProc", TULVO_TS_PEER_LOST, 1);
    // Warnings of a kind about a sensor, known by its port when it has no serial number.
    EventLog_PortNotOpened("SN0001", "COM7", ERROR_ACCESS_DENIED, TULVO_PORT_NOT_OPEN);
    EventLog_PortNotOpened(nullptr, "COM9", 0, TULVO_PORT_ERROR);
    EventLog_PortNotOpened("", "COM9", 0, TULVO_PORT_ERROR);
    g_ull_Now += EVENTLOG_REPEAT_MS - 1;
    EventLog_PortNotOpened("SN0001", "COM7", ERROR_ACCESS_DENIED, TULVO_PORT_NOT_OPEN);
    g_ull_Now += 1;
    EventLog_PortNotOpened("SN0001", "COM7", ERROR_ACCESS_DENIED, TULVO_PORT_NOT_OPEN);
    EventLog_ChannelNotCreated(TULVO_TS_CHANNEL_ERROR);
    EventLog_SetSeams(nullptr);
    ASSERT_EQ(10u, g_aul_Ids.size());
    EXPECT_EQ(std::vector<std::wstring>(
                  {L"COM9", L"COM9", L"status " + std::to_wstring(TULVO_PORT_ERROR)}),
              g_ax_Strings[7]);

    const HMODULE l_h_Exe = LoadLibraryExA((tulvo_test::BinDirectory() + "Serv_Tulvo.exe").c_str(),
                                           nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, l_h_Exe) << GetLastError();
    for (size_t l_st = 0; l_st < g_aul_Ids.size(); ++l_st) {
        std::vector<const wchar_t*> l_apw_Inserts;
        for (const std::wstring& l_x_String : g_ax_Strings[l_st]) {
            l_apw_Inserts.push_back(l_x_String.c_str());
        }
        // What a text that numbers more strings than its entry passes would show.
        l_apw_Inserts.resize(l_apw_Inserts.size() + 2, L"<missing>");
        wchar_t* l_pw_Text = nullptr;
        ASSERT_NE(0u, FormatMessageW(
                          FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                              FORMAT_MESSAGE_ARGUMENT_ARRAY,
                          l_h_Exe, g_aul_Ids[l_st], 0, reinterpret_cast<LPWSTR>(&l_pw_Text), 0,
                          reinterpret_cast<va_list*>(const_cast<wchar_t**>(l_apw_Inserts.data()))))
            << std::hex << g_aul_Ids[l_st];
        const std::wstring l_x_Text(l_pw_Text);
        LocalFree(l_pw_Text);
        for (const std::wstring& l_x_String : g_ax_Strings[l_st]) {
            EXPECT_NE(std::wstring::npos, l_x_Text.find(l_x_String)) << std::hex << g_aul_Ids[l_st];
        }
        EXPECT_EQ(std::wstring::npos, l_x_Text.find_first_of(L"%<")) << std::hex << g_aul_Ids[l_st];
    }
    FreeLibrary(l_h_Exe);
}

} // namespace
