#include "tests/common/ServiceProcess.h"

#include "tests/common/ChildProcess.h"
#include "tests/common/TempDir.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <map>
#include <sstream>

namespace tulvo_test {

namespace {

// The file of the test's wine debug output, by its Windows name; empty without one.
std::string DebugLogPath() {
    const char* const l_pc_Path = getenv("TULVO_WINE_DEBUG_LOG");
    return l_pc_Path != nullptr ? l_pc_Path : "";
}

} // namespace

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
    m_st_DebugLogStart = DebugLogPath().empty() ? 0 : ReadFile(DebugLogPath()).size();
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

std::string CServiceProcess::EventLog() const {
    // Wine prints an entry's type and id on the advapi fixme line of ReportEventW, then each
    // string on a line of the "eventlog" channel, from the same thread.
    std::vector<std::string> l_ax_Entries;
    const std::string l_x_Log = DebugLogPath().empty() ? "" : ReadFile(DebugLogPath());
    std::istringstream l_x_Lines(l_x_Log.substr(std::min(m_st_DebugLogStart, l_x_Log.size())));
    std::map<unsigned, size_t> l_x_Writing; // the entry each thread is writing
    std::string l_x_Line;
    while (std::getline(l_x_Lines, l_x_Line)) {
        unsigned l_ui_Pid = 0, l_ui_Tid = 0, l_ui_Type = 0, l_ui_Id = 0;
        int l_i_String = 0;
        if (sscanf(l_x_Line.c_str(), "%x:%x:fixme:advapi:ReportEventW (%*[^,],0x%x,0x%*x,0x%x",
                   &l_ui_Pid, &l_ui_Tid, &l_ui_Type, &l_ui_Id) == 4 &&
            l_ui_Pid == m_x_Info.dwProcessId) {
            char l_ac_Head[24];
            snprintf(l_ac_Head, sizeof(l_ac_Head), "%08x %04x:", l_ui_Id, l_ui_Type);
            l_x_Writing[l_ui_Tid] = l_ax_Entries.size();
            l_ax_Entries.push_back(l_ac_Head);
        } else if (sscanf(l_x_Line.c_str(), "%x:%x:%*[a-z]:eventlog:ReportEventW L\"%n", &l_ui_Pid,
                          &l_ui_Tid, &l_i_String) == 2 &&
                   l_i_String > 0 && l_ui_Pid == m_x_Info.dwProcessId &&
                   l_x_Writing.count(l_ui_Tid) != 0) {
            std::string& l_x_Entry = l_ax_Entries[l_x_Writing[l_ui_Tid]];
            l_x_Entry += l_x_Entry.back() == ':' ? " " : "|";
            // L"..." with '\' before '\' and '"': the service's strings have no other escapes.
            for (size_t l_st = l_i_String; l_st < l_x_Line.rfind('"'); ++l_st) {
                l_st += l_x_Line[l_st] == '\\' ? 1 : 0;
                l_x_Entry += l_x_Line[l_st];
            }
        }
    }
    std::string l_x_Text;
    for (const std::string& l_x_Entry : l_ax_Entries) {
        l_x_Text += l_x_Entry + "\n";
    }
    return l_x_Text;
}

} // namespace tulvo_test
