#include "service/ServiceLifecycle.h"

#include "device/monitor/HideDlg.h"
#include "ipc/server/GestIpcPublic.h"
#include "service/TraceLog.h"

#include <stdio.h>

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

    int l_i_Reported = Serv_Tulvo_ReportStatus(SERVICE_START_PENDING, NO_ERROR, 3000);
    if (l_i_Reported) {
        HANDLE l_h_Event = CreateEventA(nullptr, FALSE, FALSE, SERV_TULVO_SERVICE_NAME);
        if (l_h_Event == nullptr) {
            TraceLog_SysError("Serv_Tulvo_ServiceCmd_Start : CreateEvent");
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
}
