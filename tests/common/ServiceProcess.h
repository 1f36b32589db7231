// Test helper (Windows): the real Serv_Tulvo.exe in debug mode as a child process, its output
// going to a file, and its stop event.
#ifndef TULVO_TESTS_COMMON_SERVICEPROCESS_H
#define TULVO_TESTS_COMMON_SERVICEPROCESS_H

#include <windows.h>

#include <stdint.h>

#include <string>
#include <vector>

namespace tulvo_test {

// One Event Log entry as wine shows it: wine keeps no log, ReportEventW prints its type and
// event id on the advapi "fixme" channel and then each string on the "eventlog" channel,
// filed as "err", "warn" or "trace" by the entry's type.
struct CEventLogEntry {
    uint16_t m_us_Type = 0;
    uint32_t m_ul_EventId = 0;
    std::string m_x_Channel;
    std::vector<std::string> m_ax_Strings;
};

// Output goes to a file, not to a pipe: the service's first window starts wine's desktop
// process, which inherits the service's standard handles and would keep a pipe open for as
// long as the test lives.
class CServiceProcess {
public:
    CServiceProcess() = default;
    ~CServiceProcess();
    CServiceProcess(const CServiceProcess&) = delete;
    CServiceProcess& operator=(const CServiceProcess&) = delete;

    // Starts "Serv_Tulvo.exe -debug" in that directory (its trace log goes there).
    bool Start(const std::string& i_x_Directory);
    // Waits until the output holds the text; false when the limit passed or the process ended
    // without it.
    bool WaitForOutput(const std::string& i_x_Text, uint32_t i_ul_Timeout);
    // Sets the stop event, the event named "VEK USB Service", and waits for the process's end.
    bool Stop(uint32_t i_ul_Timeout);
    bool WaitForExit(uint32_t i_ul_Timeout);
    bool IsRunning() const;
    DWORD ExitCode() const;
    DWORD ProcessId() const { return m_x_Info.dwProcessId; }
    HANDLE Process() const { return m_x_Info.hProcess; }
    std::string Output() const;

    // The wine debug output of this test run's processes goes to a file when the test runs
    // with TULVO_WINE_DEBUG_LOG (scripts/wine-gtest.sh); a service started then shows its
    // Event Log entries there. False without that file.
    static bool HasEventLog();
    // The entries of this process so far, in order.
    std::vector<CEventLogEntry> EventLogEntries() const;
    // Waits until the process has written an entry with that id and at least that many
    // strings (wine prints them one line at a time), and gives the first such; false on
    // time-out.
    bool WaitForEventLogEntry(uint32_t i_ul_EventId, size_t i_st_Strings, uint32_t i_ul_Timeout,
                              CEventLogEntry* o_px_Entry = nullptr) const;

private:
    PROCESS_INFORMATION m_x_Info = {};
    std::string m_x_Output;
    // Where this process's lines begin in the debug log.
    size_t m_st_DebugLogStart = 0;
};

} // namespace tulvo_test

#endif
