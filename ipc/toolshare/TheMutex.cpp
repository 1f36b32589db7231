// Timed acquisition and release for every mutex of the program, with abandoned mutexes
// (owner thread or process gone) taken over rather than left blocked.
#include "ipc/protocol/TulvoStatus.h"
#include "ipc/toolshare/ToolShare.h"
#include "ipc/toolshare/ToolShareInternal.h"
#include "service/TraceLog.h"

namespace toolshare {

void BalanceAbandonedOwnership(HANDLE i_h_Mutex, DWORD i_ul_SecondWait) {
    DWORD l_ul_Error = GetLastError();
    if (i_ul_SecondWait == WAIT_OBJECT_0 || i_ul_SecondWait == WAIT_ABANDONED) {
        ReleaseMutex(i_h_Mutex);
    }
    if (i_ul_SecondWait != WAIT_OBJECT_0) {
        ReleaseMutex(i_h_Mutex);
    }
    SetLastError(l_ul_Error);
}

} // namespace toolshare

int32_t GetTheMutex(HANDLE i_h_Mutex, uint32_t i_ul_Timeout, ToolShare_MutexLog i_e_Log,
                    bool* o_pb_Abandoned) {
    DWORD l_ul_Wait = WaitForSingleObject(i_h_Mutex, i_ul_Timeout);
    if (o_pb_Abandoned != nullptr) {
        *o_pb_Abandoned = l_ul_Wait == WAIT_ABANDONED;
    }
    if (l_ul_Wait == WAIT_ABANDONED) {
        l_ul_Wait = WaitForSingleObject(i_h_Mutex, i_ul_Timeout);
        toolshare::BalanceAbandonedOwnership(i_h_Mutex, l_ul_Wait);
    }
    const bool l_b_Log = i_e_Log == TOOLSHARE_MUTEX_LOGGED;
    unsigned l_u_HandleValue = static_cast<unsigned>(reinterpret_cast<uintptr_t>(i_h_Mutex));
    switch (l_ul_Wait) {
    case WAIT_OBJECT_0:
        return TULVO_OK;
    case WAIT_TIMEOUT:
        if (l_b_Log) {
            TraceLog_Printf("GetTheMutex: WaitForSingleObject WAIT_TIMEOUT h:0x%08X\n",
                            l_u_HandleValue);
        }
        return TULVO_TIMEOUT;
    case WAIT_ABANDONED:
        if (l_b_Log) {
            TraceLog_Printf("GetTheMutex: WaitForSingleObject WAIT_ABANDONED 2 h:0x%08X\n",
                            l_u_HandleValue);
        }
        return TULVO_MUTEX_ABANDONED;
    default:
        if (l_b_Log) {
            TraceLog_SysError("GetTheMutex: WaitForSingleObject");
        }
        return TULVO_SYSTEM_ERROR;
    }
}

int32_t ReleaseTheMutex(HANDLE i_h_Mutex, ToolShare_MutexLog i_e_Log) {
    if (!ReleaseMutex(i_h_Mutex)) {
        if (i_e_Log == TOOLSHARE_MUTEX_LOGGED) {
            TraceLog_SysError("ReleaseTheMutex: ReleaseMutex");
        }
        return TULVO_SIGNAL_ERROR;
    }
    return TULVO_OK;
}
