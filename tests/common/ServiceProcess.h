// Test helper (Windows): the real Serv_Tulvo.exe in debug mode as a child process, its output
// going to a file, and its stop event.
#ifndef TULVO_TESTS_COMMON_SERVICEPROCESS_H
#define TULVO_TESTS_COMMON_SERVICEPROCESS_H

#include <windows.h>

#include <stdint.h>

#include <string>

namespace tulvo_test {

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
    // Its Event Log entries so far, read from the test's wine debug output (scripts/wine-gtest.sh
    // with TULVO_WINE_DEBUG_LOG), one line each: "80000064 0002: SN0001|COM5|system error 2...".
    std::string EventLog() const;

private:
    PROCESS_INFORMATION m_x_Info = {};
    std::string m_x_Output;
    size_t m_st_DebugLogStart = 0;
};

} // namespace tulvo_test

#endif
