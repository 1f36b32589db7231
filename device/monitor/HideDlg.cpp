// The process-wide monitor reference behind the TulvoServ_ entry points, and the wait that
// every gate and every reboot wait of the monitor goes through.
#include "device/monitor/HideDlg.h"

#include "device/monitor/HideDlgMonitor.h"
#include "ipc/protocol/TulvoStatus.h"
#include "service/TraceLog.h"

#include <new>

namespace {

// The monitor, and how many entry-point calls are inside it. The closing takes the reference
// away first, then waits for the calls in progress before it frees anything they may use.
SRWLOCK g_x_MonitorLock = SRWLOCK_INIT;
CONDITION_VARIABLE g_x_UsersGone = CONDITION_VARIABLE_INIT;
CHideDlg* g_px_HideDlg = nullptr;
int32_t g_i_Users = 0;

// How long the closing waits, in all, for the calls in progress and the window thread: the
// service's stop must end within what Windows gives it, after the channels' own stop. A
// monitor still in use then is left to the end of the process rather than freed under a user.
const ULONGLONG HIDEDLG_CLOSE_LIMIT_MS = 10000;

// One entry-point call's use of the monitor.
class CMonitorUse {
public:
    CMonitorUse() {
        AcquireSRWLockExclusive(&g_x_MonitorLock);
        m_px_HideDlg = g_px_HideDlg;
        if (m_px_HideDlg != nullptr) {
            ++g_i_Users;
        }
        ReleaseSRWLockExclusive(&g_x_MonitorLock);
    }
    ~CMonitorUse() {
        if (m_px_HideDlg == nullptr) {
            return;
        }
        AcquireSRWLockExclusive(&g_x_MonitorLock);
        if (--g_i_Users == 0) {
            WakeAllConditionVariable(&g_x_UsersGone);
        }
        ReleaseSRWLockExclusive(&g_x_MonitorLock);
    }
    CMonitorUse(const CMonitorUse&) = delete;
    CMonitorUse& operator=(const CMonitorUse&) = delete;

    CHideDlg* Get() const { return m_px_HideDlg; }

private:
    CHideDlg* m_px_HideDlg;
};

} // namespace

CHideDlg* TulvoServ_OpenHideDlg(int32_t i_i_OpenAllowed) {
    AcquireSRWLockExclusive(&g_x_MonitorLock);
    CHideDlg* l_px_HideDlg = g_px_HideDlg;
    if (l_px_HideDlg == nullptr) {
        l_px_HideDlg = new (std::nothrow) CHideDlg(i_i_OpenAllowed);
        if (l_px_HideDlg != nullptr) {
            l_px_HideDlg->OpenHideDlg();
            g_px_HideDlg = l_px_HideDlg;
        }
    }
    ReleaseSRWLockExclusive(&g_x_MonitorLock);
    return l_px_HideDlg;
}

void TulvoServ_CloseHideDlg(void) {
    AcquireSRWLockExclusive(&g_x_MonitorLock);
    CHideDlg* l_px_HideDlg = g_px_HideDlg;
    g_px_HideDlg = nullptr;
    ReleaseSRWLockExclusive(&g_x_MonitorLock);
    if (l_px_HideDlg == nullptr) {
        return;
    }
    // Stopping first ends the waits of the calls in progress; the window thread's removals
    // end the waits inside the device objects.
    l_px_HideDlg->RequestStop();
    const ULONGLONG l_ull_End = GetTickCount64() + HIDEDLG_CLOSE_LIMIT_MS;
    ULONGLONG l_ull_Now = GetTickCount64();
    AcquireSRWLockExclusive(&g_x_MonitorLock);
    while (g_i_Users != 0 && l_ull_Now < l_ull_End) {
        SleepConditionVariableSRW(&g_x_UsersGone, &g_x_MonitorLock,
                                  static_cast<DWORD>(l_ull_End - l_ull_Now), 0);
        l_ull_Now = GetTickCount64();
    }
    const bool l_b_Unused = g_i_Users == 0;
    ReleaseSRWLockExclusive(&g_x_MonitorLock);
    if (!l_b_Unused || !l_px_HideDlg->CloseHideDlg(static_cast<uint32_t>(
                           l_ull_End > l_ull_Now ? l_ull_End - l_ull_Now : 0))) {
        TraceLog_Printf("TulvoServ_CloseHideDlg the monitor is still in use, left as it is\n");
        return;
    }
    delete l_px_HideDlg;
}

int32_t TulvoServ_EnumDevices(TulvoEnum_DeviceProperties** o_ppx_List, int32_t* o_pi_Count) {
    CMonitorUse l_x_Use;
    if (l_x_Use.Get() == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    return l_x_Use.Get()->EnumDevices(o_ppx_List, o_pi_Count);
}

int32_t TulvoServ_FreeDeviceList(TulvoEnum_DeviceProperties** io_ppx_List, int32_t i_i_Count) {
    CMonitorUse l_x_Use;
    if (l_x_Use.Get() == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    return l_x_Use.Get()->FreeDeviceList(io_ppx_List, i_i_Count);
}

int32_t TulvoServ_GetGestVek(const char* i_pc_Key, TulvoServ_VekEntry** o_ppx_Entry) {
    CMonitorUse l_x_Use;
    if (l_x_Use.Get() == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    return l_x_Use.Get()->GetGestVek(i_pc_Key, o_ppx_Entry);
}

int32_t TulvoServ_GetPipe(TulvoServ_VekEntry* i_px_Entry, int32_t i_i_Index,
                          CGestVekHold* o_px_Hold, CGestVek_Pipe** o_ppx_Pipe) {
    CMonitorUse l_x_Use;
    if (l_x_Use.Get() == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    return l_x_Use.Get()->GetPipe(i_px_Entry, i_i_Index, o_px_Hold, o_ppx_Pipe);
}

int32_t TulvoServ_GetPipeLocks(GestIpc_PipeLock** o_ppx_Locks, int32_t* o_pi_Count) {
    CMonitorUse l_x_Use;
    if (l_x_Use.Get() == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    return l_x_Use.Get()->GetPipeLocks(o_ppx_Locks, o_pi_Count);
}

int32_t TulvoServ_PrepareForReboot(const char* i_pc_Removal, const char* i_pc_Arrival,
                                   HANDLE* o_ph_EventRemoval, HANDLE* o_ph_EventArrival) {
    CMonitorUse l_x_Use;
    if (l_x_Use.Get() == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    return l_x_Use.Get()->PrepareForReboot(i_pc_Removal, i_pc_Arrival, o_ph_EventRemoval,
                                           o_ph_EventArrival);
}

int32_t TulvoServ_WaitForReboot(HANDLE i_h_EventRemoval, HANDLE i_h_EventArrival,
                                uint32_t i_ul_Timeout, HANDLE i_h_Application) {
    CMonitorUse l_x_Use;
    if (l_x_Use.Get() == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    return l_x_Use.Get()->WaitForReboot(i_h_EventRemoval, i_h_EventArrival, i_ul_Timeout,
                                        i_h_Application);
}

int32_t TulvoServ_CleanForReboot(const char* i_pc_SerialNumber, HANDLE i_h_EventRemoval) {
    CMonitorUse l_x_Use;
    if (l_x_Use.Get() == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    return l_x_Use.Get()->CleanForReboot(i_pc_SerialNumber, i_h_EventRemoval);
}

int32_t TulvoHideDlg_WaitForEvent(HANDLE i_h_EventStop, HANDLE i_h_Event, uint32_t i_ul_Timeout,
                                  HANDLE i_h_Application) {
    if (i_ul_Timeout == 0) {
        return TULVO_OK;
    }
    const bool l_b_Limited = i_ul_Timeout != HIDEDLG_WAIT_INFINITE;
    // Tick differences stay right across a wrap of the tick counter.
    const DWORD l_ul_Start = GetTickCount();
    DWORD l_ul_Left = i_ul_Timeout;
    const HANDLE l_ah_Events[3] = {i_h_EventStop, i_h_Event, i_h_Application};
    const DWORD l_ul_Count = i_h_Application != nullptr ? 3 : 2;
    for (;;) {
        const DWORD l_ul_Wait = MsgWaitForMultipleObjects(
            l_ul_Count, l_ah_Events, FALSE, l_b_Limited ? l_ul_Left : INFINITE, QS_ALLINPUT);
        if (l_ul_Wait == WAIT_OBJECT_0) {
            TraceLog_Printf("TulvoHideDlg_WaitForEvent WAIT_OBJECT_0 m_h_MonitorEventStop\n");
            return TULVO_ABORTED;
        }
        if (l_ul_Wait == WAIT_OBJECT_0 + 1) {
            return TULVO_OK;
        }
        if (l_ul_Count == 3 && l_ul_Wait == WAIT_OBJECT_0 + 2) {
            TraceLog_Printf("TulvoHideDlg_WaitForEvent the client process has ended\n");
            return TULVO_ABORTED;
        }
        if (l_ul_Wait == WAIT_OBJECT_0 + l_ul_Count) {
            MSG l_x_Message;
            while (PeekMessageA(&l_x_Message, nullptr, 0, 0, PM_REMOVE)) {
                if (l_x_Message.message == WM_QUIT) {
                    return 1;
                }
                DispatchMessageA(&l_x_Message);
            }
            if (l_b_Limited) {
                const DWORD l_ul_Elapsed = GetTickCount() - l_ul_Start;
                if (l_ul_Elapsed >= i_ul_Timeout) {
                    return TULVO_TIMEOUT;
                }
                l_ul_Left = i_ul_Timeout - l_ul_Elapsed;
            }
            continue;
        }
        if (l_ul_Wait == WAIT_TIMEOUT) {
            TraceLog_Printf("TulvoHideDlg_WaitForEvent WAIT_TIMEOUT Evt=%d\n",
                            static_cast<int>(reinterpret_cast<intptr_t>(i_h_Event)));
            return TULVO_TIMEOUT;
        }
        if (l_ul_Wait == WAIT_FAILED) {
            TraceLog_Printf("TulvoHideDlg_WaitForEvent WAIT_FAILED\n");
            return TULVO_SYSTEM_ERROR;
        }
        TraceLog_Printf("TulvoHideDlg_WaitForEvent WAIT_...  ELSE\n");
        return TULVO_NO_RESPONSE;
    }
}
