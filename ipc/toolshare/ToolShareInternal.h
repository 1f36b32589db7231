// Helpers shared by the files of the transport; not for other modules.
#ifndef TULVO_IPC_TOOLSHARE_TOOLSHAREINTERNAL_H
#define TULVO_IPC_TOOLSHARE_TOOLSHAREINTERNAL_H

#include "ipc/toolshare/ToolShare.h"

#include <stdint.h>

namespace toolshare {

inline uint32_t GetBe32(const uint8_t* i_puc_Bytes) {
    return (uint32_t(i_puc_Bytes[0]) << 24) | (uint32_t(i_puc_Bytes[1]) << 16) |
           (uint32_t(i_puc_Bytes[2]) << 8) | uint32_t(i_puc_Bytes[3]);
}

inline void PutBe32(uint8_t* o_puc_Bytes, uint32_t i_ul_Value) {
    o_puc_Bytes[0] = uint8_t(i_ul_Value >> 24);
    o_puc_Bytes[1] = uint8_t(i_ul_Value >> 16);
    o_puc_Bytes[2] = uint8_t(i_ul_Value >> 8);
    o_puc_Bytes[3] = uint8_t(i_ul_Value);
}

// Closes a handle if there is one and clears the variable.
inline void CloseAndClear(HANDLE* io_ph_Handle) {
    if (io_ph_Handle != nullptr && *io_ph_Handle != nullptr) {
        CloseHandle(*io_ph_Handle);
        *io_ph_Handle = nullptr;
    }
}

// Owns a kernel handle inside one function. Valid means neither NULL nor
// INVALID_HANDLE_VALUE; storing a handle keeps the caller's last error.
class CScopedHandle {
public:
    CScopedHandle() = default;
    explicit CScopedHandle(HANDLE i_h_Handle) { Set(i_h_Handle); }
    ~CScopedHandle() { Close(); }
    CScopedHandle(const CScopedHandle&) = delete;
    CScopedHandle& operator=(const CScopedHandle&) = delete;

    bool IsValid() const { return m_h_Handle != nullptr; }
    HANDLE Get() const { return m_h_Handle; }
    void Set(HANDLE i_h_Handle) {
        DWORD l_ul_Error = GetLastError();
        Close();
        m_h_Handle = (i_h_Handle == INVALID_HANDLE_VALUE) ? nullptr : i_h_Handle;
        SetLastError(l_ul_Error);
    }
    [[nodiscard]] HANDLE Take() {
        HANDLE l_h_Handle = m_h_Handle;
        m_h_Handle = nullptr;
        return l_h_Handle;
    }
    void Close() {
        if (m_h_Handle != nullptr) {
            CloseHandle(m_h_Handle);
            m_h_Handle = nullptr;
        }
    }

private:
    HANDLE m_h_Handle = nullptr;
};

// Formats "Global\<base><suffix>" or "<base><suffix>" into o_ac_Name; false when the base
// name is too long for the buffer (never cut).
bool FormatObjectName(char (&o_ac_Name)[TOOLSHARE_NAME_SIZE], bool i_b_Global,
                      const char* i_pc_BaseName, const char* i_pc_Suffix);

// Checks a base name for the named-object rules; TULVO_OK or TULVO_TS_BAD_ARGUMENT (logged).
int32_t CheckBaseName(const char* i_pc_Caller, const char* i_pc_BaseName);

// Maps a whole section for reading and writing and checks that i_ul_SectionSize fits in the
// mapping; NULL (logged) when it cannot be mapped or the size word is not sane.
uint8_t* MapSectionView(HANDLE i_h_Section, uint32_t i_ul_SectionSize);

// True while the record holds a channel object or a view.
bool HoldsChannel(const ToolShare_Channel* i_px_Channel);

// After WAIT_ABANDONED the calling thread already owns the mutex, and the second wait that
// follows adds a second level of ownership. Callers release once per successful acquisition,
// so the extra level is given back here: after a second wait that owns the mutex, one
// release (the caller keeps exactly one level); after any other second result, which the
// caller reports as a failure and never releases, every level taken is given back.
// The caller's last error is kept for its log line.
void BalanceAbandonedOwnership(HANDLE i_h_Mutex, DWORD i_ul_SecondWait);

// Counts one kernel call made by a transfer operation.
void CountKernelCall();

} // namespace toolshare

#endif
