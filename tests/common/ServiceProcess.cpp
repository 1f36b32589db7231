#include "tests/common/ServiceProcess.h"

#include "tests/common/ChildProcess.h"
#include "tests/common/TempDir.h"

#include <stdlib.h>

#include <map>
#include <sstream>

namespace tulvo_test {

namespace {

// The debug log's Windows name (the script gives its Unix name), empty without one.
std::string DebugLogPath() {
    const char* const l_pc_Unix = getenv("TULVO_WINE_DEBUG_LOG");
    if (l_pc_Unix == nullptr || l_pc_Unix[0] != '/') {
        return "";
    }
    std::string l_x_Path = std::string("Z:") + l_pc_Unix;
    for (char& l_c : l_x_Path) {
        l_c = l_c == '/' ? '\\' : l_c;
    }
    return l_x_Path;
}

// The text of a wine debug string, L"..." with C escapes and \xxxx for other characters.
std::string UnescapeDebugString(const std::string& i_x_Quoted) {
    std::string l_x_Text;
    for (size_t l_st = 0; l_st < i_x_Quoted.size(); ++l_st) {
        char l_c = i_x_Quoted[l_st];
        if (l_c == '\\' && l_st + 1 < i_x_Quoted.size()) {
            l_c = i_x_Quoted[++l_st];
            if (l_c == 'n' || l_c == 'r' || l_c == 't') {
                l_c = l_c == 'n' ? '\n' : l_c == 'r' ? '\r' : '\t';
            } else if (isxdigit(static_cast<unsigned char>(l_c)) && l_st + 3 < i_x_Quoted.size()) {
                l_c = static_cast<char>(strtoul(i_x_Quoted.substr(l_st, 4).c_str(), nullptr, 16));
                l_st += 3;
            }
        }
        l_x_Text += l_c;
    }
    return l_x_Text;
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
    // The service alone gets the channels of its entries, each line with its process id.
    char l_ac_WineDebug[256] = "";
    const bool l_b_EventLog = HasEventLog();
    if (l_b_EventLog) {
        m_st_DebugLogStart = ReadFile(DebugLogPath()).size();
        GetEnvironmentVariableA("WINEDEBUG", l_ac_WineDebug, sizeof(l_ac_WineDebug));
        SetEnvironmentVariableA("WINEDEBUG", "+pid,-all,+eventlog,fixme+advapi");
    }
    const BOOL l_b_Started =
        CreateProcessA(nullptr, &l_x_Command[0], nullptr, nullptr, TRUE, 0, nullptr,
                       i_x_Directory.c_str(), &l_x_Startup, &m_x_Info);
    if (l_b_EventLog) {
        SetEnvironmentVariableA("WINEDEBUG", l_ac_WineDebug[0] != '\0' ? l_ac_WineDebug : nullptr);
    }
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

bool CServiceProcess::HasEventLog() {
    return !DebugLogPath().empty();
}

std::vector<CEventLogEntry> CServiceProcess::EventLogEntries() const {
    std::vector<CEventLogEntry> l_ax_Entries;
    const std::string l_x_Log = ReadFile(DebugLogPath());
    std::istringstream l_x_Lines(l_x_Log.substr(std::min(m_st_DebugLogStart, l_x_Log.size())));
    // The entry each thread is writing: its strings follow its advapi line.
    std::map<std::string, size_t> l_x_Current;
    std::string l_x_Line;
    while (std::getline(l_x_Lines, l_x_Line)) {
        // pid:tid:class:channel:function text
        std::istringstream l_x_Fields(l_x_Line);
        std::string l_x_Pid, l_x_Tid, l_x_Class, l_x_Channel, l_x_Rest;
        if (!std::getline(l_x_Fields, l_x_Pid, ':') || !std::getline(l_x_Fields, l_x_Tid, ':') ||
            !std::getline(l_x_Fields, l_x_Class, ':') ||
            !std::getline(l_x_Fields, l_x_Channel, ':') || !std::getline(l_x_Fields, l_x_Rest) ||
            strtoul(l_x_Pid.c_str(), nullptr, 16) != m_x_Info.dwProcessId) {
            continue;
        }
        if (l_x_Channel == "advapi" && l_x_Rest.rfind("ReportEventW (", 0) == 0) {
            // (handle,0xTYPE,0xCATEGORY,0xID,...
            std::istringstream l_x_Args(l_x_Rest.substr(14));
            std::string l_x_Handle, l_x_Type, l_x_Category, l_x_Id;
            std::getline(l_x_Args, l_x_Handle, ',');
            std::getline(l_x_Args, l_x_Type, ',');
            std::getline(l_x_Args, l_x_Category, ',');
            std::getline(l_x_Args, l_x_Id, ',');
            CEventLogEntry l_x_Entry;
            l_x_Entry.m_us_Type = static_cast<uint16_t>(strtoul(l_x_Type.c_str(), nullptr, 16));
            l_x_Entry.m_ul_EventId = static_cast<uint32_t>(strtoul(l_x_Id.c_str(), nullptr, 16));
            l_x_Current[l_x_Tid] = l_ax_Entries.size();
            l_ax_Entries.push_back(l_x_Entry);
        } else if (l_x_Channel == "eventlog" && l_x_Current.count(l_x_Tid) != 0) {
            const size_t l_st_Open = l_x_Rest.find("L\"");
            const size_t l_st_Close = l_x_Rest.rfind('"');
            if (l_st_Open != std::string::npos && l_st_Close > l_st_Open + 1) {
                CEventLogEntry& l_x_Entry = l_ax_Entries[l_x_Current[l_x_Tid]];
                l_x_Entry.m_x_Channel = l_x_Class;
                l_x_Entry.m_ax_Strings.push_back(UnescapeDebugString(
                    l_x_Rest.substr(l_st_Open + 2, l_st_Close - l_st_Open - 2)));
            }
        }
    }
    return l_ax_Entries;
}

bool CServiceProcess::WaitForEventLogEntry(uint32_t i_ul_EventId, size_t i_st_Strings,
                                           uint32_t i_ul_Timeout,
                                           CEventLogEntry* o_px_Entry) const {
    const ULONGLONG l_ull_End = GetTickCount64() + i_ul_Timeout;
    for (;;) {
        for (const CEventLogEntry& l_x_Entry : EventLogEntries()) {
            if (l_x_Entry.m_ul_EventId == i_ul_EventId &&
                l_x_Entry.m_ax_Strings.size() >= i_st_Strings) {
                if (o_px_Entry != nullptr) {
                    *o_px_Entry = l_x_Entry;
                }
                return true;
            }
        }
        if (GetTickCount64() > l_ull_End) {
            return false;
        }
        Sleep(20);
    }
}

} // namespace tulvo_test
