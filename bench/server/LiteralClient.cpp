#include "bench/server/LiteralClient.h"

#include "ipc/protocol/TulvoStatus.h"

#include <stdio.h>
#include <string.h>

namespace literal {

namespace {

uint32_t g_ul_Calls = 0;

DWORD KWait(DWORD i_ul_Count, const HANDLE* i_ph_Handles, DWORD i_ul_Timeout) {
    ++g_ul_Calls;
    return WaitForMultipleObjects(i_ul_Count, i_ph_Handles, FALSE, i_ul_Timeout);
}
bool KIsSet(HANDLE i_h_Handle) {
    return KWait(1, &i_h_Handle, 0) == WAIT_OBJECT_0;
}
void KSet(HANDLE i_h_Event) {
    ++g_ul_Calls;
    SetEvent(i_h_Event);
}
void KReset(HANDLE i_h_Event) {
    ++g_ul_Calls;
    ResetEvent(i_h_Event);
}
uint8_t* KMap(HANDLE i_h_Section, DWORD i_ul_Access) {
    ++g_ul_Calls;
    return static_cast<uint8_t*>(MapViewOfFile(i_h_Section, i_ul_Access, 0, 0, 0));
}
void KUnmap(uint8_t* i_puc_View) {
    ++g_ul_Calls;
    UnmapViewOfFile(i_puc_View);
}

uint32_t GetBe(const uint8_t* i_puc) {
    return (uint32_t(i_puc[0]) << 24) | (uint32_t(i_puc[1]) << 16) | (uint32_t(i_puc[2]) << 8) |
           uint32_t(i_puc[3]);
}
void PutBe(uint8_t* o_puc, uint32_t i_ul) {
    o_puc[0] = uint8_t(i_ul >> 24);
    o_puc[1] = uint8_t(i_ul >> 16);
    o_puc[2] = uint8_t(i_ul >> 8);
    o_puc[3] = uint8_t(i_ul);
}

bool RunningFails(const SChannel* i_px_Channel) {
    return i_px_Channel->m_h_Running != nullptr && !KIsSet(i_px_Channel->m_h_Running);
}

DWORD WaitSet(HANDLE (&o_ah_Set)[2], HANDLE i_h_Awaited, const SChannel* i_px_Channel) {
    DWORD l_ul_Count = 0;
    o_ah_Set[l_ul_Count++] = i_h_Awaited;
    if (i_px_Channel->m_h_Peer != nullptr) {
        o_ah_Set[l_ul_Count++] = i_px_Channel->m_h_Peer;
    }
    return l_ul_Count;
}

int32_t ReadChunks(SChannel* io_px_Channel, uint32_t i_ul_Offset, uint8_t* o_puc_Data,
                   uint32_t i_ul_Count, uint32_t i_ul_Timeout, bool i_b_Consume) {
    if (KIsSet(io_px_Channel->m_h_Outgoing)) {
        KReset(io_px_Channel->m_h_Outgoing);
    }
    HANDLE l_ah_Set[2];
    const DWORD l_ul_SetCount = WaitSet(l_ah_Set, io_px_Channel->m_h_Incoming, io_px_Channel);
    uint32_t l_ul_Done = 0;
    uint32_t l_ul_Offset = i_ul_Offset;
    int32_t l_i_Result = TULVO_OK;
    for (;;) {
        if (RunningFails(io_px_Channel)) {
            l_i_Result = TULVO_TS_SERVER_NOT_RUNNING;
            break;
        }
        const DWORD l_ul_Wait = KWait(l_ul_SetCount, l_ah_Set, i_ul_Timeout);
        KReset(io_px_Channel->m_h_Outgoing);
        if (l_ul_Wait == WAIT_TIMEOUT) {
            l_i_Result = TULVO_TS_TIMEOUT;
            break;
        }
        if (l_ul_Wait != WAIT_OBJECT_0) {
            l_i_Result = TULVO_TS_PEER_LOST;
            break;
        }
        const uint32_t l_ul_Room = io_px_Channel->m_ul_SectionSize - 4 - l_ul_Offset;
        const uint32_t l_ul_Chunk =
            i_ul_Count - l_ul_Done < l_ul_Room ? i_ul_Count - l_ul_Done : l_ul_Room;
        uint8_t* const l_puc_View =
            KMap(io_px_Channel->m_h_Section, FILE_MAP_READ | FILE_MAP_WRITE);
        if (l_puc_View == nullptr) {
            l_i_Result = TULVO_TS_CHANNEL_ERROR;
            break;
        }
        memcpy(o_puc_Data + l_ul_Done, l_puc_View + 4 + l_ul_Offset, l_ul_Chunk);
        if (i_b_Consume) {
            memset(l_puc_View + 4 + l_ul_Offset, 0, l_ul_Chunk);
        }
        KUnmap(l_puc_View);
        l_ul_Done += l_ul_Chunk;
        if (l_ul_Done >= i_ul_Count) {
            break;
        }
        KReset(io_px_Channel->m_h_Incoming);
        KSet(io_px_Channel->m_h_Outgoing);
        l_ul_Offset = 0;
    }
    if (i_b_Consume) {
        KReset(io_px_Channel->m_h_Incoming);
    }
    return l_i_Result;
}

HANDLE Widen(const uint8_t* i_puc) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(GetBe(i_puc)));
}

} // namespace

uint32_t KernelCalls() {
    return g_ul_Calls;
}

int32_t PublicConnect(const char* i_pc_BaseName, SChannel* o_px_Channel) {
    char l_ac_Name[64];
    snprintf(l_ac_Name, sizeof(l_ac_Name), "Global\\%s:Running", i_pc_BaseName);
    o_px_Channel->m_h_Running = OpenEventA(0x00100002, FALSE, l_ac_Name);
    snprintf(l_ac_Name, sizeof(l_ac_Name), "Global\\%s:Send", i_pc_BaseName);
    o_px_Channel->m_h_Incoming = OpenEventA(0x00100002, FALSE, l_ac_Name);
    snprintf(l_ac_Name, sizeof(l_ac_Name), "Global\\%s:Recv", i_pc_BaseName);
    o_px_Channel->m_h_Outgoing = OpenEventA(0x00100002, FALSE, l_ac_Name);
    snprintf(l_ac_Name, sizeof(l_ac_Name), "Global\\%s:Mfile", i_pc_BaseName);
    o_px_Channel->m_h_Section = OpenFileMappingA(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, l_ac_Name);
    snprintf(l_ac_Name, sizeof(l_ac_Name), "Global\\%s:Lock", i_pc_BaseName);
    o_px_Channel->m_h_Lock = OpenMutexA(SYNCHRONIZE, FALSE, l_ac_Name);
    if (o_px_Channel->m_h_Incoming == nullptr || o_px_Channel->m_h_Outgoing == nullptr ||
        o_px_Channel->m_h_Section == nullptr) {
        Close(o_px_Channel);
        return TULVO_TS_SERVER_NOT_RUNNING;
    }
    uint8_t* const l_puc_View = KMap(o_px_Channel->m_h_Section, FILE_MAP_READ);
    if (l_puc_View != nullptr) {
        o_px_Channel->m_ul_SectionSize = GetBe(l_puc_View);
        KUnmap(l_puc_View);
    }
    return TULVO_OK;
}

int32_t Lock(SChannel* io_px_Channel, uint32_t i_ul_Timeout) {
    if (io_px_Channel->m_h_Lock == nullptr) {
        return TULVO_OK;
    }
    DWORD l_ul_Wait = WaitForSingleObject(io_px_Channel->m_h_Lock, i_ul_Timeout);
    if (l_ul_Wait == WAIT_ABANDONED) {
        l_ul_Wait = WaitForSingleObject(io_px_Channel->m_h_Lock, i_ul_Timeout);
        if (l_ul_Wait == WAIT_OBJECT_0) {
            ReleaseMutex(io_px_Channel->m_h_Lock);
        }
    }
    return l_ul_Wait == WAIT_OBJECT_0 ? TULVO_OK : TULVO_TS_TIMEOUT;
}

void Unlock(SChannel* io_px_Channel) {
    if (io_px_Channel->m_h_Lock != nullptr) {
        ReleaseMutex(io_px_Channel->m_h_Lock);
    }
}

int32_t AcquirePrivate(SChannel* io_px_Public, SChannel* o_px_Private, uint32_t i_ul_Timeout) {
    uint8_t l_auc_Request[15] = {0x00, 0x00, 0x07};
    PutBe(l_auc_Request + 3, GetCurrentProcessId());
    int32_t l_i_Status = Write(io_px_Public, l_auc_Request, sizeof(l_auc_Request), i_ul_Timeout);
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    Sleep(0);
    l_i_Status = WaitData(io_px_Public, i_ul_Timeout);
    uint32_t l_ul_Length = 0;
    if (l_i_Status == TULVO_OK) {
        l_i_Status = ReadLenData(io_px_Public, &l_ul_Length, i_ul_Timeout);
    }
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    if (l_ul_Length > 64) {
        return TULVO_TS_CHANNEL_ERROR;
    }
    uint8_t l_auc_Reply[64];
    l_i_Status = ReadData(io_px_Public, l_auc_Reply, l_ul_Length, i_ul_Timeout);
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    if (l_ul_Length != 24) {
        return TULVO_TS_CHANNEL_ERROR;
    }
    o_px_Private->m_h_Peer = Widen(l_auc_Reply + 0);
    o_px_Private->m_h_Running = Widen(l_auc_Reply + 4);
    o_px_Private->m_h_Incoming = Widen(l_auc_Reply + 8);
    o_px_Private->m_h_Outgoing = Widen(l_auc_Reply + 12);
    o_px_Private->m_h_Section = Widen(l_auc_Reply + 16);
    o_px_Private->m_ul_SectionSize = GetBe(l_auc_Reply + 20);
    o_px_Private->m_h_Lock = CreateMutexA(nullptr, FALSE, nullptr);
    return TULVO_OK;
}

void Close(SChannel* io_px_Channel) {
    for (HANDLE* l_ph : {&io_px_Channel->m_h_Lock, &io_px_Channel->m_h_Peer,
                         &io_px_Channel->m_h_Running, &io_px_Channel->m_h_Incoming,
                         &io_px_Channel->m_h_Outgoing, &io_px_Channel->m_h_Section}) {
        if (*l_ph != nullptr) {
            CloseHandle(*l_ph);
            *l_ph = nullptr;
        }
    }
}

int32_t Write(SChannel* io_px_Channel, const uint8_t* i_puc_Data, uint32_t i_ul_Length,
              uint32_t i_ul_Timeout) {
    HANDLE l_ah_Set[2];
    const DWORD l_ul_SetCount = WaitSet(l_ah_Set, io_px_Channel->m_h_Incoming, io_px_Channel);
    if (KIsSet(io_px_Channel->m_h_Incoming)) {
        KReset(io_px_Channel->m_h_Incoming);
    }
    if (KIsSet(io_px_Channel->m_h_Outgoing)) {
        KReset(io_px_Channel->m_h_Outgoing);
    }
    uint32_t l_ul_Header = 4;
    uint32_t l_ul_Done = 0;
    for (;;) {
        if (RunningFails(io_px_Channel)) {
            return TULVO_TS_SERVER_NOT_RUNNING;
        }
        if (io_px_Channel->m_h_Peer != nullptr && KIsSet(io_px_Channel->m_h_Peer)) {
            return TULVO_TS_PEER_LOST;
        }
        const uint32_t l_ul_Room = io_px_Channel->m_ul_SectionSize - 4 - l_ul_Header;
        const uint32_t l_ul_Chunk =
            i_ul_Length - l_ul_Done < l_ul_Room ? i_ul_Length - l_ul_Done : l_ul_Room;
        uint8_t* const l_puc_View = KMap(io_px_Channel->m_h_Section, FILE_MAP_WRITE);
        if (l_puc_View == nullptr) {
            return TULVO_TS_CHANNEL_ERROR;
        }
        if (l_ul_Header != 0) {
            PutBe(l_puc_View + 4, i_ul_Length);
        }
        memcpy(l_puc_View + 4 + l_ul_Header, i_puc_Data + l_ul_Done, l_ul_Chunk);
        KUnmap(l_puc_View);
        l_ul_Done += l_ul_Chunk;
        KSet(io_px_Channel->m_h_Outgoing);
        if (l_ul_Done >= i_ul_Length) {
            return TULVO_OK;
        }
        const DWORD l_ul_Wait = KWait(l_ul_SetCount, l_ah_Set, i_ul_Timeout);
        KReset(io_px_Channel->m_h_Outgoing);
        KReset(io_px_Channel->m_h_Incoming);
        if (l_ul_Wait == WAIT_TIMEOUT) {
            return TULVO_TS_TIMEOUT;
        }
        if (l_ul_Wait != WAIT_OBJECT_0) {
            return TULVO_TS_PEER_LOST;
        }
        l_ul_Header = 0;
    }
}

int32_t WaitData(SChannel* io_px_Channel, uint32_t i_ul_Timeout) {
    if (RunningFails(io_px_Channel)) {
        return TULVO_TS_SERVER_NOT_RUNNING;
    }
    HANDLE l_ah_Set[2];
    const DWORD l_ul_Count = WaitSet(l_ah_Set, io_px_Channel->m_h_Incoming, io_px_Channel);
    for (;;) {
        ++g_ul_Calls;
        const DWORD l_ul_Wait =
            MsgWaitForMultipleObjects(l_ul_Count, l_ah_Set, FALSE, i_ul_Timeout, QS_ALLINPUT);
        if (l_ul_Wait == WAIT_OBJECT_0) {
            return TULVO_OK;
        }
        if (l_ul_Wait == WAIT_TIMEOUT) {
            return TULVO_TS_TIMEOUT;
        }
        if (l_ul_Wait != WAIT_OBJECT_0 + l_ul_Count) {
            return TULVO_TS_PEER_LOST;
        }
        MSG l_x_Message;
        while (PeekMessageA(&l_x_Message, nullptr, 0, 0, PM_REMOVE)) {
            if (l_x_Message.message == WM_QUIT) {
                return 1;
            }
            DispatchMessageA(&l_x_Message);
        }
    }
}

int32_t ReadLenData(SChannel* io_px_Channel, uint32_t* o_pul_Length, uint32_t i_ul_Timeout) {
    uint8_t l_auc_Length[4];
    const int32_t l_i_Status = ReadChunks(io_px_Channel, 0, l_auc_Length, 4, i_ul_Timeout, false);
    *o_pul_Length = l_i_Status == TULVO_OK ? GetBe(l_auc_Length) : 0;
    return l_i_Status;
}

int32_t ReadData(SChannel* io_px_Channel, uint8_t* o_puc_Data, uint32_t i_ul_Length,
                 uint32_t i_ul_Timeout) {
    return ReadChunks(io_px_Channel, 4, o_puc_Data, i_ul_Length, i_ul_Timeout, true);
}

int32_t Exchange(SChannel* io_px_Channel, const std::vector<uint8_t>& i_x_Request,
                 std::vector<uint8_t>* o_px_Response, uint32_t i_ul_Timeout) {
    int32_t l_i_Status = Write(io_px_Channel, i_x_Request.data(),
                               static_cast<uint32_t>(i_x_Request.size()), i_ul_Timeout);
    if (l_i_Status == TULVO_OK) {
        l_i_Status = WaitData(io_px_Channel, i_ul_Timeout);
    }
    uint32_t l_ul_Length = 0;
    if (l_i_Status == TULVO_OK) {
        l_i_Status = ReadLenData(io_px_Channel, &l_ul_Length, i_ul_Timeout);
    }
    if (l_i_Status == TULVO_OK) {
        o_px_Response->resize(l_ul_Length);
        l_i_Status = ReadData(io_px_Channel, o_px_Response->data(), l_ul_Length, i_ul_Timeout);
    }
    return l_i_Status;
}

} // namespace literal
