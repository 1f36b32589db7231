// The table of private channel slots and its one lock (the ownership rule is in
// GestIpcServer.h), and the servers' test seam.
#include "ipc/server/GestIpcServer.h"

#include "ipc/protocol/TulvoStatus.h"
#include "service/TraceLog.h"

namespace {

SRWLOCK g_x_SlotLock = SRWLOCK_INIT;
GestIpcPrivate_Slot g_apv_Slots[GESTIPC_PRIVATE_SLOT_COUNT];
// The client process of each taken slot, for the limit per process; kept with the slot under
// the lock, since the channel's own record is its thread's.
uint32_t g_aul_SlotProcess[GESTIPC_PRIVATE_SLOT_COUNT];

SRWLOCK g_x_SeamLock = SRWLOCK_INIT;
GestIpcServer_Seams g_x_Seams = {nullptr, nullptr, 0, nullptr};

class CSlotLock {
public:
    CSlotLock() { AcquireSRWLockExclusive(&g_x_SlotLock); }
    ~CSlotLock() { ReleaseSRWLockExclusive(&g_x_SlotLock); }
    CSlotLock(const CSlotLock&) = delete;
    CSlotLock& operator=(const CSlotLock&) = delete;
};

GestIpcServer_Seams CurrentSeams() {
    AcquireSRWLockShared(&g_x_SeamLock);
    const GestIpcServer_Seams l_x_Seams = g_x_Seams;
    ReleaseSRWLockShared(&g_x_SeamLock);
    return l_x_Seams;
}

} // namespace

GestIpcPrivate_Slot* GestIpcSlots_Get(int32_t i_i_Index) {
    if (i_i_Index < 0 || i_i_Index >= GESTIPC_PRIVATE_SLOT_COUNT) {
        return nullptr;
    }
    return &g_apv_Slots[i_i_Index];
}

int32_t GestIpcSlots_Take(GestIpcPrivate_Channel* i_px_Ipc, uint32_t i_ul_ProcessId,
                          GestIpcPrivate_Slot** o_ppv_Slot) {
    *o_ppv_Slot = nullptr;
    CSlotLock l_x_Lock;
    int32_t l_i_Free = -1;
    int32_t l_i_OfProcess = 0;
    for (int32_t l_i_Index = 0; l_i_Index < GESTIPC_PRIVATE_SLOT_COUNT; ++l_i_Index) {
        if (g_apv_Slots[l_i_Index] == nullptr) {
            l_i_Free = l_i_Free < 0 ? l_i_Index : l_i_Free;
        } else if (g_aul_SlotProcess[l_i_Index] == i_ul_ProcessId) {
            ++l_i_OfProcess;
        }
    }
    if (l_i_Free < 0 || l_i_OfProcess >= GESTIPC_CHANNELS_PER_PROCESS) {
        return TULVO_TOO_MANY_CHANNELS;
    }
    g_apv_Slots[l_i_Free] = i_px_Ipc;
    g_aul_SlotProcess[l_i_Free] = i_ul_ProcessId;
    *o_ppv_Slot = &g_apv_Slots[l_i_Free];
    return TULVO_OK;
}

void GestIpcSlots_GiveUp(GestIpcPrivate_Slot* io_ppv_Slot) {
    CSlotLock l_x_Lock;
    *io_ppv_Slot = nullptr;
    g_aul_SlotProcess[io_ppv_Slot - g_apv_Slots] = 0;
}

GestIpcPrivate_Channel* GestIpcSlots_Record(GestIpcPrivate_Slot* i_ppv_Slot) {
    return static_cast<GestIpcPrivate_Channel*>(*i_ppv_Slot);
}

int32_t GestIpcSlots_Count(void) {
    CSlotLock l_x_Lock;
    int32_t l_i_Count = 0;
    for (const GestIpcPrivate_Slot& l_pv_Slot : g_apv_Slots) {
        if (l_pv_Slot != nullptr) {
            ++l_i_Count;
        }
    }
    return l_i_Count;
}

uint32_t GestIpcSlots_ProcessIds(uint32_t o_aul_ProcessId[GESTIPC_PRIVATE_SLOT_COUNT]) {
    CSlotLock l_x_Lock;
    uint32_t l_ul_Count = 0;
    for (int32_t l_i_Index = 0; l_i_Index < GESTIPC_PRIVATE_SLOT_COUNT; ++l_i_Index) {
        if (g_apv_Slots[l_i_Index] != nullptr) {
            o_aul_ProcessId[l_ul_Count++] = g_aul_SlotProcess[l_i_Index];
        }
    }
    return l_ul_Count;
}

bool GestIpcSlots_Cancel(GestIpcPrivate_Slot* i_ppv_Slot, HANDLE* o_ph_Thread) {
    if (o_ph_Thread != nullptr) {
        *o_ph_Thread = nullptr;
    }
    CSlotLock l_x_Lock;
    GestIpcPrivate_Channel* const l_px_Ipc = GestIpcSlots_Record(i_ppv_Slot);
    if (l_px_Ipc == nullptr) {
        return false;
    }
    const int32_t l_i_Status = ToolShare_CancelWaitData(l_px_Ipc->m_h_Cancel);
    if (l_i_Status != TULVO_OK) {
        TraceLog_Printf("CGestIpc::CGestIpc_Stop : ToolShare_CancelWaitData Error : %d\n",
                        static_cast<int>(l_i_Status));
    }
    if (o_ph_Thread != nullptr && l_px_Ipc->m_h_Thread != nullptr &&
        !DuplicateHandle(GetCurrentProcess(), l_px_Ipc->m_h_Thread, GetCurrentProcess(),
                         o_ph_Thread, SYNCHRONIZE, FALSE, 0)) {
        TraceLog_SysError("GestIpcPrivate_Stop DuplicateHandle");
        *o_ph_Thread = nullptr;
    }
    return true;
}

void GestIpcServer_SetSeams(const GestIpcServer_Seams* i_px_Seams) {
    AcquireSRWLockExclusive(&g_x_SeamLock);
    g_x_Seams =
        i_px_Seams != nullptr ? *i_px_Seams : GestIpcServer_Seams{nullptr, nullptr, 0, nullptr};
    ReleaseSRWLockExclusive(&g_x_SeamLock);
}

int32_t GestIpcServer_InitializeWaitEvent(HANDLE* io_ph_Event) {
    const GestIpcServer_Seams l_x_Seams = CurrentSeams();
    if (l_x_Seams.pf_InitializeWaitEvent != nullptr) {
        return l_x_Seams.pf_InitializeWaitEvent(io_ph_Event);
    }
    return ToolShare_InitializeWaitEvent(io_ph_Event);
}

HANDLE GestIpcServer_CreateSuspendedThread(LPTHREAD_START_ROUTINE i_pf_Routine,
                                           LPVOID i_pv_Argument, DWORD* o_pul_ThreadId) {
    const GestIpcServer_Seams l_x_Seams = CurrentSeams();
    if (l_x_Seams.pf_CreateSuspendedThread != nullptr) {
        return l_x_Seams.pf_CreateSuspendedThread(i_pf_Routine, i_pv_Argument, o_pul_ThreadId);
    }
    return CreateThread(nullptr, 0, i_pf_Routine, i_pv_Argument, CREATE_SUSPENDED, o_pul_ThreadId);
}

DWORD GestIpcServer_ResumeThread(HANDLE i_h_Thread) {
    const GestIpcServer_Seams l_x_Seams = CurrentSeams();
    if (l_x_Seams.pf_ResumeThread != nullptr) {
        return l_x_Seams.pf_ResumeThread(i_h_Thread);
    }
    return ResumeThread(i_h_Thread);
}

uint32_t GestIpcServer_UnlinkedLimitMs(void) {
    const GestIpcServer_Seams l_x_Seams = CurrentSeams();
    return l_x_Seams.m_ul_UnlinkedLimitMs != 0 ? l_x_Seams.m_ul_UnlinkedLimitMs
                                               : GESTIPC_UNLINKED_LIMIT_MS;
}
