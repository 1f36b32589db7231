// Entries in the Windows Application log under the source "VEK USB Service", for the people
// who install and support the sensors and look at the Event Viewer first: the service's start
// and stop, and the failures they can act on. Nothing per exchange, arrival or removal: the
// trace log is for that. The texts are the message table of Serv_Tulvo.exe
// (service/EventMessages.mc); each call passes its inserts. Windows build only.
#ifndef TULVO_SERVICE_EVENTLOG_H
#define TULVO_SERVICE_EVENTLOG_H

#include <stdint.h>
#include <wchar.h>

// The event source: the service's own name.
#define EVENTLOG_SOURCE_NAME L"VEK USB Service"
// Warnings of one kind about one sensor are written at most once in this time.
#define EVENTLOG_REPEAT_MS 60000u

#ifdef __cplusplus
extern "C" {
#endif

// Information: the service runs (its version, its trace log on or off and the folder of the
// trace files) and has stopped.
void EventLog_Started(const char* i_pc_Version, int i_i_TraceLogOn, const char* i_pc_Directory);
void EventLog_Stopped(const char* i_pc_Version);

// Warnings, at most one a minute per kind and sensor. A port that could not be opened, with
// the system error of its opening (0 when the opening failed later, then the status tells).
void EventLog_PortNotOpened(const char* i_pc_SerialNumber, const char* i_pc_PortName,
                            uint32_t i_ul_SystemError, int32_t i_i_Status);
// A sensor restart an application asked for that ended with that status: an entry only when
// the sensor did not come back in time (TULVO_TIMEOUT).
void EventLog_RestartEnded(const char* i_pc_SerialNumber, uint32_t i_ul_WaitMs, int32_t i_i_Status);

// Errors. The public channel could not be created; another instance runs, so this one does
// not start; a server thread ended, an error unless the service was stopping it.
void EventLog_ChannelNotCreated(int32_t i_i_Status);
void EventLog_AlreadyRunning(void);
void EventLog_ServerThreadEnded(const char* i_pc_Thread, int32_t i_i_Status, int i_i_Stopping);

// An entry for a crash of any thread (an exception nobody handled, or the C++ runtime's
// terminate) before the process ends as it would have without it. Once per process.
void EventLog_CatchFatalErrors(void);

// Test seam: where the entries go instead of ReportEventW, and the clock of the repeat limit.
// NULL members keep the system's own; NULL restores both. Every call forgets the warnings
// written so far.
typedef struct EventLog_Seams {
    void (*pf_Report)(uint16_t i_us_Type, uint32_t i_ul_EventId, uint16_t i_us_Count,
                      const wchar_t** i_ppw_Strings);
    uint64_t (*pf_GetTickCount64)(void);
} EventLog_Seams;
void EventLog_SetSeams(const EventLog_Seams* i_px_Seams);

#ifdef __cplusplus
}
#endif

#endif
