// The Event Log entries. The source is registered with the system once, on the first entry,
// and kept for the life of the process. The entry type follows from the severity bits of the
// event id that windmc wrote, so the table and the type can never disagree.
//
// Repeated warnings are limited per kind and sensor: a port that fails to open is retried at
// every client command, and a sensor left unplugged would otherwise fill the log. The table of
// recent warnings is small and fixed; when it is full the oldest gives way.
#include "service/EventLog.h"

#include "EventMessages.h"
#include "ipc/protocol/TulvoStatus.h"
#include "service/TraceLog.h"

#include <windows.h>

#include <exception>
#include <mutex>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const size_t EVENTLOG_INSERT_SIZE = 512;
const int EVENTLOG_MAX_INSERTS = 3;
const size_t EVENTLOG_RECENT_COUNT = 32;
const size_t EVENTLOG_KEY_SIZE = 100;

struct CRecentWarning {
    uint32_t m_ul_EventId;
    char m_ac_Key[EVENTLOG_KEY_SIZE];
    uint64_t m_ull_Tick;
};

std::mutex g_x_Lock;
EventLog_Seams g_x_Seams = {nullptr, nullptr};
CRecentWarning g_ax_Recent[EVENTLOG_RECENT_COUNT];
size_t g_ul_RecentCount = 0;

INIT_ONCE g_x_SourceOnce = INIT_ONCE_STATIC_INIT;
HANDLE g_h_Source = nullptr;

volatile LONG g_l_FatalReported = 0;
LPTOP_LEVEL_EXCEPTION_FILTER g_pf_PreviousFilter = nullptr;
std::terminate_handler g_pf_PreviousTerminate = nullptr;

BOOL CALLBACK RegisterSource(PINIT_ONCE, PVOID, PVOID*) {
    g_h_Source = RegisterEventSourceW(nullptr, EVENTLOG_SOURCE_NAME);
    if (g_h_Source == nullptr) {
        TraceLog_SysError("EventLog : RegisterEventSource");
    }
    return TRUE;
}

WORD TypeOf(uint32_t i_ul_EventId) {
    switch (i_ul_EventId >> 30) {
    case SERV_TULVO_SEVERITY_ERROR:
        return EVENTLOG_ERROR_TYPE;
    case SERV_TULVO_SEVERITY_WARNING:
        return EVENTLOG_WARNING_TYPE;
    default:
        return EVENTLOG_INFORMATION_TYPE;
    }
}

// Writes one entry; the inserts are texts of the system's code page.
void Report(uint32_t i_ul_EventId, int i_i_Count, const char* const* i_ppc_Inserts) {
    wchar_t l_aw_Inserts[EVENTLOG_MAX_INSERTS][EVENTLOG_INSERT_SIZE];
    const wchar_t* l_apw_Inserts[EVENTLOG_MAX_INSERTS];
    for (int l_i = 0; l_i < i_i_Count && l_i < EVENTLOG_MAX_INSERTS; ++l_i) {
        // The inserts are built to fit; one that does not is left out rather than cut.
        if (MultiByteToWideChar(CP_ACP, 0, i_ppc_Inserts[l_i] != nullptr ? i_ppc_Inserts[l_i] : "",
                                -1, l_aw_Inserts[l_i], EVENTLOG_INSERT_SIZE) == 0) {
            l_aw_Inserts[l_i][0] = L'\0';
        }
        l_apw_Inserts[l_i] = l_aw_Inserts[l_i];
    }
    const WORD l_us_Count = static_cast<WORD>(i_i_Count);
    void (*l_pf_Report)(uint16_t, uint32_t, uint16_t, const wchar_t**);
    {
        std::lock_guard<std::mutex> l_x_Guard(g_x_Lock);
        l_pf_Report = g_x_Seams.pf_Report;
    }
    if (l_pf_Report != nullptr) {
        l_pf_Report(TypeOf(i_ul_EventId), i_ul_EventId, l_us_Count, l_apw_Inserts);
        return;
    }
    InitOnceExecuteOnce(&g_x_SourceOnce, RegisterSource, nullptr, nullptr);
    if (g_h_Source == nullptr) {
        return;
    }
    if (!ReportEventW(g_h_Source, TypeOf(i_ul_EventId), 0, i_ul_EventId, nullptr, l_us_Count, 0,
                      l_apw_Inserts, nullptr)) {
        TraceLog_SysError("EventLog : ReportEvent");
    }
}

void Report1(uint32_t i_ul_EventId, const char* i_pc_Insert) {
    Report(i_ul_EventId, 1, &i_pc_Insert);
}

// True when no warning of this kind about this sensor was written within the repeat time; it
// is then counted as written now.
bool MayWarn(uint32_t i_ul_EventId, const char* i_pc_Key) {
    std::lock_guard<std::mutex> l_x_Guard(g_x_Lock);
    const uint64_t l_ull_Now = g_x_Seams.pf_GetTickCount64 != nullptr
                                   ? g_x_Seams.pf_GetTickCount64()
                                   : static_cast<uint64_t>(GetTickCount64());
    CRecentWarning* l_px_Oldest = nullptr;
    for (size_t l_ul = 0; l_ul < g_ul_RecentCount; ++l_ul) {
        CRecentWarning& l_x_Recent = g_ax_Recent[l_ul];
        if (l_x_Recent.m_ul_EventId == i_ul_EventId &&
            strncmp(l_x_Recent.m_ac_Key, i_pc_Key, EVENTLOG_KEY_SIZE - 1) == 0) {
            if (l_ull_Now - l_x_Recent.m_ull_Tick < EVENTLOG_REPEAT_MS) {
                return false;
            }
            l_x_Recent.m_ull_Tick = l_ull_Now;
            return true;
        }
        if (l_px_Oldest == nullptr || l_x_Recent.m_ull_Tick < l_px_Oldest->m_ull_Tick) {
            l_px_Oldest = &l_x_Recent;
        }
    }
    CRecentWarning* const l_px_Slot =
        g_ul_RecentCount < EVENTLOG_RECENT_COUNT ? &g_ax_Recent[g_ul_RecentCount++] : l_px_Oldest;
    l_px_Slot->m_ul_EventId = i_ul_EventId;
    snprintf(l_px_Slot->m_ac_Key, sizeof(l_px_Slot->m_ac_Key), "%s", i_pc_Key);
    l_px_Slot->m_ull_Tick = l_ull_Now;
    return true;
}

const char* OrEmpty(const char* i_pc_Text) {
    return i_pc_Text != nullptr ? i_pc_Text : "";
}

// "system error 5: Access is denied." without the line break the system text ends with.
void DescribeSystemError(uint32_t i_ul_Error, char (&o_ac_Text)[EVENTLOG_INSERT_SIZE]) {
    char l_ac_System[EVENTLOG_INSERT_SIZE] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, i_ul_Error,
                   0x0400, l_ac_System, sizeof(l_ac_System), nullptr);
    size_t l_ul_Len = strlen(l_ac_System);
    while (l_ul_Len > 0 &&
           (l_ac_System[l_ul_Len - 1] == '\r' || l_ac_System[l_ul_Len - 1] == '\n' ||
            l_ac_System[l_ul_Len - 1] == ' ')) {
        l_ac_System[--l_ul_Len] = '\0';
    }
    snprintf(o_ac_Text, EVENTLOG_INSERT_SIZE, "system error %lu%s%s",
             static_cast<unsigned long>(i_ul_Error), l_ul_Len > 0 ? ": " : "", l_ac_System);
}

void ReportFatal(const char* i_pc_What) {
    if (InterlockedExchange(&g_l_FatalReported, 1) == 0) {
        TraceLog_Printf("EventLog : fatal error, %s\n", i_pc_What);
        Report1(SERV_TULVO_MSG_FATAL_EXCEPTION, i_pc_What);
    }
}

LONG WINAPI ReportUnhandledException(EXCEPTION_POINTERS* i_px_Exception) {
    char l_ac_What[EVENTLOG_INSERT_SIZE];
    const EXCEPTION_RECORD* const l_px_Record =
        i_px_Exception != nullptr ? i_px_Exception->ExceptionRecord : nullptr;
    snprintf(l_ac_What, sizeof(l_ac_What), "exception 0x%08lX at address %p",
             l_px_Record != nullptr ? static_cast<unsigned long>(l_px_Record->ExceptionCode) : 0ul,
             l_px_Record != nullptr ? l_px_Record->ExceptionAddress : nullptr);
    ReportFatal(l_ac_What);
    // The crash then takes its usual course: a debugger or the system's error reporting.
    return g_pf_PreviousFilter != nullptr ? g_pf_PreviousFilter(i_px_Exception)
                                          : EXCEPTION_CONTINUE_SEARCH;
}

void ReportTerminate() {
    ReportFatal("a C++ exception that nothing caught, or another call of std::terminate");
    if (g_pf_PreviousTerminate != nullptr) {
        g_pf_PreviousTerminate();
    }
    abort();
}

} // namespace

extern "C" {

void EventLog_Started(const char* i_pc_Version, int i_i_TraceLogOn, const char* i_pc_Directory) {
    const char* const l_apc_Inserts[] = {OrEmpty(i_pc_Version), i_i_TraceLogOn ? "on" : "off",
                                         OrEmpty(i_pc_Directory)};
    Report(SERV_TULVO_MSG_STARTED, 3, l_apc_Inserts);
}

void EventLog_Stopped(const char* i_pc_Version) {
    Report1(SERV_TULVO_MSG_STOPPED, OrEmpty(i_pc_Version));
}

void EventLog_PortNotOpened(const char* i_pc_SerialNumber, const char* i_pc_PortName,
                            uint32_t i_ul_SystemError, int32_t i_i_Status) {
    // Before its first opening a sensor is known by the serial number of its device entry;
    // without one, by its port.
    const char* const l_pc_Sensor = (i_pc_SerialNumber != nullptr && i_pc_SerialNumber[0] != '\0')
                                        ? i_pc_SerialNumber
                                        : OrEmpty(i_pc_PortName);
    if (!MayWarn(SERV_TULVO_MSG_PORT_NOT_OPENED, l_pc_Sensor)) {
        return;
    }
    char l_ac_Reason[EVENTLOG_INSERT_SIZE];
    if (i_ul_SystemError != 0) {
        DescribeSystemError(i_ul_SystemError, l_ac_Reason);
    } else {
        snprintf(l_ac_Reason, sizeof(l_ac_Reason), "status %d", static_cast<int>(i_i_Status));
    }
    const char* const l_apc_Inserts[] = {l_pc_Sensor, OrEmpty(i_pc_PortName), l_ac_Reason};
    Report(SERV_TULVO_MSG_PORT_NOT_OPENED, 3, l_apc_Inserts);
}

void EventLog_RestartEnded(const char* i_pc_SerialNumber, uint32_t i_ul_WaitMs,
                           int32_t i_i_Status) {
    if (i_i_Status != TULVO_TIMEOUT ||
        !MayWarn(SERV_TULVO_MSG_RESTART_NOT_BACK, OrEmpty(i_pc_SerialNumber))) {
        return;
    }
    char l_ac_Wait[16];
    snprintf(l_ac_Wait, sizeof(l_ac_Wait), "%lu", static_cast<unsigned long>(i_ul_WaitMs));
    const char* const l_apc_Inserts[] = {OrEmpty(i_pc_SerialNumber), l_ac_Wait};
    Report(SERV_TULVO_MSG_RESTART_NOT_BACK, 2, l_apc_Inserts);
}

void EventLog_ChannelNotCreated(int32_t i_i_Status) {
    char l_ac_Status[16];
    snprintf(l_ac_Status, sizeof(l_ac_Status), "%d", static_cast<int>(i_i_Status));
    Report1(SERV_TULVO_MSG_CHANNEL_NOT_CREATED, l_ac_Status);
}

void EventLog_AlreadyRunning(void) {
    char l_ac_Process[16];
    snprintf(l_ac_Process, sizeof(l_ac_Process), "%lu",
             static_cast<unsigned long>(GetCurrentProcessId()));
    Report1(SERV_TULVO_MSG_ALREADY_RUNNING, l_ac_Process);
}

void EventLog_ServerThreadEnded(const char* i_pc_Thread, int32_t i_i_Status, int i_i_Stopping) {
    if (i_i_Stopping) {
        return;
    }
    char l_ac_Status[16];
    snprintf(l_ac_Status, sizeof(l_ac_Status), "%d", static_cast<int>(i_i_Status));
    const char* const l_apc_Inserts[] = {OrEmpty(i_pc_Thread), l_ac_Status};
    Report(SERV_TULVO_MSG_SERVER_THREAD_ENDED, 2, l_apc_Inserts);
}

void EventLog_CatchFatalErrors(void) {
    static std::once_flag s_x_Once;
    std::call_once(s_x_Once, [] {
        g_pf_PreviousFilter = SetUnhandledExceptionFilter(ReportUnhandledException);
        g_pf_PreviousTerminate = std::set_terminate(ReportTerminate);
    });
}

void EventLog_SetSeams(const EventLog_Seams* i_px_Seams) {
    std::lock_guard<std::mutex> l_x_Guard(g_x_Lock);
    if (i_px_Seams == nullptr) {
        memset(&g_x_Seams, 0, sizeof(g_x_Seams));
    } else {
        g_x_Seams = *i_px_Seams;
    }
    g_ul_RecentCount = 0;
}

} // extern "C"
