// What a long run watches in a process to see it leak: handles, threads, private bytes.
#ifndef TULVO_TOOLS_PROCSTAT_PROCSTAT_H
#define TULVO_TOOLS_PROCSTAT_PROCSTAT_H

#include <stdint.h>

// Under Wine the private bytes are the resident private memory, and the handles are counted in
// the system's table of open handles: see ProcStat.cpp.

struct ProcStat_Sample {
    uint32_t m_ul_ProcessId;
    uint32_t m_ul_Handles;
    uint32_t m_ul_Threads;
    uint64_t m_ull_PrivateBytes;
};

// The process of that image name (case ignored; the first one found), or 0.
uint32_t ProcStat_FindProcess(const char* i_pc_ImageName);

// 0 when every figure was read, else the GetLastError() of the call that failed.
uint32_t ProcStat_Take(uint32_t i_ul_ProcessId, ProcStat_Sample* o_px_Sample);

#endif
