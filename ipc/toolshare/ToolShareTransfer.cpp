// Moving one message through a channel: length word and chunks through the section, one
// event per direction, each non-final chunk acknowledged by the reader.
//
// Every kernel call is a round trip to the kernel (under Wine to wineserver, tens of
// microseconds), so the paths below make only the calls that decide something:
//  - the section is mapped once, by the call that fills the record, and unmapped by
//    ToolShare_Close: a transfer maps nothing (a record filled by hand, without a view, maps
//    and unmaps one for each operation: two calls more);
//  - the writer's checks for stale signals, a lost peer and a set cancel event are one
//    zero-time-out wait on all four handles; only when something is signalled does it look
//    at each handle on its own;
//  - a reader whose data is already announced (the usual case after ToolShare_WaitData) tests
//    "incoming signalled and Running signalled" with one wait-all of zero time-out;
//  - an event is reset only where it can be signalled: after an acknowledged chunk the
//    writer has already cleared the reader's data event (the reader resets it before it
//    acknowledges) and the reader's acknowledgement was cleared by the writer before it wrote
//    the next chunk, so those resets are done only on the way out of a failed transfer;
//  - the writer waits for an acknowledgement with the acknowledgement last in its wait set,
//    so the wait itself tells that the peer and the cancel event were clear: the test of
//    both before each further chunk needs no call of its own.
// A single-chunk message therefore costs the writer three calls (Running, the combined
// check, the signal) and the reader five (ToolShare_WaitData: Running and the wait;
// ToolShare_ReadLenData: the wait-all; ToolShare_ReadData: the wait-all and the final reset),
// one call less on each side at an end without a Running event. Each further chunk of a
// long message costs the writer four calls (wait, reset of the acknowledgement, Running,
// signal) and the reader four (reset, acknowledgement, Running, wait).
#include "ipc/protocol/TulvoStatus.h"
#include "ipc/toolshare/ToolShare.h"
#include "ipc/toolshare/ToolShareInternal.h"
#include "service/TraceLog.h"

#include <atomic>
#include <stdlib.h>
#include <string.h>

namespace toolshare {

namespace {
std::atomic<uint32_t> g_ul_KernelCalls{0};
} // namespace

thread_local int t_i_TakenQuitExitCode = 0;

void CountKernelCall() {
    g_ul_KernelCalls.fetch_add(1, std::memory_order_relaxed);
}

} // namespace toolshare

using namespace toolshare;

namespace {

// Thin wrappers so that every kernel call of the transfer paths is counted.
DWORD KWait(DWORD i_ul_Count, const HANDLE* i_ph_Handles, bool i_b_All, DWORD i_ul_Timeout) {
    CountKernelCall();
    return WaitForMultipleObjects(i_ul_Count, i_ph_Handles, i_b_All ? TRUE : FALSE, i_ul_Timeout);
}
bool KIsSignalled(HANDLE i_h_Handle) {
    return KWait(1, &i_h_Handle, false, 0) == WAIT_OBJECT_0;
}
void KSetEvent(HANDLE i_h_Event) {
    CountKernelCall();
    SetEvent(i_h_Event);
}
void KResetEvent(HANDLE i_h_Event) {
    CountKernelCall();
    ResetEvent(i_h_Event);
}

// Running test: a record without a Running event passes.
bool RunningTestFails(const ToolShare_Channel* i_px_Channel) {
    return i_px_Channel->m_h_Running != nullptr && !KIsSignalled(i_px_Channel->m_h_Running);
}

// The wait set: the awaited event first, then the peer and the cancel event when present.
DWORD BuildWaitSet(HANDLE (&o_ah_Set)[3], HANDLE i_h_Awaited, const ToolShare_Channel* i_px_Channel,
                   HANDLE i_h_Cancel) {
    DWORD l_ul_Count = 0;
    o_ah_Set[l_ul_Count++] = i_h_Awaited;
    if (i_px_Channel->m_h_Peer != nullptr) {
        o_ah_Set[l_ul_Count++] = i_px_Channel->m_h_Peer;
    }
    if (i_h_Cancel != nullptr) {
        o_ah_Set[l_ul_Count++] = i_h_Cancel;
    }
    return l_ul_Count;
}

bool IsUsable(const ToolShare_Channel* i_px_Channel) {
    return i_px_Channel->m_h_Incoming != nullptr && i_px_Channel->m_h_Outgoing != nullptr &&
           i_px_Channel->m_h_Section != nullptr && i_px_Channel->m_ul_SectionSize != 0;
}

// The record's view of its section; a record without one gets a view for this operation.
class CSectionAccess {
public:
    explicit CSectionAccess(const ToolShare_Channel* i_px_Channel)
        : m_puc_View(i_px_Channel->m_puc_View) {
        if (m_puc_View == nullptr) {
            CountKernelCall();
            m_puc_View = MapSectionView(i_px_Channel->m_h_Section, i_px_Channel->m_ul_SectionSize);
            m_b_Temporary = m_puc_View != nullptr;
        }
    }
    ~CSectionAccess() {
        if (m_b_Temporary) {
            CountKernelCall();
            UnmapViewOfFile(m_puc_View);
        }
    }
    CSectionAccess(const CSectionAccess&) = delete;
    CSectionAccess& operator=(const CSectionAccess&) = delete;
    uint8_t* View() const { return m_puc_View; }

private:
    uint8_t* m_puc_View;
    bool m_b_Temporary = false;
};

// Writer's check before the first chunk: clears stale signals left by an interrupted
// transfer and tells whether the peer or the cancel event ends the write. With
// io_pb_PeerWrote, a message of the peer waiting in the section is kept and reported instead.
bool WriterFindsPeerOrCancelSet(const ToolShare_Channel* i_px_Channel, HANDLE i_h_Cancel,
                                bool* io_pb_PeerWrote) {
    HANDLE l_ah_Set[4] = {i_px_Channel->m_h_Incoming, i_px_Channel->m_h_Outgoing};
    DWORD l_ul_Count = 2;
    if (i_px_Channel->m_h_Peer != nullptr) {
        l_ah_Set[l_ul_Count++] = i_px_Channel->m_h_Peer;
    }
    if (i_h_Cancel != nullptr) {
        l_ah_Set[l_ul_Count++] = i_h_Cancel;
    }
    if (KWait(l_ul_Count, l_ah_Set, false, 0) == WAIT_TIMEOUT) {
        return false;
    }
    // Something is signalled: look at each handle.
    if (KIsSignalled(i_px_Channel->m_h_Incoming)) {
        if (io_pb_PeerWrote != nullptr) {
            *io_pb_PeerWrote = true;
            return false;
        }
        KResetEvent(i_px_Channel->m_h_Incoming);
    }
    if (KIsSignalled(i_px_Channel->m_h_Outgoing)) {
        KResetEvent(i_px_Channel->m_h_Outgoing);
    }
    return (i_px_Channel->m_h_Peer != nullptr && KIsSignalled(i_px_Channel->m_h_Peer)) ||
           (i_h_Cancel != nullptr && KIsSignalled(i_h_Cancel));
}

// Where a read puts what it takes: a caller's buffer of the whole length, or a buffer that
// grows with what has arrived, so that a length announced by another process costs memory
// only once the data is there.
class CReadTarget {
public:
    explicit CReadTarget(uint8_t* o_puc_Fixed) : m_puc_Data(o_puc_Fixed) {}
    CReadTarget() : m_b_Grow(true) {}
    ~CReadTarget() { free(m_b_Grow ? m_puc_Data : nullptr); }
    CReadTarget(const CReadTarget&) = delete;
    CReadTarget& operator=(const CReadTarget&) = delete;

    // Room for i_ul_Chunk bytes at i_ul_Done of a message of i_ul_Total bytes; NULL when the
    // buffer cannot grow. Doubling keeps the copies of a long message linear.
    uint8_t* Room(uint32_t i_ul_Done, uint32_t i_ul_Chunk, uint32_t i_ul_Total) {
        if (m_b_Grow && i_ul_Done + i_ul_Chunk > m_ul_Capacity) {
            uint32_t l_ul_Wanted = m_ul_Capacity > i_ul_Total / 2 ? i_ul_Total : 2 * m_ul_Capacity;
            if (l_ul_Wanted < i_ul_Done + i_ul_Chunk) {
                l_ul_Wanted = i_ul_Done + i_ul_Chunk;
            }
            uint8_t* const l_puc_Grown = static_cast<uint8_t*>(realloc(m_puc_Data, l_ul_Wanted));
            if (l_puc_Grown == nullptr) {
                return nullptr;
            }
            m_puc_Data = l_puc_Grown;
            m_ul_Capacity = l_ul_Wanted;
        }
        return m_puc_Data + i_ul_Done;
    }
    [[nodiscard]] uint8_t* Take() {
        uint8_t* const l_puc_Data = m_puc_Data;
        m_puc_Data = nullptr;
        return l_puc_Data;
    }

private:
    uint8_t* m_puc_Data = nullptr;
    uint32_t m_ul_Capacity = 0;
    bool m_b_Grow = false;
};

// One routine behind ToolShare_ReadLenData and the body reads: copies i_ul_Count bytes from
// data offset i_ul_Offset (relative to offset 4) on, waiting for and acknowledging chunks;
// consuming zeroes what it read and leaves the channel idle. Each wait lasts at most
// i_ul_Timeout, and all of them together at most i_ul_Total (INFINITE: no limit).
int32_t ReadChunks(ToolShare_Channel* io_px_Channel, uint32_t i_ul_Offset,
                   CReadTarget* io_px_Target, uint32_t i_ul_Count, HANDLE i_h_Cancel,
                   uint32_t i_ul_Timeout, uint32_t i_ul_Total, bool i_b_Consume) {
    if (!IsUsable(io_px_Channel)) {
        return TULVO_TS_BAD_ARGUMENT;
    }
    HANDLE l_ah_Set[3];
    DWORD l_ul_SetCount =
        BuildWaitSet(l_ah_Set, io_px_Channel->m_h_Incoming, io_px_Channel, i_h_Cancel);
    HANDLE l_ah_Ready[2] = {io_px_Channel->m_h_Incoming, io_px_Channel->m_h_Running};
    DWORD l_ul_ReadyCount = io_px_Channel->m_h_Running != nullptr ? 2 : 1;
    const DWORD l_ul_Start = i_ul_Total != INFINITE ? GetTickCount() : 0;

    int32_t l_i_Result = TULVO_OK;
    uint32_t l_ul_Done = 0;
    uint32_t l_ul_Offset = i_ul_Offset;
    uint32_t l_ul_Size = io_px_Channel->m_ul_SectionSize;
    CSectionAccess l_x_Access(io_px_Channel);
    for (;;) {
        // First chunk: usually announced already, so one wait-all answers both questions.
        bool l_b_Ready =
            l_ul_Done == 0 && KWait(l_ul_ReadyCount, l_ah_Ready, true, 0) == WAIT_OBJECT_0;
        if (!l_b_Ready) {
            if (RunningTestFails(io_px_Channel)) {
                l_i_Result = TULVO_TS_SERVER_NOT_RUNNING;
                break;
            }
            DWORD l_ul_Wait = i_ul_Timeout;
            if (i_ul_Total != INFINITE) {
                // Unsigned tick arithmetic: right across the wrap of the counter.
                const DWORD l_ul_Elapsed = GetTickCount() - l_ul_Start;
                const DWORD l_ul_Left = l_ul_Elapsed < i_ul_Total ? i_ul_Total - l_ul_Elapsed : 0;
                l_ul_Wait = l_ul_Left < l_ul_Wait ? l_ul_Left : l_ul_Wait;
            }
            l_ul_Wait = KWait(l_ul_SetCount, l_ah_Set, false, l_ul_Wait);
            if (l_ul_Wait == WAIT_TIMEOUT) {
                l_i_Result = TULVO_TS_TIMEOUT;
                break;
            }
            if (l_ul_Wait != WAIT_OBJECT_0) {
                l_i_Result = TULVO_TS_PEER_LOST;
                break;
            }
        }
        if (l_x_Access.View() == nullptr) {
            l_i_Result = TULVO_TS_CHANNEL_ERROR;
            break;
        }
        uint32_t l_ul_Room = l_ul_Size - 4 - l_ul_Offset;
        uint32_t l_ul_Chunk =
            i_ul_Count - l_ul_Done < l_ul_Room ? i_ul_Count - l_ul_Done : l_ul_Room;
        uint8_t* l_puc_Source = l_x_Access.View() + 4 + l_ul_Offset;
        if (l_ul_Chunk != 0) {
            uint8_t* const l_puc_Target = io_px_Target->Room(l_ul_Done, l_ul_Chunk, i_ul_Count);
            if (l_puc_Target == nullptr) {
                l_i_Result = TULVO_NO_MEMORY;
                break;
            }
            memcpy(l_puc_Target, l_puc_Source, l_ul_Chunk);
            if (i_b_Consume) {
                memset(l_puc_Source, 0, l_ul_Chunk);
            }
        }
        l_ul_Done += l_ul_Chunk;
        if (l_ul_Done >= i_ul_Count) {
            break;
        }
        // Acknowledge: the writer may now put the next chunk at offset 4.
        KResetEvent(io_px_Channel->m_h_Incoming);
        KSetEvent(io_px_Channel->m_h_Outgoing);
        l_ul_Offset = 0;
    }
    if (l_i_Result != TULVO_OK) {
        // Withdraw an acknowledgement the writer has not taken: it must not write into a
        // transfer this reader has given up.
        KResetEvent(io_px_Channel->m_h_Outgoing);
    }
    // A message that Running found reset kept from being read at all stays announced: another
    // process may reset Running for a moment, and a later read still takes the whole message.
    if (i_b_Consume && (l_ul_Done != 0 || l_i_Result != TULVO_TS_SERVER_NOT_RUNNING)) {
        KResetEvent(io_px_Channel->m_h_Incoming);
    }
    return l_i_Result;
}

} // namespace

int ToolShare_TakenQuitExitCode(void) {
    return t_i_TakenQuitExitCode;
}

uint32_t ToolShare_GetKernelCallCount(void) {
    return g_ul_KernelCalls.load(std::memory_order_relaxed);
}

int32_t ToolShare_WriteLenDataAndData(ToolShare_Channel* io_px_Channel, const uint8_t* i_puc_Data,
                                      uint32_t i_ul_Length, HANDLE i_h_Cancel,
                                      uint32_t i_ul_Timeout, bool i_b_UnlessPeerWrote) {
    if (io_px_Channel == nullptr || !IsUsable(io_px_Channel) ||
        (i_puc_Data == nullptr && i_ul_Length != 0)) {
        return TULVO_TS_BAD_ARGUMENT;
    }
    // The acknowledgement goes last: a wait that returns it has also found the peer and the
    // cancel event clear, which is what the test before each further chunk has to know.
    HANDLE l_ah_Set[3];
    DWORD l_ul_SetCount = 0;
    if (io_px_Channel->m_h_Peer != nullptr) {
        l_ah_Set[l_ul_SetCount++] = io_px_Channel->m_h_Peer;
    }
    if (i_h_Cancel != nullptr) {
        l_ah_Set[l_ul_SetCount++] = i_h_Cancel;
    }
    l_ah_Set[l_ul_SetCount++] = io_px_Channel->m_h_Incoming;
    const DWORD l_ul_Acknowledged = WAIT_OBJECT_0 + l_ul_SetCount - 1;
    CSectionAccess l_x_Access(io_px_Channel);
    uint32_t l_ul_Size = io_px_Channel->m_ul_SectionSize;
    uint32_t l_ul_Header = 4;
    uint32_t l_ul_Done = 0;
    for (;;) {
        if (RunningTestFails(io_px_Channel)) {
            return TULVO_TS_SERVER_NOT_RUNNING;
        }
        bool l_b_PeerWrote = false;
        if (l_ul_Header != 0 &&
            WriterFindsPeerOrCancelSet(io_px_Channel, i_h_Cancel,
                                       i_b_UnlessPeerWrote ? &l_b_PeerWrote : nullptr)) {
            return TULVO_TS_PEER_LOST;
        }
        if (l_b_PeerWrote) {
            return TOOLSHARE_PEER_WROTE_FIRST;
        }
        if (l_x_Access.View() == nullptr) {
            return TULVO_TS_CHANNEL_ERROR;
        }
        uint32_t l_ul_Room = l_ul_Size - 4 - l_ul_Header;
        uint32_t l_ul_Chunk =
            i_ul_Length - l_ul_Done < l_ul_Room ? i_ul_Length - l_ul_Done : l_ul_Room;
        uint8_t* l_puc_Target = l_x_Access.View() + TOOLSHARE_OFFSET_LENGTH;
        if (l_ul_Header != 0) {
            PutBe32(l_puc_Target, i_ul_Length);
        }
        if (l_ul_Chunk != 0) {
            memcpy(l_puc_Target + l_ul_Header, i_puc_Data + l_ul_Done, l_ul_Chunk);
        }
        l_ul_Done += l_ul_Chunk;
        KSetEvent(io_px_Channel->m_h_Outgoing);
        if (l_ul_Done >= i_ul_Length) {
            return TULVO_OK;
        }
        DWORD l_ul_Wait = KWait(l_ul_SetCount, l_ah_Set, false, i_ul_Timeout);
        // The acknowledgement is taken; the reader reset our data event before it gave it.
        KResetEvent(io_px_Channel->m_h_Incoming);
        if (l_ul_Wait != l_ul_Acknowledged) {
            // Leave the rest unsent and withdraw the chunk nobody took.
            KResetEvent(io_px_Channel->m_h_Outgoing);
            return l_ul_Wait == WAIT_TIMEOUT ? TULVO_TS_TIMEOUT : TULVO_TS_PEER_LOST;
        }
        l_ul_Header = 0;
    }
}

int32_t ToolShare_WaitData(ToolShare_Channel* io_px_Channel, HANDLE i_h_Cancel,
                           uint32_t i_ul_Timeout) {
    if (io_px_Channel == nullptr || io_px_Channel->m_h_Incoming == nullptr) {
        return TULVO_TS_BAD_ARGUMENT;
    }
    if (RunningTestFails(io_px_Channel)) {
        return TULVO_TS_SERVER_NOT_RUNNING;
    }
    HANDLE l_ah_Set[3];
    DWORD l_ul_Count =
        BuildWaitSet(l_ah_Set, io_px_Channel->m_h_Incoming, io_px_Channel, i_h_Cancel);
    // QS_ALLINPUT of Windows 8 (with touch and pointer input) makes Windows 7 fail the call
    // with ERROR_INVALID_PARAMETER; there the older mask says the same.
    static const DWORD s_ul_WakeMask = [] {
        OSVERSIONINFOA l_x_Version = {};
        l_x_Version.dwOSVersionInfoSize = sizeof(l_x_Version);
        bool l_b_Win8 = GetVersionExA(&l_x_Version) &&
                        (l_x_Version.dwMajorVersion > 6 ||
                         (l_x_Version.dwMajorVersion == 6 && l_x_Version.dwMinorVersion >= 2));
        return l_b_Win8 ? DWORD(0x1CFF) : DWORD(0x04FF);
    }();

    DWORD l_ul_Start = (i_ul_Timeout != INFINITE) ? GetTickCount() : 0;
    DWORD l_ul_Remaining = i_ul_Timeout;
    for (;;) {
        CountKernelCall();
        DWORD l_ul_Wait =
            MsgWaitForMultipleObjects(l_ul_Count, l_ah_Set, FALSE, l_ul_Remaining, s_ul_WakeMask);
        if (l_ul_Wait == WAIT_OBJECT_0) {
            return TULVO_OK;
        }
        if (l_ul_Wait == WAIT_TIMEOUT) {
            return TULVO_TS_TIMEOUT;
        }
        if (l_ul_Wait != WAIT_OBJECT_0 + l_ul_Count) {
            return TULVO_TS_PEER_LOST;
        }
        MSG l_x_Message;
        while (PeekMessageA(&l_x_Message, nullptr, 0, 0, PM_REMOVE)) {
            if (l_x_Message.message == WM_QUIT) {
                t_i_TakenQuitExitCode = static_cast<int>(l_x_Message.wParam);
                return 1;
            }
            DispatchMessageA(&l_x_Message);
        }
        if (i_ul_Timeout != INFINITE) {
            // Unsigned tick arithmetic: correct across the 49.7-day wrap of the counter.
            DWORD l_ul_Elapsed = GetTickCount() - l_ul_Start;
            if (l_ul_Elapsed >= i_ul_Timeout) {
                return TULVO_TS_TIMEOUT;
            }
            l_ul_Remaining = i_ul_Timeout - l_ul_Elapsed;
        }
    }
}

int32_t ToolShare_ReadLenData(ToolShare_Channel* io_px_Channel, uint32_t* o_pul_Length,
                              HANDLE i_h_Cancel, uint32_t i_ul_Timeout, uint32_t i_ul_MaxLength) {
    if (o_pul_Length != nullptr) {
        *o_pul_Length = 0;
    }
    if (io_px_Channel == nullptr || o_pul_Length == nullptr) {
        return TULVO_TS_BAD_ARGUMENT;
    }
    uint8_t l_auc_Length[4] = {};
    CReadTarget l_x_Target(l_auc_Length);
    int32_t l_i_Result =
        ReadChunks(io_px_Channel, 0, &l_x_Target, 4, i_h_Cancel, i_ul_Timeout, INFINITE, false);
    if (l_i_Result != TULVO_OK) {
        return l_i_Result;
    }
    uint32_t l_ul_Length = GetBe32(l_auc_Length);
    if (i_ul_MaxLength > TOOLSHARE_MAX_MESSAGE_LENGTH) {
        i_ul_MaxLength = TOOLSHARE_MAX_MESSAGE_LENGTH;
    }
    if (l_ul_Length > i_ul_MaxLength) {
        // Nobody may allocate what the other process announces without a bound. The
        // message is dropped: its first chunk is wiped and the channel left idle, so the
        // next request starts clean; a writer waiting for an acknowledgement times out.
        TraceLog_Printf("ToolShare_ReadLenData: announced length %lu above the limit %lu\n",
                        static_cast<unsigned long>(l_ul_Length),
                        static_cast<unsigned long>(i_ul_MaxLength));
        CSectionAccess l_x_Access(io_px_Channel);
        if (l_x_Access.View() != nullptr) {
            memset(l_x_Access.View() + TOOLSHARE_OFFSET_LENGTH, 0,
                   io_px_Channel->m_ul_SectionSize - TOOLSHARE_OFFSET_LENGTH);
        }
        KResetEvent(io_px_Channel->m_h_Incoming);
        return TULVO_TS_CHANNEL_ERROR;
    }
    *o_pul_Length = l_ul_Length;
    return TULVO_OK;
}

int32_t ToolShare_ReadData(ToolShare_Channel* io_px_Channel, uint8_t* o_puc_Data,
                           uint32_t i_ul_Length, HANDLE i_h_Cancel, uint32_t i_ul_Timeout) {
    if (io_px_Channel == nullptr || (o_puc_Data == nullptr && i_ul_Length != 0)) {
        return TULVO_TS_BAD_ARGUMENT;
    }
    CReadTarget l_x_Target(o_puc_Data);
    return ReadChunks(io_px_Channel, 4, &l_x_Target, i_ul_Length, i_h_Cancel, i_ul_Timeout,
                      INFINITE, true);
}

int32_t ToolShare_ReadDataAlloc(ToolShare_Channel* io_px_Channel, uint32_t i_ul_Length,
                                uint8_t** o_ppuc_Data, HANDLE i_h_Cancel, uint32_t i_ul_Timeout,
                                uint32_t i_ul_Deadline) {
    if (o_ppuc_Data != nullptr) {
        *o_ppuc_Data = nullptr;
    }
    if (io_px_Channel == nullptr || o_ppuc_Data == nullptr) {
        return TULVO_TS_BAD_ARGUMENT;
    }
    CReadTarget l_x_Target;
    const int32_t l_i_Result = ReadChunks(io_px_Channel, 4, &l_x_Target, i_ul_Length, i_h_Cancel,
                                          i_ul_Timeout, i_ul_Deadline, true);
    if (l_i_Result != TULVO_OK) {
        return l_i_Result;
    }
    // An empty message still comes back as a buffer.
    *o_ppuc_Data = l_x_Target.Take();
    if (*o_ppuc_Data == nullptr) {
        *o_ppuc_Data = static_cast<uint8_t*>(malloc(1));
    }
    return *o_ppuc_Data != nullptr ? TULVO_OK : TULVO_NO_MEMORY;
}

int32_t ToolShare_CancelWaitData(HANDLE i_h_Cancel) {
    if (i_h_Cancel == nullptr) {
        return TULVO_TS_CHANNEL_ERROR;
    }
    SetEvent(i_h_Cancel);
    return TULVO_OK;
}
