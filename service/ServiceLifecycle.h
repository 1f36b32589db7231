// The service's life under the Service Control Manager, and the same run routine in the
// foreground ("debug" mode).
#ifndef TULVO_SERVICE_SERVICELIFECYCLE_H
#define TULVO_SERVICE_SERVICELIFECYCLE_H

#include <windows.h>

// The service name: registered with the control dispatcher, the control handler and used as
// the name of the stop event, which another process may set to stop a debug-mode server.
#define SERV_TULVO_SERVICE_NAME "VEK USB Service"

// 1 while the server runs in the foreground; no status then goes to the control manager.
extern volatile LONG g_i_Serv_Tulvo_DebugMode;

void WINAPI Serv_Tulvo_Service_main(DWORD i_ul_Argc, LPSTR* i_ppc_Argv);
void Serv_Tulvo_ServiceCmd_Debug(int i_i_Argc, char** i_ppc_Argv);
void Serv_Tulvo_ServiceCmd_Start(int i_i_Argc, char** i_ppc_Argv);
int Serv_Tulvo_ReportStatus(DWORD i_ul_State, DWORD i_ul_Win32ExitCode, DWORD i_ul_WaitHint);
void WINAPI Serv_Tulvo_ServiceCtrlHandler(DWORD i_ul_Control);
void Serv_Tulvo_SignalStop(void);
// Gives the service of that name its restarts after a failure when it has no failure actions;
// 1 when it has them afterwards, as far as the control manager tells.
int Serv_Tulvo_SetFailureActions(const char* i_pc_ServiceName);

#endif
