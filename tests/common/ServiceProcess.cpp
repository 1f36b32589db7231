#include "tests/common/ServiceProcess.h"

#include "tests/common/ChildProcess.h"
#include "tests/common/TempDir.h"

namespace tulvo_test {

CServiceProcess::~CServiceProcess() {
    if (m_x_Info.hProcess != nullptr) {
        TerminateProcess(m_x_Info.hProcess, 1);
        WaitForSingleObject(m_x_Info.hProcess, 10000);
        CloseHandle(m_x_Info.hProcess);
        CloseHandle(m_x_Info.hThread);
    }
}

bool CServiceProcess::Start(const std::string& i_x_Directory) {
    m_x_Output = i_x_Directory + "\\service.out";
    SECURITY_ATTRIBUTES l_x_Inherit = {sizeof(l_x_Inherit), nullptr, TRUE};
    HANDLE l_h_File =
        CreateFileA(m_x_Output.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &l_x_Inherit, CREATE_ALWAYS, 0, nullptr);
    if (l_h_File == INVALID_HANDLE_VALUE) {
        return false;
    }
    STARTUPINFOA l_x_Startup = {};
    l_x_Startup.cb = sizeof(l_x_Startup);
    l_x_Startup.dwFlags = STARTF_USESTDHANDLES;
    l_x_Startup.hStdInput = l_h_File;
    l_x_Startup.hStdOutput = l_h_File;
    l_x_Startup.hStdError = l_h_File;
    std::string l_x_Command = "\"" + BinDirectory() + "Serv_Tulvo.exe\" -debug";
    const BOOL l_b_Started =
        CreateProcessA(nullptr, &l_x_Command[0], nullptr, nullptr, TRUE, 0, nullptr,
                       i_x_Directory.c_str(), &l_x_Startup, &m_x_Info);
    CloseHandle(l_h_File);
    return l_b_Started != FALSE;
}

bool CServiceProcess::WaitForOutput(const std::string& i_x_Text, uint32_t i_ul_Timeout) {
    const ULONGLONG l_ull_End = GetTickCount64() + i_ul_Timeout;
    for (;;) {
        if (Output().find(i_x_Text) != std::string::npos) {
            return true;
        }
        if (!IsRunning() || GetTickCount64() > l_ull_End) {
            return Output().find(i_x_Text) != std::string::npos;
        }
        Sleep(10);
    }
}

bool CServiceProcess::Stop(uint32_t i_ul_Timeout) {
    HANDLE l_h_Stop = OpenEventA(EVENT_MODIFY_STATE, FALSE, "VEK USB Service");
    if (l_h_Stop != nullptr) {
        SetEvent(l_h_Stop);
        CloseHandle(l_h_Stop);
    }
    return WaitForExit(i_ul_Timeout);
}

bool CServiceProcess::WaitForExit(uint32_t i_ul_Timeout) {
    return m_x_Info.hProcess != nullptr &&
           WaitForSingleObject(m_x_Info.hProcess, i_ul_Timeout) == WAIT_OBJECT_0;
}

bool CServiceProcess::IsRunning() const {
    return m_x_Info.hProcess != nullptr &&
           WaitForSingleObject(m_x_Info.hProcess, 0) == WAIT_TIMEOUT;
}

DWORD CServiceProcess::ExitCode() const {
    DWORD l_ul_Code = STILL_ACTIVE;
    GetExitCodeProcess(m_x_Info.hProcess, &l_ul_Code);
    return l_ul_Code;
}

std::string CServiceProcess::Output() const {
    return ReadFile(m_x_Output);
}

} // namespace tulvo_test
