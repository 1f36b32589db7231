#include "tools/procstat/ProcStat.h"

#include <windows.h>

// These need windows.h first.
#include <psapi.h>
#include <tlhelp32.h>

#include <string.h>

#include <vector>

namespace {

class CHandle {
public:
    explicit CHandle(HANDLE i_h_Handle) : m_h_Handle(i_h_Handle) {}
    ~CHandle() {
        if (Valid()) {
            CloseHandle(m_h_Handle);
        }
    }
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;
    bool Valid() const { return m_h_Handle != nullptr && m_h_Handle != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return m_h_Handle; }

private:
    HANDLE m_h_Handle;
};

// A thread snapshot rather than the process entry's cntThreads: that count is taken when the
// process list is built, the snapshot lists the threads that exist now.
uint32_t CountThreads(uint32_t i_ul_ProcessId, uint32_t* o_pul_Threads) {
    const CHandle l_x_Snap(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!l_x_Snap.Valid()) {
        return GetLastError();
    }
    THREADENTRY32 l_x_Entry = {};
    l_x_Entry.dwSize = sizeof(l_x_Entry);
    uint32_t l_ul_Count = 0;
    for (BOOL l_b_More = Thread32First(l_x_Snap.Get(), &l_x_Entry); l_b_More;
         l_b_More = Thread32Next(l_x_Snap.Get(), &l_x_Entry)) {
        l_ul_Count += l_x_Entry.th32OwnerProcessID == i_ul_ProcessId ? 1 : 0;
    }
    *o_pul_Threads = l_ul_Count;
    return 0;
}

// The system's table of every open handle, as NtQuerySystemInformation gives it (class 64).
struct SHandleEntry {
    PVOID m_pv_Object;
    ULONG_PTR m_ul_ProcessId;
    ULONG_PTR m_ul_Handle;
    ULONG m_ul_Access;
    USHORT m_us_BackTrace;
    USHORT m_us_Type;
    ULONG m_ul_Attributes;
    ULONG m_ul_Reserved;
};
struct SHandleTable {
    ULONG_PTR m_ul_Count;
    ULONG_PTR m_ul_Reserved;
    SHandleEntry m_ax_Entries[1];
};
const ULONG g_ul_ExtendedHandleInformation = 64;

// Wine answers GetProcessHandleCount with 0 handles, and the count in its process list is the
// size of the process's handle table, which grows by doubling; its table of open handles is
// exact.
uint32_t CountListedHandles(uint32_t i_ul_ProcessId, uint32_t* o_pul_Handles) {
    typedef LONG(WINAPI * TQuery)(ULONG, PVOID, ULONG, PULONG);
    const TQuery l_pf_Query = reinterpret_cast<TQuery>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (l_pf_Query == nullptr) {
        return GetLastError();
    }
    const LONG l_l_TooSmall = static_cast<LONG>(0xC0000004L);
    std::vector<unsigned char> l_x_Table(256 * 1024);
    LONG l_l_Status = l_l_TooSmall;
    while (l_l_Status == l_l_TooSmall && l_x_Table.size() <= 256u * 1024 * 1024) {
        ULONG l_ul_Needed = 0;
        l_l_Status = l_pf_Query(g_ul_ExtendedHandleInformation, l_x_Table.data(),
                                static_cast<ULONG>(l_x_Table.size()), &l_ul_Needed);
        if (l_l_Status == l_l_TooSmall) {
            l_x_Table.resize(l_x_Table.size() * 2);
        }
    }
    if (l_l_Status != 0) {
        return ERROR_GEN_FAILURE;
    }
    const SHandleTable* const l_px_Table = reinterpret_cast<const SHandleTable*>(l_x_Table.data());
    uint32_t l_ul_Count = 0;
    for (ULONG_PTR l_ul_At = 0; l_ul_At < l_px_Table->m_ul_Count; ++l_ul_At) {
        l_ul_Count += l_px_Table->m_ax_Entries[l_ul_At].m_ul_ProcessId == i_ul_ProcessId ? 1 : 0;
    }
    *o_pul_Handles = l_ul_Count;
    return 0;
}

} // namespace

uint32_t ProcStat_FindProcess(const char* i_pc_ImageName) {
    const CHandle l_x_Snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!l_x_Snap.Valid()) {
        return 0;
    }
    PROCESSENTRY32 l_x_Entry = {};
    l_x_Entry.dwSize = sizeof(l_x_Entry);
    for (BOOL l_b_More = Process32First(l_x_Snap.Get(), &l_x_Entry); l_b_More;
         l_b_More = Process32Next(l_x_Snap.Get(), &l_x_Entry)) {
        if (_stricmp(l_x_Entry.szExeFile, i_pc_ImageName) == 0) {
            return l_x_Entry.th32ProcessID;
        }
    }
    return 0;
}

uint32_t ProcStat_Take(uint32_t i_ul_ProcessId, ProcStat_Sample* o_px_Sample) {
    *o_px_Sample = ProcStat_Sample();
    o_px_Sample->m_ul_ProcessId = i_ul_ProcessId;
    const CHandle l_x_Process(
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, i_ul_ProcessId));
    if (!l_x_Process.Valid()) {
        return GetLastError();
    }
    DWORD l_ul_Handles = 0;
    if (!GetProcessHandleCount(l_x_Process.Get(), &l_ul_Handles)) {
        return GetLastError();
    }
    PROCESS_MEMORY_COUNTERS_EX l_x_Memory = {};
    l_x_Memory.cb = sizeof(l_x_Memory);
    if (!GetProcessMemoryInfo(l_x_Process.Get(),
                              reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&l_x_Memory),
                              sizeof(l_x_Memory))) {
        return GetLastError();
    }
    o_px_Sample->m_ul_Handles = l_ul_Handles;
    if (l_ul_Handles == 0) {
        const uint32_t l_ul_Error = CountListedHandles(i_ul_ProcessId, &o_px_Sample->m_ul_Handles);
        if (l_ul_Error != 0) {
            return l_ul_Error;
        }
    }
    // Windows' private bytes equal its page-file usage; Wine fills only the latter, with the
    // process's resident private memory (Linux's RssAnon).
    o_px_Sample->m_ull_PrivateBytes =
        l_x_Memory.PrivateUsage != 0 ? l_x_Memory.PrivateUsage : l_x_Memory.PagefileUsage;
    return CountThreads(i_ul_ProcessId, &o_px_Sample->m_ul_Threads);
}
