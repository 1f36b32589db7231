#include "tests/ipc/client/StandInSupport.h"

#include <algorithm>
#include <fstream>
#include <stdio.h>

namespace clitest {

std::string Hex(const void* i_pv_Bytes, size_t i_ul_Length) {
    std::string l_x_Text;
    char l_ac_Byte[3];
    for (size_t l_ul_Index = 0; l_ul_Index < i_ul_Length; ++l_ul_Index) {
        snprintf(l_ac_Byte, sizeof(l_ac_Byte), "%02X",
                 static_cast<const uint8_t*>(i_pv_Bytes)[l_ul_Index]);
        l_x_Text += l_ac_Byte;
    }
    return l_x_Text;
}

std::string Hex(const std::string& i_x_Text) {
    return Hex(i_x_Text.data(), i_x_Text.size());
}

CStandIn::~CStandIn() {
    m_x_Process.Kill();
    if (!m_x_LogPath.empty()) {
        DeleteFileA(m_x_LogPath.c_str());
    }
}

bool CStandIn::Start(const std::string& i_x_Arguments, const std::string& i_x_Name) {
    // Process ids come back quickly under wine; the tick count keeps names of a reused id apart.
    static int s_i_Counter = 0;
    char l_ac_Name[64];
    snprintf(l_ac_Name, sizeof(l_ac_Name), "Tc%lu_%llx_%d",
             static_cast<unsigned long>(GetCurrentProcessId()),
             static_cast<unsigned long long>(GetTickCount64()), ++s_i_Counter);
    m_x_Name = i_x_Name.empty() ? std::string(l_ac_Name) : i_x_Name;
    char l_ac_Temp[MAX_PATH];
    GetTempPathA(sizeof(l_ac_Temp), l_ac_Temp);
    m_x_LogPath = std::string(l_ac_Temp) + l_ac_Name + ".log";
    DeleteFileA(m_x_LogPath.c_str());
    const std::string l_x_Command = "\"" + tulvo_test::BinDirectory() +
                                    "tulvo_standin.exe\" --name " + m_x_Name + " --log \"" +
                                    m_x_LogPath + "\" " + i_x_Arguments;
    return m_x_Process.Start(l_x_Command, "") && m_x_Process.WaitForOutput("ready", WAIT_LIMIT_MS);
}

std::vector<std::string> CStandIn::Lines() const {
    std::vector<std::string> l_ax_Lines;
    std::ifstream l_x_File(m_x_LogPath);
    std::string l_x_Line;
    while (std::getline(l_x_File, l_x_Line)) {
        if (!l_x_Line.empty() && l_x_Line.back() == '\r') {
            l_x_Line.pop_back();
        }
        l_ax_Lines.push_back(l_x_Line);
    }
    return l_ax_Lines;
}

std::vector<std::string> CStandIn::Requests(const std::string& i_x_Channel) const {
    std::vector<std::string> l_ax_Requests;
    const std::string l_x_Prefix = i_x_Channel + " ";
    for (const std::string& l_x_Line : Lines()) {
        const std::string l_x_Rest = l_x_Line.substr(std::min(l_x_Line.size(), l_x_Prefix.size()));
        if (l_x_Line.compare(0, l_x_Prefix.size(), l_x_Prefix) == 0 && !l_x_Rest.empty() &&
            l_x_Rest.find_first_not_of("0123456789ABCDEF") == std::string::npos) {
            l_ax_Requests.push_back(l_x_Rest);
        }
    }
    return l_ax_Requests;
}

bool CStandIn::HasLine(const std::string& i_x_Line) const {
    const std::vector<std::string> l_ax_Lines = Lines();
    return std::find(l_ax_Lines.begin(), l_ax_Lines.end(), i_x_Line) != l_ax_Lines.end();
}

bool CStandIn::WaitForLine(const std::string& i_x_Line) const {
    const ULONGLONG l_ull_End = GetTickCount64() + WAIT_LIMIT_MS;
    while (!HasLine(i_x_Line)) {
        if (GetTickCount64() > l_ull_End) {
            return false;
        }
        Sleep(5);
    }
    return true;
}

} // namespace clitest
