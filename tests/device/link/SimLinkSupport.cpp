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

int NextComNumber() {
    const char* l_pc_Base = getenv("TULVO_SIM_COM_BASE");
    return (l_pc_Base != nullptr ? atoi(l_pc_Base) : 40) + g_i_NextCom++;
}

} // namespace tulvo_test
