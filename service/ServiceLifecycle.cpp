#include "service/ServiceLifecycle.h"

#include "device/monitor/HideDlg.h"
#include "ipc/server/GestIpcPublic.h"
#include "service/EventLog.h"
#include "service/TraceLog.h"
#include "service/VersionInfo.h"

#include <stdio.h>
#include <stdlib.h>

volatile LONG g_i_Serv_Tulvo_DebugMode = 0;

namespace {

// The control handler runs on the dispatcher's thread, the run routine on the service
// thread: both report status and both touch the stop event, so both go through this lock.
CRITICAL_SECTION g_x_StateLock;
INIT_ONCE g_x_StateLockOnce = INIT_ONCE_STATIC_INIT;

SERVICE_STATUS_HANDLE g_h_StatusHandle = nullptr;
SERVICE_STATUS g_x_Status;
// Numbers every pending report for the whole life of the process; never reset, so the
// control manager always sees progress, even across a stop that follows a start.
DWORD g_ul_CheckPoint = 1;
DWORD g_ul_ExitCode = 0;
HANDLE g_h_EventStop = nullptr;
// The name the control manager started the service under, while its service procedure runs.
const char* g_pc_ServiceName = nullptr;

BOOL CALLBACK InitStateLock(PINIT_ONCE, PVOID, PVOID*) {
    InitializeCriticalSection(&g_x_StateLock);
    return TRUE;
}

class CStateGuard {
public:
    CStateGuard() {
        InitOnceExecuteOnce(&g_x_StateLockOnce, InitStateLock, nullptr, nullptr);
        EnterCriticalSection(&g_x_StateLock);
    }
    ~CStateGuard() { LeaveCriticalSection(&g_x_StateLock); }
    CStateGuard(const CStateGuard&) = delete;
    CStateGuard& operator=(const CStateGuard&) = delete;
};

// The entry that says the service runs, and in service mode its restarts after a failure,
// which it can set only once it runs.
void ReportStarted() {
    char* const l_pc_Version = Serv_Tulvo_GetVersionInfoString("FileVersion", nullptr);
    char l_ac_Directory[MAX_PATH] = "";
    const DWORD l_ul_Len = GetCurrentDirectoryA(sizeof(l_ac_Directory), l_ac_Directory);
    if (l_ul_Len == 0 || l_ul_Len >= sizeof(l_ac_Directory)) {
        l_ac_Directory[0] = '\0';
    }
    EventLog_Started(l_pc_Version, TraceLog_IsEnabled(), l_ac_Directory);
    free(l_pc_Version);
    if (InterlockedCompareExchange(&g_i_Serv_Tulvo_DebugMode, 0, 0) == 0 &&
        g_pc_ServiceName != nullptr) {
        Serv_Tulvo_SetFailureActions(g_pc_ServiceName);
    }
}

} // namespace

int Serv_Tulvo_ReportStatus(DWORD i_ul_State, DWORD i_ul_Win32ExitCode, DWORD i_ul_WaitHint) {
    if (InterlockedCompareExchange(&g_i_Serv_Tulvo_DebugMode, 0, 0) == 1) {
        return 1;
    }
    CStateGuard l_x_Guard;
    g_x_Status.dwCurrentState = i_ul_State;
    g_x_Status.dwWin32ExitCode = i_ul_Win32ExitCode;
    g_x_Status.dwWaitHint = i_ul_WaitHint;
    // A stop must not overtake a start that is still setting up the monitor and the channels.
    g_x_Status.dwControlsAccepted =
        (i_ul_State == SERVICE_START_PENDING) ? 0 : (SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN);
    if (i_ul_State == SERVICE_RUNNING || i_ul_State == SERVICE_STOPPED) {
        g_x_Status.dwCheckPoint = 0;
    } else {
        g_x_Status.dwCheckPoint = g_ul_CheckPoint++;
    }
    return SetServiceStatus(g_h_StatusHandle, &g_x_Status) ? 1 : 0;
}

void Serv_Tulvo_SignalStop(void) {
    CStateGuard l_x_Guard;
    if (g_h_EventStop != nullptr) {
        SetEvent(g_h_EventStop);
    }
}

void WINAPI Serv_Tulvo_ServiceCtrlHandler(DWORD i_ul_Control) {
    switch (i_ul_Control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        Serv_Tulvo_ReportStatus(SERVICE_STOP_PENDING, 0, 0);
        Serv_Tulvo_SignalStop();
        break;
    default: {
        DWORD l_ul_State;
        {
            CStateGuard l_x_Guard;
            l_ul_State = g_x_Status.dwCurrentState;
        }
        Serv_Tulvo_ReportStatus(l_ul_State, 0, 0);
        break;
    }
    }
}

void WINAPI Serv_Tulvo_Service_main(DWORD i_ul_Argc, LPSTR* i_ppc_Argv) {
    Serv_Tulvo_ApplyLogArguments(static_cast<int>(i_ul_Argc), i_ppc_Argv);
    TraceLog_Printf("Serv_Tulvo_Service_main\n");
    g_ul_ExitCode = 0;
    g_pc_ServiceName = (i_ul_Argc > 0 && i_ppc_Argv != nullptr) ? i_ppc_Argv[0] : nullptr;

    SERVICE_STATUS_HANDLE l_h_Status =
        RegisterServiceCtrlHandlerA(SERV_TULVO_SERVICE_NAME, Serv_Tulvo_ServiceCtrlHandler);
    if (l_h_Status == nullptr) {
        TraceLog_SysError("Serv_Tulvo_Service_main : RegisterServiceCtrlHandler");
    } else {
        {
            CStateGuard l_x_Guard;
            g_h_StatusHandle = l_h_Status;
            g_x_Status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
            g_x_Status.dwServiceSpecificExitCode = 0;
        }
        if (Serv_Tulvo_ReportStatus(SERVICE_START_PENDING, NO_ERROR, 3000)) {
            Serv_Tulvo_ServiceCmd_Start(static_cast<int>(i_ul_Argc), i_ppc_Argv);
        }
    }

    if (l_h_Status != nullptr) {
        Serv_Tulvo_ReportStatus(SERVICE_STOPPED, g_ul_ExitCode, 3000);
        CStateGuard l_x_Guard;
        g_h_StatusHandle = nullptr;
    }
    g_pc_ServiceName = nullptr;
}

void Serv_Tulvo_ServiceCmd_Debug(int i_i_Argc, char** i_ppc_Argv) {
    TraceLog_Printf("Serv_Tulvo_ServiceCmd_Debug\n");
    Serv_Tulvo_ServiceCmd_Start(i_i_Argc, i_ppc_Argv);
}

void Serv_Tulvo_ServiceCmd_Start(int i_i_Argc, char** i_ppc_Argv) {
    (void)i_i_Argc;
    (void)i_ppc_Argv;
    {
        CStateGuard l_x_Guard;
        g_h_EventStop = nullptr;
    }
    TraceLog_Printf("Serv_Tulvo_ServiceCmd_Start Starting\n");

    bool l_b_Started = false;
    int l_i_Reported = Serv_Tulvo_ReportStatus(SERVICE_START_PENDING, NO_ERROR, 3000);
    if (l_i_Reported) {
        HANDLE l_h_Event = CreateEventA(nullptr, FALSE, FALSE, SERV_TULVO_SERVICE_NAME);
        if (l_h_Event == nullptr) {
            TraceLog_SysError("Serv_Tulvo_ServiceCmd_Start : CreateEvent");
            l_i_Reported = 0;
        } else if (GetLastError() == ERROR_ALREADY_EXISTS) {
            // The stop event lives exactly as long as a run routine, and only a run routine
            // makes it: another instance serves, and two would share the ports and the
            // public channel. The public channel's objects tell nothing here: clients of an
            // instance that crashed keep them, Running set, for a restarted one to take over.
            TraceLog_Printf("Serv_Tulvo_ServiceCmd_Start : another instance is running\n");
            EventLog_AlreadyRunning();
            CloseHandle(l_h_Event);
            l_i_Reported = 0;
        } else {
            {
                CStateGuard l_x_Guard;
                g_h_EventStop = l_h_Event;
            }
            l_i_Reported = Serv_Tulvo_ReportStatus(SERVICE_START_PENDING, NO_ERROR, 3000);
            if (l_i_Reported) {
                // The monitor comes first: no client may connect before the device list
                // exists. A failure of either is in the trace; the service still runs.
                TulvoServ_OpenHideDlg(1);
                TulvoServ_OpenGestIpcPublic();
                l_i_Reported = Serv_Tulvo_ReportStatus(SERVICE_RUNNING, NO_ERROR, 3000);
            }
            if (l_i_Reported) {
                ReportStarted();
                l_b_Started = true;
            }
        }
    }

    printf("\n..Started\n");
    fflush(stdout);

    if (l_i_Reported) {
        HANDLE l_h_Event;
        {
            CStateGuard l_x_Guard;
            l_h_Event = g_h_EventStop;
        }
        for (;;) {
            TraceLog_Printf("Serv_Tulvo_ServiceCmd_Start Wait\n");
            if (WaitForSingleObject(l_h_Event, INFINITE) == WAIT_OBJECT_0) {
                break;
            }
        }
    }

    TraceLog_Printf("Serv_Tulvo_ServiceCmd_Start Cleaning\n");
    // Channels go down before the devices they lead to.
    TulvoServ_CloseGestIpcPublic();
    TulvoServ_CloseHideDlg();
    {
        CStateGuard l_x_Guard;
        if (g_h_EventStop != nullptr) {
            CloseHandle(g_h_EventStop);
            g_h_EventStop = nullptr;
        }
    }
    TraceLog_Printf("Serv_Tulvo_ServiceCmd_Start Stopped\n");
    if (l_b_Started) {
        char* const l_pc_Version = Serv_Tulvo_GetVersionInfoString("FileVersion", nullptr);
        EventLog_Stopped(l_pc_Version);
        free(l_pc_Version);
    }
}
