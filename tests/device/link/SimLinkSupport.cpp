#include "tests/device/link/SimLinkSupport.h"

#include "service/TraceLog.h"

#include <ws2tcpip.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <sstream>

namespace tulvo_test {

namespace {

std::mutex g_x_LogLock;
std::string g_x_Log;

void CaptureLine(const char* i_pc_Line) {
    // Lines come as "%09ld %08X <text>": keep the text only.
    const char* l_pc_Text = i_pc_Line;
    for (int l_i_Field = 0; l_i_Field < 2 && l_pc_Text != nullptr; ++l_i_Field) {
        l_pc_Text = strchr(l_pc_Text, ' ');
        if (l_pc_Text != nullptr) {
            ++l_pc_Text;
        }
    }
    std::lock_guard<std::mutex> l_x_Guard(g_x_LogLock);
    g_x_Log += l_pc_Text != nullptr ? l_pc_Text : i_pc_Line;
}

std::atomic<int> g_i_NextCom{0};

} // namespace

CSimControl::~CSimControl() {
    if (m_x_Socket != INVALID_SOCKET) {
        closesocket(m_x_Socket);
    }
}

bool CSimControl::Connect() {
    const char* l_pc_Port = getenv("TULVO_SIM_PORT");
    if (l_pc_Port == nullptr) {
        return false;
    }
    WSADATA l_x_Data;
    if (WSAStartup(MAKEWORD(2, 2), &l_x_Data) != 0) {
        return false;
    }
    m_x_Socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (m_x_Socket == INVALID_SOCKET) {
        return false;
    }
    sockaddr_in l_x_Addr;
    memset(&l_x_Addr, 0, sizeof(l_x_Addr));
    l_x_Addr.sin_family = AF_INET;
    l_x_Addr.sin_port = htons(static_cast<u_short>(atoi(l_pc_Port)));
    l_x_Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int l_i_One = 1;
    setsockopt(m_x_Socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&l_i_One),
               sizeof(l_i_One));
    return connect(m_x_Socket, reinterpret_cast<sockaddr*>(&l_x_Addr), sizeof(l_x_Addr)) == 0;
}

std::string CSimControl::Command(const std::string& i_x_Line) {
    const std::string l_x_Out = i_x_Line + "\n";
    if (send(m_x_Socket, l_x_Out.data(), static_cast<int>(l_x_Out.size()), 0) !=
        static_cast<int>(l_x_Out.size())) {
        return "err send";
    }
    for (;;) {
        const size_t l_st_End = m_x_Pending.find('\n');
        if (l_st_End != std::string::npos) {
            std::string l_x_Answer = m_x_Pending.substr(0, l_st_End);
            m_x_Pending.erase(0, l_st_End + 1);
            return l_x_Answer;
        }
        char l_ac_Buffer[512];
        const int l_i_Got = recv(m_x_Socket, l_ac_Buffer, sizeof(l_ac_Buffer), 0);
        if (l_i_Got <= 0) {
            return "err recv";
        }
        m_x_Pending.append(l_ac_Buffer, static_cast<size_t>(l_i_Got));
    }
}

long long CSimControl::Stat(const std::string& i_x_Sensor, const std::string& i_x_Field) {
    std::istringstream l_x_In(Command("stats " + i_x_Sensor));
    for (std::string l_x_Word; l_x_In >> l_x_Word;) {
        if (l_x_Word.compare(0, i_x_Field.size() + 1, i_x_Field + "=") == 0) {
            return atoll(l_x_Word.c_str() + i_x_Field.size() + 1);
        }
    }
    return -1;
}

void CRecordingOwner::HandleSendBackError() {
    std::lock_guard<std::mutex> l_x_Guard(m_x_Lock);
    ++m_i_ErrorNotices;
}

int CRecordingOwner::ErrorNotices() {
    std::lock_guard<std::mutex> l_x_Guard(m_x_Lock);
    return m_i_ErrorNotices;
}

CLogCapture::CLogCapture() {
    Clear();
    TraceLog_Seams l_x_Seams = {nullptr, nullptr, CaptureLine, nullptr};
    TraceLog_SetSeams(&l_x_Seams);
    TraceLog_Enable(TRACELOG_BASENAME);
}

CLogCapture::~CLogCapture() {
    TraceLog_Disable();
    TraceLog_SetSeams(nullptr);
}

std::string CLogCapture::Text() {
    std::lock_guard<std::mutex> l_x_Guard(g_x_LogLock);
    return g_x_Log;
}

void CLogCapture::Clear() {
    std::lock_guard<std::mutex> l_x_Guard(g_x_LogLock);
    g_x_Log.clear();
}

int CLogCapture::Count(const std::string& i_x_Text) {
    const std::string l_x_Log = Text();
    int l_i_Count = 0;
    for (size_t l_st_At = l_x_Log.find(i_x_Text); l_st_At != std::string::npos;
         l_st_At = l_x_Log.find(i_x_Text, l_st_At + 1)) {
        ++l_i_Count;
    }
    return l_i_Count;
}

int NextComNumber() {
    const char* l_pc_Base = getenv("TULVO_SIM_COM_BASE");
    return (l_pc_Base != nullptr ? atoi(l_pc_Base) : 40) + g_i_NextCom++;
}

std::vector<uint8_t> Pattern(size_t i_st_Size, uint32_t i_ul_Seed) {
    std::vector<uint8_t> l_x_Bytes(i_st_Size);
    uint32_t l_ul_State = i_ul_Seed * 2654435761u + 1;
    for (uint8_t& l_uc_Byte : l_x_Bytes) {
        l_ul_State = l_ul_State * 1103515245u + 12345u;
        l_uc_Byte = static_cast<uint8_t>(l_ul_State >> 16);
    }
    return l_x_Bytes;
}

} // namespace tulvo_test
