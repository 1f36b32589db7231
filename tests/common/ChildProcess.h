// Test helper (Windows): runs a program with its standard output captured.
#ifndef TULVO_TESTS_COMMON_CHILDPROCESS_H
#define TULVO_TESTS_COMMON_CHILDPROCESS_H

#include <windows.h>

#include <mutex>
#include <string>
#include <thread>

namespace tulvo_test {

// Directory of the running test executable, with a trailing backslash; the product's
// executables are built next to the tests.
std::string BinDirectory();

// A child process whose standard output (and error) is read into a buffer by a thread.
class CChildProcess {
public:
    CChildProcess() = default;
    ~CChildProcess();
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    // i_x_CommandLine is passed to CreateProcessA as is; i_x_Directory may be empty. With
    // i_b_Input the child's standard input is a pipe that WriteInput feeds; else it is ours.
    bool Start(const std::string& i_x_CommandLine, const std::string& i_x_Directory,
               bool i_b_Input = false);
    // Writes to the child's input pipe; false without one or when the child is gone.
    bool WriteInput(const std::string& i_x_Text);
    // Waits until the output holds i_x_Text or the process ends; false on time-out or end.
    bool WaitForOutput(const std::string& i_x_Text, DWORD i_ul_TimeoutMs);
    // Waits for the end of the process; false on time-out. The exit code is then available.
    bool WaitForExit(DWORD i_ul_TimeoutMs);
    DWORD ExitCode() const { return m_ul_ExitCode; }
    std::string Output();
    void Kill();
    DWORD ProcessId() const { return m_x_Info.dwProcessId; }

private:
    void ReadLoop();
    PROCESS_INFORMATION m_x_Info{};
    HANDLE m_h_ReadPipe = nullptr;
    HANDLE m_h_InputPipe = nullptr;
    std::thread m_x_Reader;
    std::mutex m_x_Lock;
    std::string m_x_Output;
    DWORD m_ul_ExitCode = STILL_ACTIVE;
};

// Runs a program to its end (at most i_ul_TimeoutMs) and returns its output; the exit code
// goes to o_pul_ExitCode (STILL_ACTIVE when it had to be killed).
std::string RunToEnd(const std::string& i_x_CommandLine, const std::string& i_x_Directory,
                     DWORD i_ul_TimeoutMs, DWORD* o_pul_ExitCode);

} // namespace tulvo_test

#endif
