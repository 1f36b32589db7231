#include "tests/ipc/toolshare/ToolShareTestSupport.h"

#include "ipc/protocol/TulvoStatus.h"

#include <atomic>
#include <stdio.h>
#include <string.h>
#include <thread>

namespace tstest {

std::string UniqueBaseName(const char* i_pc_Tag) {
    // Process ids come back quickly under wine, so the id alone could meet the objects of an
    // earlier test's peer that still runs; the start time of this process tells them apart.
    static const unsigned long long s_ull_Start = GetTickCount64();
    static std::atomic<int> s_i_Counter{0};
    char l_ac_Name[64];
    snprintf(l_ac_Name, sizeof(l_ac_Name), "Ts%lu_%llx_%s_%d",
             static_cast<unsigned long>(GetCurrentProcessId()), s_ull_Start, i_pc_Tag,
             ++s_i_Counter);
    return l_ac_Name;
}

bool IsClosed(const ToolShare_Channel& i_x_Channel) {
    const ToolShare_Channel l_x_Zero = {};
    return memcmp(&l_x_Zero, &i_x_Channel, sizeof(l_x_Zero)) == 0;
}

int32_t ReadMessage(ToolShare_Channel* io_px_Channel, std::vector<uint8_t>* o_px_Message,
                    HANDLE i_h_Cancel, uint32_t i_ul_Timeout) {
    int32_t l_i_Status = ToolShare_WaitData(io_px_Channel, i_h_Cancel, i_ul_Timeout);
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    uint32_t l_ul_Length = 0;
    l_i_Status = ToolShare_ReadLenData(io_px_Channel, &l_ul_Length, i_h_Cancel, i_ul_Timeout);
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    o_px_Message->assign(l_ul_Length, 0);
    return ToolShare_ReadData(io_px_Channel, o_px_Message->data(), l_ul_Length, i_h_Cancel,
                              i_ul_Timeout);
}

int32_t WriteMessage(ToolShare_Channel* io_px_Channel, const std::vector<uint8_t>& i_x_Message,
                     HANDLE i_h_Cancel, uint32_t i_ul_Timeout) {
    return ToolShare_WriteLenDataAndData(io_px_Channel, i_x_Message.data(),
                                         static_cast<uint32_t>(i_x_Message.size()), i_h_Cancel,
                                         i_ul_Timeout);
}

size_t CountHandlesIn(HANDLE i_h_Process) {
    // Handle values are multiples of four; a small test process stays far below this bound.
    size_t l_st_Count = 0;
    for (uintptr_t l_ul_Value = 4; l_ul_Value < 0x4000; l_ul_Value += 4) {
        HANDLE l_h_Copy = nullptr;
        if (DuplicateHandle(i_h_Process, reinterpret_cast<HANDLE>(l_ul_Value), GetCurrentProcess(),
                            &l_h_Copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
            CloseHandle(l_h_Copy);
            ++l_st_Count;
        }
    }
    return l_st_Count;
}

size_t CountViewsOfSize(size_t i_st_Size) {
    size_t l_st_Count = 0;
    MEMORY_BASIC_INFORMATION l_x_Info;
    const uint8_t* l_puc_At = nullptr;
    while (VirtualQuery(l_puc_At, &l_x_Info, sizeof(l_x_Info)) == sizeof(l_x_Info)) {
        if (l_x_Info.Type == MEM_MAPPED && l_x_Info.BaseAddress == l_x_Info.AllocationBase &&
            l_x_Info.RegionSize == i_st_Size) {
            ++l_st_Count;
        }
        const uint8_t* l_puc_Next =
            static_cast<const uint8_t*>(l_x_Info.BaseAddress) + l_x_Info.RegionSize;
        if (l_puc_Next <= l_puc_At) {
            break;
        }
        l_puc_At = l_puc_Next;
    }
    return l_st_Count;
}

bool WaitForKernelCalls(uint32_t i_ul_Before, uint32_t i_ul_Calls) {
    DWORD l_ul_Start = GetTickCount();
    while (ToolShare_GetKernelCallCount() - i_ul_Before < i_ul_Calls) {
        if (GetTickCount() - l_ul_Start > WAIT_LIMIT_MS) {
            return false;
        }
        Sleep(1);
    }
    return true;
}

void WriteFirstChunkOnly(ToolShare_Channel* io_px_Channel, uint32_t i_ul_Length) {
    uint8_t* l_puc_View = static_cast<uint8_t*>(
        MapViewOfFile(io_px_Channel->m_h_Section, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
    if (l_puc_View == nullptr) {
        return;
    }
    ResetEvent(io_px_Channel->m_h_Incoming);
    tulvo_test::PutBe32(l_puc_View + 4, i_ul_Length);
    memset(l_puc_View + 8, 0x5A, io_px_Channel->m_ul_SectionSize - 8);
    UnmapViewOfFile(l_puc_View);
    SetEvent(io_px_Channel->m_h_Outgoing);
}

int32_t EchoLoop(ToolShare_Channel* io_px_Channel, ToolShare_Channel* io_px_PublicToStop,
                 HANDLE i_h_Cancel) {
    for (;;) {
        std::vector<uint8_t> l_x_Message;
        int32_t l_i_Status = ReadMessage(io_px_Channel, &l_x_Message, i_h_Cancel, INFINITE);
        if (l_i_Status != TULVO_OK) {
            return l_i_Status;
        }
        std::string l_x_Text(l_x_Message.begin(), l_x_Message.end());
        if (l_x_Text == "exit") {
            ExitProcess(0);
        }
        if (l_x_Text == "stall") {
            Sleep(INFINITE);
        }
        if (l_x_Text == "half") {
            WriteFirstChunkOnly(io_px_Channel, io_px_Channel->m_ul_SectionSize * 3);
            Sleep(INFINITE);
        }
        if (l_x_Text == "stop" && io_px_PublicToStop != nullptr) {
            ResetEvent(io_px_PublicToStop->m_h_Running);
        }
        l_i_Status = WriteMessage(io_px_Channel, l_x_Message, i_h_Cancel, WAIT_LIMIT_MS);
        if (l_i_Status != TULVO_OK) {
            return l_i_Status;
        }
    }
}

int32_t ServePublic(const ToolShare_Param* i_px_Param, ToolShare_Channel* io_px_Public,
                    HANDLE i_h_Cancel) {
    for (;;) {
        std::vector<uint8_t> l_x_Request;
        int32_t l_i_Status = ReadMessage(io_px_Public, &l_x_Request, i_h_Cancel, INFINITE);
        if (l_i_Status != TULVO_OK) {
            return l_i_Status;
        }
        if (ToolShareSrv_IsPrivateConnectRequest(
                l_x_Request.data(), static_cast<uint32_t>(l_x_Request.size())) == TULVO_OK) {
            auto* l_px_Private = new ToolShare_Channel();
            l_i_Status = ToolShareSrv_CreatePrivateConnect(
                i_px_Param, l_px_Private, io_px_Public, l_x_Request.data(),
                static_cast<uint32_t>(l_x_Request.size()), i_h_Cancel, 1000);
            if (l_i_Status != TULVO_OK) {
                delete l_px_Private;
                uint8_t l_auc_Status[7] = {0, 0, 7, 0xFF, 0xFF, 0xFF, 0xFF};
                l_i_Status = ToolShare_WriteLenDataAndData(io_px_Public, l_auc_Status, 7,
                                                           i_h_Cancel, WAIT_LIMIT_MS);
            } else {
                std::thread([l_px_Private, io_px_Public] {
                    EchoLoop(l_px_Private, io_px_Public, nullptr);
                    ToolShare_Close(l_px_Private);
                    delete l_px_Private;
                }).detach();
            }
        } else {
            l_i_Status = WriteMessage(io_px_Public, l_x_Request, i_h_Cancel, WAIT_LIMIT_MS);
        }
        if (l_i_Status != TULVO_OK) {
            return l_i_Status;
        }
    }
}

int32_t WaitForPublicChannel(const ToolShare_Param* i_px_Param, ToolShare_Channel* o_px_Public) {
    DWORD l_ul_Start = GetTickCount();
    for (;;) {
        *o_px_Public = ToolShare_Channel();
        int32_t l_i_Status = ToolShareClt_PublicConnect(i_px_Param, o_px_Public);
        if (l_i_Status == TULVO_OK && ToolShareClt_ServerOK(o_px_Public) == TULVO_OK) {
            return TULVO_OK;
        }
        ToolShare_Close(o_px_Public);
        if (GetTickCount() - l_ul_Start > WAIT_LIMIT_MS) {
            return l_i_Status != TULVO_OK ? l_i_Status : TULVO_TS_SERVER_NOT_RUNNING;
        }
        Sleep(10);
    }
}

int32_t ConnectPrivate(const ToolShare_Param* i_px_Param, ToolShare_Channel* o_px_Public,
                       ToolShare_Channel* o_px_Private) {
    int32_t l_i_Status = WaitForPublicChannel(i_px_Param, o_px_Public);
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    l_i_Status = ToolShareClt_Lock(o_px_Public, WAIT_LIMIT_MS);
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    l_i_Status = ToolShareClt_AcquirePrivateConnect(i_px_Param, o_px_Private, o_px_Public, nullptr,
                                                    WAIT_LIMIT_MS);
    ToolShareClt_Unlock(o_px_Public);
    return l_i_Status;
}

CPeerProcess::~CPeerProcess() {
    Kill();
}

bool CPeerProcess::Start(const std::string& i_x_Arguments) {
    char l_ac_Path[MAX_PATH];
    DWORD l_ul_Length = GetModuleFileNameA(nullptr, l_ac_Path, MAX_PATH);
    std::string l_x_Dir(l_ac_Path, l_ul_Length);
    l_x_Dir.resize(l_x_Dir.find_last_of("\\/") + 1);
    std::string l_x_Command = "\"" + l_x_Dir + "toolshare_peer.exe\" " + i_x_Arguments;
    // The child gets NUL as its standard handles, never the test's output: a peer that
    // outlived the test by a moment would otherwise keep the test runner's pipe open.
    SECURITY_ATTRIBUTES l_x_Inherit = {sizeof(l_x_Inherit), nullptr, TRUE};
    HANDLE l_h_Null =
        CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &l_x_Inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA l_x_Startup = {};
    l_x_Startup.cb = sizeof(l_x_Startup);
    l_x_Startup.dwFlags = STARTF_USESTDHANDLES;
    l_x_Startup.hStdInput = l_h_Null;
    l_x_Startup.hStdOutput = l_h_Null;
    l_x_Startup.hStdError = l_h_Null;
    bool l_b_Started = CreateProcessA(nullptr, &l_x_Command[0], nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &l_x_Startup, &m_x_Info) != FALSE;
    if (l_h_Null != INVALID_HANDLE_VALUE) {
        CloseHandle(l_h_Null);
    }
    return l_b_Started;
}

void CPeerProcess::Kill() {
    if (m_x_Info.hProcess != nullptr) {
        TerminateProcess(m_x_Info.hProcess, 9);
        WaitForSingleObject(m_x_Info.hProcess, WAIT_LIMIT_MS);
        CloseHandle(m_x_Info.hProcess);
        CloseHandle(m_x_Info.hThread);
        m_x_Info = PROCESS_INFORMATION{};
    }
}

DWORD CPeerProcess::WaitForExit(uint32_t i_ul_Timeout) {
    DWORD l_ul_Code = STILL_ACTIVE;
    if (m_x_Info.hProcess != nullptr &&
        WaitForSingleObject(m_x_Info.hProcess, i_ul_Timeout) == WAIT_OBJECT_0) {
        GetExitCodeProcess(m_x_Info.hProcess, &l_ul_Code);
    }
    return l_ul_Code;
}

} // namespace tstest
