// The table of private channel slots and its one lock (the ownership rule is in
// GestIpcServer.h), and the servers' test seam.
#include "ipc/server/GestIpcServer.h"

#include "ipc/protocol/TulvoStatus.h"
#include "service/TraceLog.h"

namespace {

SRWLOCK g_x_SlotLock = SRWLOCK_INIT;
GestIpcPrivate_Slot g_apv_Slots[GESTIPC_PRIVATE_SLOT_COUNT];

SRWLOCK g_x_SeamLock = SRWLOCK_INIT;
GestIpcServer_Seams g_x_Seams = {nullptr, nullptr};

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

int32_t GestIpcSlots_Take(GestIpcPrivate_Channel* i_px_Ipc, GestIpcPrivate_Slot** o_ppv_Slot) {
    *o_ppv_Slot = nullptr;
    CSlotLock l_x_Lock;
    for (GestIpcPrivate_Slot& l_pv_Slot : g_apv_Slots) {
        if (l_pv_Slot == nullptr) {
            l_pv_Slot = i_px_Ipc;
            *o_ppv_Slot = &l_pv_Slot;
            return TULVO_OK;
        }
    }
    return TULVO_TOO_MANY_CHANNELS;
}

void GestIpcSlots_GiveUp(GestIpcPrivate_Slot* io_ppv_Slot) {
    CSlotLock l_x_Lock;
    *io_ppv_Slot = nullptr;
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
    g_x_Seams = i_px_Seams != nullptr ? *i_px_Seams : GestIpcServer_Seams{nullptr, nullptr};
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
