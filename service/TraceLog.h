// Process-wide trace log: one line per call, to the debugger output and appended to a daily
// file "<base>.YYYY.MM.DD.Txt" in the current directory. Off by default; off costs one test.
#ifndef TULVO_SERVICE_TRACELOG_H
#define TULVO_SERVICE_TRACELOG_H

#include <stdint.h>
#include <time.h>

// The one base name the service uses: marker file and prefix of the daily files.
#define TRACELOG_BASENAME "Serv_Tulvo.Log"

// Sizes of the per-call buffers; longer messages and lines are cut to fit, never dropped.
#define TRACELOG_MESSAGE_SIZE 10240
#define TRACELOG_LINE_SIZE 10240
#define TRACELOG_FILENAME_SIZE 260

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define TRACELOG_PRINTF_CHECK __attribute__((format(printf, 1, 2)))
#else
#define TRACELOG_PRINTF_CHECK
#endif

void TraceLog_Printf(const char* i_pc_Format, ...) TRACELOG_PRINTF_CHECK;
void TraceLog_SysError(const char* i_pc_Caption);
void TraceLog_Enable(const char* i_pc_BaseName);
void TraceLog_Disable(void);
void TraceLog_EnableIfMarker(const char* i_pc_BaseName);
void TraceLog_CreateMarker(const char* i_pc_BaseName);
void TraceLog_DeleteMarker(const char* i_pc_BaseName);

// 1 while logging is on.
int TraceLog_IsEnabled(void);

// Applies the first of the service's start arguments that is a log switch word
// ("LogEventsEnable", "LogEventsDisable", "LogEventsEnableLong", "LogEventsDisableLong").
void Serv_Tulvo_ApplyLogArguments(int i_i_Argc, char** i_ppc_Argv);

// Test seam: replaces the clock, the thread id, the debugger output and the local date.
// Any member left NULL keeps the system's own. NULL restores all of them.
typedef struct TraceLog_Seams {
    uint32_t (*pf_GetTickCount)(void);
    uint32_t (*pf_GetThreadId)(void);
    void (*pf_DebugOutput)(const char* i_pc_Line);
    void (*pf_LocalDate)(struct tm* o_px_Date);
} TraceLog_Seams;
void TraceLog_SetSeams(const TraceLog_Seams* i_px_Seams);

#ifdef __cplusplus
}
#endif

#endif
