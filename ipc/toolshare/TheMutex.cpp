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

namespace {

// The outcome of a first wait that only looked at the mutex (WAIT_OBJECT_0 or WAIT_ABANDONED
// for it, or the wait's failure).
int32_t FinishMutexWait(HANDLE i_h_Mutex, DWORD i_ul_Wait, uint32_t i_ul_Timeout,
                        ToolShare_MutexLog i_e_Log, bool* o_pb_Abandoned) {
    DWORD l_ul_Wait = i_ul_Wait;
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

} // namespace

int32_t GetTheMutex(HANDLE i_h_Mutex, uint32_t i_ul_Timeout, ToolShare_MutexLog i_e_Log,
                    bool* o_pb_Abandoned) {
    return FinishMutexWait(i_h_Mutex, WaitForSingleObject(i_h_Mutex, i_ul_Timeout), i_ul_Timeout,
                           i_e_Log, o_pb_Abandoned);
}

int32_t GetTheMutexUnlessSet(HANDLE i_h_Mutex, HANDLE i_h_Stop, uint32_t i_ul_Timeout,
                             ToolShare_MutexLog i_e_Log, bool* o_pb_Abandoned, HANDLE i_h_Also) {
    // The stop event first: when both are signalled, the stop wins. The other handle goes
    // last, so that the mutex keeps its index.
    const HANDLE l_ah_Handles[3] = {i_h_Stop, i_h_Mutex, i_h_Also};
    const DWORD l_ul_Wait =
        WaitForMultipleObjects(i_h_Also != nullptr ? 3 : 2, l_ah_Handles, FALSE, i_ul_Timeout);
    if (l_ul_Wait == WAIT_OBJECT_0 || (i_h_Also != nullptr && l_ul_Wait == WAIT_OBJECT_0 + 2)) {
        if (o_pb_Abandoned != nullptr) {
            *o_pb_Abandoned = false;
        }
        return TULVO_ABORTED;
    }
    return FinishMutexWait(i_h_Mutex,
                           l_ul_Wait == WAIT_OBJECT_0 + 1      ? WAIT_OBJECT_0
                           : l_ul_Wait == WAIT_ABANDONED_0 + 1 ? WAIT_ABANDONED
                                                               : l_ul_Wait,
                           i_ul_Timeout, i_e_Log, o_pb_Abandoned);
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
