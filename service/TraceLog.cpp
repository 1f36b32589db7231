#include "service/TraceLog.h"

#include "service/AsciiText.h"

#include <atomic>
#include <mutex>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

// The base name is switched by the public channel thread and the service thread while every
// other thread logs. The name lock guards the name and every append to a daily file: a writer
// decides under it whether its line still belongs to the log, so no line lands behind a
// "Disable Log" line nor in a released name's file, and this process's writers take turns
// (appending is atomic per write on Windows, not under every emulation of it: wine finds the
// end of the file and then writes). The state word keeps the off case to one load: its low
// bit is on/off, the rest counts the times logging was switched on, so a line begun before a
// switch off and on again is recognised as switched off meanwhile.
std::mutex g_x_NameLock;
char* g_pc_BaseName = nullptr;
std::atomic<uint32_t> g_ul_State{0};

uint32_t SwitchedOnState(uint32_t i_ul_State) {
    return (((i_ul_State >> 1) + 1) << 1) | 1u;
}

TraceLog_Seams g_x_Seams = {nullptr, nullptr, nullptr, nullptr};
std::mutex g_x_SeamsLock;

// Saves and restores the caller's last system error: callers log a failure and then often
// look at the error again, and opening the log file must not change it.
class CLastErrorKeeper {
public:
#ifdef _WIN32
    CLastErrorKeeper() : m_ul_Error(GetLastError()) {}
    ~CLastErrorKeeper() {
        SetLastError(m_ul_Error);
    }

private:
    DWORD m_ul_Error;
#else
    CLastErrorKeeper() : m_i_Error(errno) {}
    ~CLastErrorKeeper() {
        errno = m_i_Error;
    }

private:
    int m_i_Error;
#endif
};

TraceLog_Seams CurrentSeams() {
    std::lock_guard<std::mutex> l_x_Guard(g_x_SeamsLock);
    return g_x_Seams;
}

uint32_t SystemThreadId() {
#ifdef _WIN32
    return static_cast<uint32_t>(GetCurrentThreadId());
#else
    return static_cast<uint32_t>(syscall(SYS_gettid));
#endif
}

uint32_t SystemTickCount() {
#ifdef _WIN32
    return static_cast<uint32_t>(GetTickCount());
#else
    struct timespec l_x_Now;
    clock_gettime(CLOCK_MONOTONIC, &l_x_Now);
    return static_cast<uint32_t>(static_cast<uint64_t>(l_x_Now.tv_sec) * 1000u +
                                 static_cast<uint64_t>(l_x_Now.tv_nsec) / 1000000u);
#endif
}

void SystemDebugOutput(const char* i_pc_Line) {
#ifdef _WIN32
    OutputDebugStringA(i_pc_Line);
#else
    (void)i_pc_Line;
#endif
}

void SystemLocalDate(struct tm* o_px_Date) {
    time_t l_x_Now = time(nullptr);
#ifdef _WIN32
    localtime_s(o_px_Date, &l_x_Now);
#else
    localtime_r(&l_x_Now, o_px_Date);
#endif
}

// Appends the line as a text-mode file would hold it (every LF written as CR LF), with one
// write on a handle opened for appending only, so that lines of concurrent writers, in this
// process or another, never interleave inside a line.
void AppendLineToFile(const char* i_pc_FileName, const char* i_pc_Line) {
    static const size_t l_ul_MaxOut = 2 * TRACELOG_LINE_SIZE;
    char* l_puc_Out = static_cast<char*>(malloc(l_ul_MaxOut));
    if (l_puc_Out == nullptr) {
        return;
    }
    size_t l_ul_Len = 0;
    for (const char* l_pc = i_pc_Line; *l_pc != '\0' && l_ul_Len + 2 <= l_ul_MaxOut; ++l_pc) {
        if (*l_pc == '\n') {
            l_puc_Out[l_ul_Len++] = '\r';
        }
        l_puc_Out[l_ul_Len++] = *l_pc;
    }
#ifdef _WIN32
    HANDLE l_h_File = CreateFileA(i_pc_FileName, FILE_APPEND_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (l_h_File != INVALID_HANDLE_VALUE) {
        DWORD l_ul_Written = 0;
        WriteFile(l_h_File, l_puc_Out, static_cast<DWORD>(l_ul_Len), &l_ul_Written, nullptr);
        CloseHandle(l_h_File);
    }
#else
    int l_i_Fd = open(i_pc_FileName, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (l_i_Fd >= 0) {
        ssize_t l_i_Written = write(l_i_Fd, l_puc_Out, l_ul_Len);
        (void)l_i_Written;
        close(l_i_Fd);
    }
#endif
    free(l_puc_Out);
}

// Builds "<base>.YYYY.MM.DD.Txt": the pattern is first filled with the base name, then
// expanded as a time format, so a '%' in the base name would be taken as a conversion; the
// service's one base name has none.
void BuildDailyFileName(const char* i_pc_BaseName, const TraceLog_Seams& i_x_Seams,
                        char* o_pc_FileName) {
    char l_ac_Pattern[TRACELOG_FILENAME_SIZE];
    snprintf(l_ac_Pattern, sizeof(l_ac_Pattern), "%s.%%Y.%%m.%%d.Txt", i_pc_BaseName);
    struct tm l_x_Date;
    memset(&l_x_Date, 0, sizeof(l_x_Date));
    if (i_x_Seams.pf_LocalDate != nullptr) {
        i_x_Seams.pf_LocalDate(&l_x_Date);
    } else {
        SystemLocalDate(&l_x_Date);
    }
    if (strftime(o_pc_FileName, TRACELOG_FILENAME_SIZE, l_ac_Pattern, &l_x_Date) == 0) {
        o_pc_FileName[0] = '\0';
    }
}

// Formats one line (message, then thread id and tick count) and sends it to the debugger.
void BuildLineV(const TraceLog_Seams& i_x_Seams, char (&o_ac_Line)[TRACELOG_LINE_SIZE],
                const char* i_pc_Format, va_list i_x_Args) {
    char l_ac_Message[TRACELOG_MESSAGE_SIZE];
    if (vsnprintf(l_ac_Message, sizeof(l_ac_Message), i_pc_Format, i_x_Args) < 0) {
        l_ac_Message[0] = '\0';
    }
    const uint32_t l_ul_ThreadId =
        i_x_Seams.pf_GetThreadId != nullptr ? i_x_Seams.pf_GetThreadId() : SystemThreadId();
    const uint32_t l_ul_Tick =
        i_x_Seams.pf_GetTickCount != nullptr ? i_x_Seams.pf_GetTickCount() : SystemTickCount();
    snprintf(o_ac_Line, TRACELOG_LINE_SIZE, "%09ld %08X %s",
             static_cast<long>(static_cast<int32_t>(l_ul_Tick)),
             static_cast<unsigned int>(l_ul_ThreadId), l_ac_Message);
    if (i_x_Seams.pf_DebugOutput != nullptr) {
        i_x_Seams.pf_DebugOutput(o_ac_Line);
    } else {
        SystemDebugOutput(o_ac_Line);
    }
}

void BuildLine(const TraceLog_Seams& i_x_Seams, char (&o_ac_Line)[TRACELOG_LINE_SIZE],
               const char* i_pc_Format, ...) {
    va_list l_x_Args;
    va_start(l_x_Args, i_pc_Format);
    BuildLineV(i_x_Seams, o_ac_Line, i_pc_Format, l_x_Args);
    va_end(l_x_Args);
}

// Appends a line to the base name's file of the day. The caller holds the name lock.
void AppendToDailyFile(const char* i_pc_BaseName, const TraceLog_Seams& i_x_Seams,
                       const char* i_pc_Line) {
    char l_ac_FileName[TRACELOG_FILENAME_SIZE];
    BuildDailyFileName(i_pc_BaseName, i_x_Seams, l_ac_FileName);
    if (l_ac_FileName[0] != '\0') {
        AppendLineToFile(l_ac_FileName, i_pc_Line);
    }
}

// The switches' own lines, written with the name lock held.
void WriteSwitchLine(const char* i_pc_Format, const char* i_pc_BaseName) {
    CLastErrorKeeper l_x_Keep;
    const TraceLog_Seams l_x_Seams = CurrentSeams();
    char l_ac_Line[TRACELOG_LINE_SIZE];
    BuildLine(l_x_Seams, l_ac_Line, i_pc_Format, i_pc_BaseName);
    AppendToDailyFile(i_pc_BaseName, l_x_Seams, l_ac_Line);
}

char* DuplicateText(const char* i_pc_Text) {
    const size_t l_ul_Len = strlen(i_pc_Text) + 1;
    char* l_pc_Copy = static_cast<char*>(malloc(l_ul_Len));
    if (l_pc_Copy != nullptr) {
        memcpy(l_pc_Copy, i_pc_Text, l_ul_Len);
    }
    return l_pc_Copy;
}

FILE* OpenFile(const char* i_pc_Name, const char* i_pc_Mode) {
#ifdef _WIN32
    FILE* l_px_File = nullptr;
    if (fopen_s(&l_px_File, i_pc_Name, i_pc_Mode) != 0) {
        return nullptr;
    }
    return l_px_File;
#else
    return fopen(i_pc_Name, i_pc_Mode);
#endif
}

} // namespace

extern "C" {

void TraceLog_Printf(const char* i_pc_Format, ...) {
    const uint32_t l_ul_State = g_ul_State.load();
    if ((l_ul_State & 1u) == 0) {
        return;
    }
    CLastErrorKeeper l_x_Keep;
    const TraceLog_Seams l_x_Seams = CurrentSeams();
    char l_ac_Line[TRACELOG_LINE_SIZE];
    va_list l_x_Args;
    va_start(l_x_Args, i_pc_Format);
    BuildLineV(l_x_Seams, l_ac_Line, i_pc_Format, l_x_Args);
    va_end(l_x_Args);
    std::lock_guard<std::mutex> l_x_Guard(g_x_NameLock);
    if (g_ul_State.load() != l_ul_State) {
        return; // switched off meanwhile
    }
    AppendToDailyFile(g_pc_BaseName, l_x_Seams, l_ac_Line);
}

void TraceLog_SysError(const char* i_pc_Caption) {
    if ((g_ul_State.load() & 1u) == 0) {
        return;
    }
#ifdef _WIN32
    const DWORD l_ul_Error = GetLastError();
    char* l_pc_Text = static_cast<char*>(malloc(TRACELOG_MESSAGE_SIZE));
    if (l_pc_Text == nullptr) {
        return;
    }
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       l_ul_Error, 0x0400, l_pc_Text, TRACELOG_MESSAGE_SIZE, nullptr) == 0) {
        // No system text: the line still ends as a system text would have ended it.
        snprintf(l_pc_Text, TRACELOG_MESSAGE_SIZE, "\r\n");
    }
    TraceLog_Printf("%s (SysErr No:%d): %s", i_pc_Caption != nullptr ? i_pc_Caption : "",
                    static_cast<int>(l_ul_Error), l_pc_Text);
    free(l_pc_Text);
    SetLastError(l_ul_Error);
#else
    const int l_i_Error = errno;
    TraceLog_Printf("%s (SysErr No:%d): %s\r\n", i_pc_Caption != nullptr ? i_pc_Caption : "",
                    l_i_Error, strerror(l_i_Error));
    errno = l_i_Error;
#endif
}

void TraceLog_Enable(const char* i_pc_BaseName) {
    if (i_pc_BaseName == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> l_x_Guard(g_x_NameLock);
    if (g_pc_BaseName != nullptr) {
        return;
    }
    g_pc_BaseName = DuplicateText(i_pc_BaseName);
    if (g_pc_BaseName == nullptr) {
        return;
    }
    g_ul_State = SwitchedOnState(g_ul_State.load());
    WriteSwitchLine("%s Enable Log\n", g_pc_BaseName);
}

void TraceLog_Disable(void) {
    std::lock_guard<std::mutex> l_x_Guard(g_x_NameLock);
    if (g_pc_BaseName == nullptr) {
        return;
    }
    WriteSwitchLine("%s Disable Log\n", g_pc_BaseName);
    g_ul_State = g_ul_State.load() & ~1u;
    free(g_pc_BaseName);
    g_pc_BaseName = nullptr;
}

void TraceLog_EnableIfMarker(const char* i_pc_BaseName) {
    if (i_pc_BaseName == nullptr) {
        return;
    }
    FILE* l_px_Marker = OpenFile(i_pc_BaseName, "r");
    if (l_px_Marker == nullptr) {
        return;
    }
    fclose(l_px_Marker);
    char* l_pc_Copy = DuplicateText(i_pc_BaseName);
    if (l_pc_Copy == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> l_x_Guard(g_x_NameLock);
    // Already on: lines under way go to the new name, which is the current one.
    free(g_pc_BaseName);
    g_pc_BaseName = l_pc_Copy;
    if ((g_ul_State.load() & 1u) == 0) {
        g_ul_State = SwitchedOnState(g_ul_State.load());
    }
}

void TraceLog_CreateMarker(const char* i_pc_BaseName) {
    if (i_pc_BaseName == nullptr) {
        return;
    }
    FILE* l_px_Marker = OpenFile(i_pc_BaseName, "a");
    if (l_px_Marker != nullptr) {
        fclose(l_px_Marker);
    }
}

void TraceLog_DeleteMarker(const char* i_pc_BaseName) {
    if (i_pc_BaseName == nullptr) {
        return;
    }
    FILE* l_px_Marker = OpenFile(i_pc_BaseName, "a");
    if (l_px_Marker == nullptr) {
        return;
    }
    fclose(l_px_Marker);
    remove(i_pc_BaseName);
}

int TraceLog_IsEnabled(void) {
    return (g_ul_State.load() & 1u) != 0 ? 1 : 0;
}

void Serv_Tulvo_ApplyLogArguments(int i_i_Argc, char** i_ppc_Argv) {
    if (i_ppc_Argv == nullptr) {
        return;
    }
    for (int l_i = 0; l_i < i_i_Argc; ++l_i) {
        const char* l_pc_Arg = i_ppc_Argv[l_i];
        if (Tulvo_AsciiEqualNoCase(l_pc_Arg, "LogEventsEnable")) {
            TraceLog_Enable(TRACELOG_BASENAME);
            return;
        }
        if (Tulvo_AsciiEqualNoCase(l_pc_Arg, "LogEventsDisable")) {
            TraceLog_Disable();
            return;
        }
        if (Tulvo_AsciiEqualNoCase(l_pc_Arg, "LogEventsEnableLong")) {
            TraceLog_CreateMarker(TRACELOG_BASENAME);
            TraceLog_EnableIfMarker(TRACELOG_BASENAME);
            return;
        }
        if (Tulvo_AsciiEqualNoCase(l_pc_Arg, "LogEventsDisableLong")) {
            TraceLog_DeleteMarker(TRACELOG_BASENAME);
            TraceLog_Disable();
            return;
        }
    }
}

void TraceLog_SetSeams(const TraceLog_Seams* i_px_Seams) {
    std::lock_guard<std::mutex> l_x_Guard(g_x_SeamsLock);
    if (i_px_Seams == nullptr) {
        memset(&g_x_Seams, 0, sizeof(g_x_Seams));
    } else {
        g_x_Seams = *i_px_Seams;
    }
}

} // extern "C"
