#include "tests/common/ChildProcess.h"

#include <cstdio>
#include <vector>

namespace tulvo_test {

std::string BinDirectory() {
    char l_ac_Path[MAX_PATH];
    const DWORD l_ul_Len = GetModuleFileNameA(nullptr, l_ac_Path, sizeof(l_ac_Path));
    std::string l_x_Path(l_ac_Path, l_ul_Len);
    return l_x_Path.substr(0, l_x_Path.find_last_of("\\/") + 1);
}

CChildProcess::~CChildProcess() {
    Kill();
    if (m_x_Reader.joinable()) {
        m_x_Reader.join();
    }
    if (m_h_ReadPipe != nullptr) {
        CloseHandle(m_h_ReadPipe);
    }
    if (m_h_InputPipe != nullptr) {
        CloseHandle(m_h_InputPipe);
    }
    if (m_x_Info.hProcess != nullptr) {
        CloseHandle(m_x_Info.hProcess);
        CloseHandle(m_x_Info.hThread);
    }
}

bool CChildProcess::Start(const std::string& i_x_CommandLine, const std::string& i_x_Directory,
                          bool i_b_Input) {
    SECURITY_ATTRIBUTES l_x_Inherit = {sizeof(l_x_Inherit), nullptr, TRUE};
    HANDLE l_h_Write = nullptr;
    if (!CreatePipe(&m_h_ReadPipe, &l_h_Write, &l_x_Inherit, 0)) {
        return false;
    }
    SetHandleInformation(m_h_ReadPipe, HANDLE_FLAG_INHERIT, 0);
    HANDLE l_h_Input = GetStdHandle(STD_INPUT_HANDLE);
    if (i_b_Input) {
        if (!CreatePipe(&l_h_Input, &m_h_InputPipe, &l_x_Inherit, 0)) {
            CloseHandle(l_h_Write);
            return false;
        }
        SetHandleInformation(m_h_InputPipe, HANDLE_FLAG_INHERIT, 0);
    }
    STARTUPINFOA l_x_Startup{};
    l_x_Startup.cb = sizeof(l_x_Startup);
    l_x_Startup.dwFlags = STARTF_USESTDHANDLES;
    l_x_Startup.hStdInput = l_h_Input;
    l_x_Startup.hStdOutput = l_h_Write;
    l_x_Startup.hStdError = l_h_Write;
    std::vector<char> l_ac_Command(i_x_CommandLine.begin(), i_x_CommandLine.end());
    l_ac_Command.push_back('\0');
    const BOOL l_b_Started = CreateProcessA(
        nullptr, l_ac_Command.data(), nullptr, nullptr, TRUE, 0, nullptr,
        i_x_Directory.empty() ? nullptr : i_x_Directory.c_str(), &l_x_Startup, &m_x_Info);
    CloseHandle(l_h_Write);
    if (i_b_Input) {
        CloseHandle(l_h_Input);
    }
    if (!l_b_Started) {
        // The error is all that tells a missing program from one that died while starting.
        std::fprintf(stderr, "CreateProcess failed with error %lu: %s\n", GetLastError(),
                     i_x_CommandLine.c_str());
        m_x_Info = PROCESS_INFORMATION{};
        return false;
    }
    m_x_Reader = std::thread([this] { ReadLoop(); });
    return true;
}

bool CChildProcess::WriteInput(const std::string& i_x_Text) {
    DWORD l_ul_Written = 0;
    return m_h_InputPipe != nullptr &&
           WriteFile(m_h_InputPipe, i_x_Text.data(), static_cast<DWORD>(i_x_Text.size()),
                     &l_ul_Written, nullptr) &&
           l_ul_Written == i_x_Text.size();
}

void CChildProcess::ReadLoop() {
    char l_ac_Buffer[4096];
    DWORD l_ul_Read = 0;
    while (ReadFile(m_h_ReadPipe, l_ac_Buffer, sizeof(l_ac_Buffer), &l_ul_Read, nullptr) &&
           l_ul_Read > 0) {
        std::lock_guard<std::mutex> l_x_Guard(m_x_Lock);
        m_x_Output.append(l_ac_Buffer, l_ul_Read);
    }
}

bool CChildProcess::WaitForOutput(const std::string& i_x_Text, DWORD i_ul_TimeoutMs) {
    const ULONGLONG l_ull_End = GetTickCount64() + i_ul_TimeoutMs;
    for (;;) {
        if (Output().find(i_x_Text) != std::string::npos) {
            return true;
        }
        if (m_x_Info.hProcess == nullptr ||
            WaitForSingleObject(m_x_Info.hProcess, 0) == WAIT_OBJECT_0) {
            // The last bytes may still be in the pipe.
            if (m_x_Reader.joinable()) {
                m_x_Reader.join();
            }
            return Output().find(i_x_Text) != std::string::npos;
        }
        if (GetTickCount64() >= l_ull_End) {
            return false;
        }
        Sleep(10);
    }
}

bool CChildProcess::WaitForExit(DWORD i_ul_TimeoutMs) {
    if (m_x_Info.hProcess == nullptr) {
        return false;
    }
    if (WaitForSingleObject(m_x_Info.hProcess, i_ul_TimeoutMs) != WAIT_OBJECT_0) {
        return false;
    }
    GetExitCodeProcess(m_x_Info.hProcess, &m_ul_ExitCode);
    if (m_x_Reader.joinable()) {
        m_x_Reader.join();
    }
    return true;
}

std::string CChildProcess::Output() {
    std::lock_guard<std::mutex> l_x_Guard(m_x_Lock);
    return m_x_Output;
}

void CChildProcess::Kill() {
    if (m_x_Info.hProcess != nullptr &&
        WaitForSingleObject(m_x_Info.hProcess, 0) != WAIT_OBJECT_0) {
        TerminateProcess(m_x_Info.hProcess, 1);
        WaitForSingleObject(m_x_Info.hProcess, 10000);
    }
}

std::string RunToEnd(const std::string& i_x_CommandLine, const std::string& i_x_Directory,
                     DWORD i_ul_TimeoutMs, DWORD* o_pul_ExitCode) {
    CChildProcess l_x_Child;
    *o_pul_ExitCode = STILL_ACTIVE;
    if (!l_x_Child.Start(i_x_CommandLine, i_x_Directory)) {
        return "<CreateProcess failed: " + std::to_string(GetLastError()) + ">";
    }
    if (l_x_Child.WaitForExit(i_ul_TimeoutMs)) {
        *o_pul_ExitCode = l_x_Child.ExitCode();
    }
    return l_x_Child.Output();
}

} // namespace tulvo_test
