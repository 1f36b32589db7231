// Entry point of Serv_Tulvo.exe. Three personalities: no argument, the service under the
// control manager; "-debug", the same server in the foreground; "-send <sub-option>", a
// client of a running service. The exit code is 0 in every case.
#include "ipc/client/TulvoCli.h"
#include "service/AsciiText.h"
#include "service/EventLog.h"
#include "service/ServiceLifecycle.h"
#include "service/TraceLog.h"
#include "service/VersionInfo.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

struct CSendOption {
    const char* m_pc_Name;
    uint32_t m_ul_InfoType;
    uint32_t m_ul_Value;
};

const CSendOption g_ax_SendOptions[] = {
    {"LogEventsEnable", 1, 1},
    {"LogEventsDisable", 1, 0},
    {"LogEventsEnableAtNextStart", 1, 3},
    {"LogEventsDisableAtNextStart", 1, 2},
    {"version", 0, 0},
};

// An executable stripped of its version resource prints empty texts where they would stand.
const char* OrEmpty(const char* i_pc_Text) {
    return i_pc_Text != nullptr ? i_pc_Text : "";
}

void PrintUsage(const char* i_pc_ProgramName) {
    printf("Usage: %s [option]\n", OrEmpty(i_pc_ProgramName));
    printf("Possible options are:\n");
    printf("  -send [suboption]\n");
    printf("    %s:\t\t start logs\n", "LogEventsEnable");
    printf("    %s:\t\t stop logs\n", "LogEventsDisable");
    printf("    %s:\t start logs at next service startups\n", "LogEventsEnableAtNextStart");
    printf("    %s: disable logs at next service startups\n", "LogEventsDisableAtNextStart");
    printf("    version:\t\t\t get service version\n");
    printf("\n");
}

void RemoteCommand(int i_i_Argc, char** i_ppc_Argv, const char* i_pc_ProgramName) {
    const CSendOption* l_px_Option = nullptr;
    if (i_i_Argc >= 3) {
        for (const CSendOption& l_x_Option : g_ax_SendOptions) {
            if (Tulvo_AsciiEqualNoCase(i_ppc_Argv[2], l_x_Option.m_pc_Name)) {
                l_px_Option = &l_x_Option;
                break;
            }
        }
    }
    if (l_px_Option == nullptr) {
        printf("\n");
        PrintUsage(i_pc_ProgramName);
        return;
    }

    uint8_t* l_puc_Text = nullptr;
    uint32_t l_ul_TextLen = 0;
    const int32_t l_i_Status = TulvoCli_GetServerInfos(
        l_px_Option->m_ul_InfoType, l_px_Option->m_ul_Value, &l_puc_Text, &l_ul_TextLen);
    if (l_i_Status != 0) {
        printf("Error: %d", static_cast<int>(l_i_Status));
        if (l_i_Status == TULVO_TS_SERVER_NOT_RUNNING) {
            printf(" SERVER NOT RUNNING");
        }
        TulvoCli_FreeBuffer(&l_puc_Text);
        printf("\n");
        return;
    }
    if (l_px_Option->m_ul_InfoType == 0) {
        // The text comes from another process: print it only up to its announced length.
        printf("Version returned by Server : %.*s",
               static_cast<int>(l_puc_Text != nullptr
                                    ? strnlen(reinterpret_cast<char*>(l_puc_Text), l_ul_TextLen)
                                    : 0),
               l_puc_Text != nullptr ? reinterpret_cast<char*>(l_puc_Text) : "");
    }
    TulvoCli_FreeBuffer(&l_puc_Text);
    printf("\n");
}

} // namespace

int main(int argc, char** argv) {
    SERVICE_TABLE_ENTRYA l_ax_ServiceTable[] = {
        {const_cast<LPSTR>(SERV_TULVO_SERVICE_NAME), Serv_Tulvo_Service_main},
        {nullptr, nullptr},
    };

    if (argc < 2) {
        // A service's files live in the system directory. The control manager of Windows
        // starts services there; making it explicit keeps the marker and the daily files in
        // one place whatever the host started the process from.
        char l_ac_SystemDir[MAX_PATH];
        const UINT l_ul_Len = GetSystemDirectoryA(l_ac_SystemDir, sizeof(l_ac_SystemDir));
        if (l_ul_Len > 0 && l_ul_Len < sizeof(l_ac_SystemDir)) {
            SetCurrentDirectoryA(l_ac_SystemDir);
        }
    }
    TraceLog_EnableIfMarker(TRACELOG_BASENAME);
    TraceLog_Printf("Serv_Tulvo Starting ******************\n");

    char* l_pc_OriginalFilename = Serv_Tulvo_GetVersionInfoString("OriginalFilename", nullptr);
    char* l_pc_FileVersion = Serv_Tulvo_GetVersionInfoString("FileVersion", nullptr);
    char* l_pc_LegalCopyright = Serv_Tulvo_GetVersionInfoString("LegalCopyright", nullptr);

    if (argc < 2) {
        TraceLog_Printf("%s version %s\n", OrEmpty(l_pc_OriginalFilename),
                        OrEmpty(l_pc_FileVersion));
        TraceLog_Printf("%s\n", OrEmpty(l_pc_LegalCopyright));
        TraceLog_Printf("Serv_Tulvo Calling StartServiceCtrlDispatcher\n");
        EventLog_CatchFatalErrors();
        if (!StartServiceCtrlDispatcherA(l_ax_ServiceTable)) {
            TraceLog_SysError("StartServiceCtrlDispatcher");
        }
    } else if (argv[1][0] != '-' && argv[1][0] != '/') {
        PrintUsage(l_pc_OriginalFilename);
    } else {
        printf("\n");
        printf("%s version %s\n", OrEmpty(l_pc_OriginalFilename), OrEmpty(l_pc_FileVersion));
        printf("%s\n\n", OrEmpty(l_pc_LegalCopyright));
        const char* l_pc_Option = argv[1] + 1;
        if (Tulvo_AsciiEqualNoCase(l_pc_Option, "debug")) {
            InterlockedExchange(&g_i_Serv_Tulvo_DebugMode, 1);
            fflush(stdout);
            EventLog_CatchFatalErrors();
            Serv_Tulvo_ServiceCmd_Debug(argc, argv);
        } else if (Tulvo_AsciiEqualNoCase(l_pc_Option, "send")) {
            RemoteCommand(argc, argv, l_pc_OriginalFilename);
        } else {
            PrintUsage(l_pc_OriginalFilename);
        }
    }
    fflush(stdout);

    free(l_pc_OriginalFilename);
    free(l_pc_FileVersion);
    free(l_pc_LegalCopyright);
    TraceLog_Printf("Serv_Tulvo Exited ********************\n\n");
    return 0;
}
