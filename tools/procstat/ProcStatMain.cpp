// tulvo_procstat: one line of figures for a process, for scripts that watch a long run.
#include "tools/procstat/ProcStat.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const char g_ac_Usage[] =
    "tulvo_procstat - handle count, thread count and private bytes of a running process\n"
    "\n"
    "Usage: tulvo_procstat IMAGE.exe | PID\n"
    "\n"
    "Prints one line: pid=N handles=N threads=N private=BYTES\n"
    "Exit code: 0 done, 1 no such process, 2 a figure could not be read (the line then\n"
    "says which Windows error), 3 bad arguments.\n";

} // namespace

int main(int argc, char** argv) {
    if (argc != 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        fputs(g_ac_Usage, argc == 2 ? stdout : stderr);
        return argc == 2 ? 0 : 3;
    }
    char* l_pc_End = nullptr;
    uint32_t l_ul_Pid = static_cast<uint32_t>(strtoul(argv[1], &l_pc_End, 0));
    if (*l_pc_End != '\0' || l_ul_Pid == 0) {
        l_ul_Pid = ProcStat_FindProcess(argv[1]);
    }
    if (l_ul_Pid == 0) {
        printf("no process %s\n", argv[1]);
        return 1;
    }
    ProcStat_Sample l_x_Sample;
    const uint32_t l_ul_Error = ProcStat_Take(l_ul_Pid, &l_x_Sample);
    if (l_ul_Error != 0) {
        printf("pid=%lu error=%lu\n", static_cast<unsigned long>(l_ul_Pid),
               static_cast<unsigned long>(l_ul_Error));
        return 2;
    }
    printf("pid=%lu handles=%lu threads=%lu private=%llu\n",
           static_cast<unsigned long>(l_x_Sample.m_ul_ProcessId),
           static_cast<unsigned long>(l_x_Sample.m_ul_Handles),
           static_cast<unsigned long>(l_x_Sample.m_ul_Threads),
           static_cast<unsigned long long>(l_x_Sample.m_ull_PrivateBytes));
    return 0;
}
