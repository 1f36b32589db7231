#include "device/manager/GestVekPipe.h"

#include "device/link/Ilv.h"
#include "device/manager/GestVek.h"
#include "device/manager/GestVekRecords.h"
#include "ipc/protocol/TulvoStatus.h"
#include "ipc/toolshare/ToolShare.h"
#include "service/TraceLog.h"

#include <stdlib.h>
#include <string.h>

namespace {

HANDLE CreatePipeEvent(BOOL i_b_Signalled, const char* i_pc_Caption) {
    HANDLE l_h_Event = CreateEventA(nullptr, TRUE, i_b_Signalled, nullptr);
    if (l_h_Event == nullptr) {
        TraceLog_SysError(i_pc_Caption);
    }
    return l_h_Event;
}

HANDLE CreatePipeMutex(const char* i_pc_Caption) {
    HANDLE l_h_Mutex = CreateMutexA(nullptr, FALSE, nullptr);
    if (l_h_Mutex == nullptr) {
        TraceLog_SysError(i_pc_Caption);
    }
    return l_h_Mutex;
}

// The mailbox mutex: always the quiet form with the 50 ms limit; its callers log in their own
// words.
int32_t LockMailbox(HANDLE i_h_Mutex) {
    GestVek_CountKernelCall();
    return GetTheMutex(i_h_Mutex, GESTVEK_PIPE_MAILBOX_WAIT_MS, TOOLSHARE_MUTEX_QUIET);
}

void UnlockMailbox(HANDLE i_h_Mutex) {
    GestVek_CountKernelCall();
    ReleaseTheMutex(i_h_Mutex, TOOLSHARE_MUTEX_QUIET);
}

void CloseIfAny(HANDLE i_h_Handle) {
    if (i_h_Handle != nullptr) {
        CloseHandle(i_h_Handle);
    }
}

} // namespace

CGestVek_Pipe::CGestVek_Pipe(CGestVek* i_px_Owner, int32_t i_i_PipeIndex,
                             const char* i_pc_SerialNumber)
    : m_h_EventStop(nullptr), m_pc_SerialNumber(i_pc_SerialNumber), m_px_Owner(i_px_Owner),
      m_h_ReceivedFrameEvent(nullptr), m_h_FreeFrameEvent(nullptr), m_h_ReadMutex(nullptr),
      m_h_VekAccessMutex(nullptr), m_puc_Data(nullptr), m_ul_DataLen(0),
      m_i_PipeIndex(i_i_PipeIndex), m_ppx_LockHolder(nullptr), m_b_ReceivedSet(false),
      m_b_FreeSet(true), m_b_Stopped(false), m_b_DepositorWaiting(false),
      m_x_HolderLock(SRWLOCK_INIT), m_ul_HolderProcessId(0), m_ul_HolderThreadId(0),
      m_ull_HeldSince(0), m_ul_HolderDepth(0), m_us_HolderWrote(0), m_us_HolderAwaited(0),
      m_ul_ReleasedProcessId(0), m_ul_ReleasedThreadId(0), m_ul_HolderWriteTimeout(0),
      m_ull_HolderWrittenAt(0), m_us_OwedIdentifier(0), m_ul_OwedCount(0), m_ull_OwedUntil(0),
      m_ul_OwedProcessId(0) {
    if ((m_h_EventStop = CreatePipeEvent(
             FALSE, "CGestVek_Pipe::CGestVek_Pipe: CreateEvent m_h_EventStop")) == nullptr ||
        (m_h_ReceivedFrameEvent = CreatePipeEvent(
             FALSE, "CGestVek_Pipe::CGestVek_Pipe: CreateEvent m_h_ReceivedFrameEvent")) ==
            nullptr ||
        (m_h_FreeFrameEvent = CreatePipeEvent(
             TRUE, "CGestVek_Pipe::CGestVek_Pipe: CreateEvent m_h_FreeFrameEvent")) == nullptr ||
        (m_h_ReadMutex = CreatePipeMutex(
             "CGestVek_Pipe::CGestVek_Pipe: CreateMutex m_h_ReadMutex")) == nullptr) {
        return;
    }
    m_h_VekAccessMutex =
        CreatePipeMutex("CGestVek_Pipe::CGestVek_Pipe: CreateMutex m_h_VekAccessMutex");
}

CGestVek_Pipe::~CGestVek_Pipe() {
    CloseIfAny(m_h_FreeFrameEvent);
    CloseIfAny(m_h_ReceivedFrameEvent);
    CloseIfAny(m_h_EventStop);
    CloseIfAny(m_h_ReadMutex);
    CloseIfAny(m_h_VekAccessMutex);
    // Stop has emptied the mailbox unless its mutex could not be had.
    free(m_puc_Data);
}

void CGestVek_Pipe::DiscardUnread() {
    free(m_puc_Data);
    m_puc_Data = nullptr;
    m_ul_DataLen = 0;
}

int32_t CGestVek_Pipe::MarkReceived(bool i_b_Set, const char* i_pc_Caption) {
    if (m_b_ReceivedSet == i_b_Set) {
        return TULVO_OK;
    }
    GestVek_CountKernelCall();
    if (!(i_b_Set ? SetEvent(m_h_ReceivedFrameEvent) : ResetEvent(m_h_ReceivedFrameEvent))) {
        TraceLog_SysError(i_pc_Caption);
        return TULVO_SIGNAL_ERROR;
    }
    m_b_ReceivedSet = i_b_Set;
    return TULVO_OK;
}

int32_t CGestVek_Pipe::MarkFree(bool i_b_Set, const char* i_pc_Caption) {
    if (m_b_FreeSet == i_b_Set) {
        return TULVO_OK;
    }
    GestVek_CountKernelCall();
    if (!(i_b_Set ? SetEvent(m_h_FreeFrameEvent) : ResetEvent(m_h_FreeFrameEvent))) {
        TraceLog_SysError(i_pc_Caption);
        return TULVO_SIGNAL_ERROR;
    }
    m_b_FreeSet = i_b_Set;
    return TULVO_OK;
}

bool CGestVek_Pipe::HasLiveLockHolder() const {
    GestVekPipe_ConnectionSlot* l_ppx_Holder = m_ppx_LockHolder;
    return l_ppx_Holder != nullptr && *l_ppx_Holder != nullptr;
}

void CGestVek_Pipe::WakeWaitingDepositor(const char* i_pc_Caption, int32_t* io_pi_Status) {
    if (m_b_DepositorWaiting) {
        const int32_t l_i_Status = MarkFree(true, i_pc_Caption);
        if (l_i_Status != TULVO_OK) {
            *io_pi_Status = l_i_Status;
        }
    }
}

DWORD CGestVek_Pipe::WaitForRoom() {
    MarkFree(false, "CGestVek_Pipe::ReadFrame: ResetEvent");
    m_b_DepositorWaiting = true;
    UnlockMailbox(m_h_ReadMutex);
    HANDLE l_ah_Wait[2] = {m_h_EventStop, m_h_FreeFrameEvent};
    GestVek_CountKernelCall();
    return WaitForMultipleObjects(2, l_ah_Wait, FALSE, GESTVEK_PIPE_DEPOSIT_WAIT_MS);
}

int32_t CGestVek_Pipe::SetReadEvent(uint8_t* i_puc_Data, uint32_t i_ul_DataLen) {
    if (m_b_Stopped) {
        TraceLog_Printf("CGestVek_Pipe::SetReadEvent: WaitForSingleObject STOP\n");
        free(i_puc_Data);
        i_puc_Data = nullptr;
        i_ul_DataLen = 0;
    }
    if (i_puc_Data != nullptr && DiscardIfOwed(i_puc_Data, i_ul_DataLen)) {
        return TULVO_OK;
    }
    if (LockMailbox(m_h_ReadMutex) != TULVO_OK) {
        TraceLog_Printf("CGestVek_Pipe::SetReadEvent: GetTheMutex Error lost frame\n");
        free(i_puc_Data);
        return TULVO_OK;
    }
    if (i_puc_Data != nullptr && m_puc_Data != nullptr) {
        // The reader gets up to 1000 ms to take the unread frame; the stop ends the wait.
        const DWORD l_ul_Wait = WaitForRoom();
        if (l_ul_Wait == WAIT_TIMEOUT) {
            TraceLog_Printf("CGestVek_Pipe::SetReadEvent: WaitForSingleObject WAIT_TIMEOUT\n");
        } else if (l_ul_Wait == WAIT_OBJECT_0) {
            TraceLog_Printf("CGestVek_Pipe::SetReadEvent: WaitForSingleObject STOP\n");
            free(i_puc_Data);
            i_puc_Data = nullptr;
            i_ul_DataLen = 0;
        } else if (l_ul_Wait != WAIT_OBJECT_0 + 1) {
            TraceLog_SysError("CGestVek_Pipe::SetReadEvent: WaitForMultipleObjects");
        }
        const int32_t l_i_Locked = LockMailbox(m_h_ReadMutex);
        if (l_i_Locked != TULVO_OK) {
            TraceLog_Printf("CGestVek_Pipe::SetReadEvent: GetTheMutex Error lost frame\n");
            free(i_puc_Data);
            return TULVO_OK;
        }
        m_b_DepositorWaiting = false;
    }
    if (m_puc_Data != nullptr) {
        const uint16_t l_us_Identifier = GestVek_FrameIdentifier(m_puc_Data, m_ul_DataLen);
        if (HasLiveLockHolder()) {
            TraceLog_Printf(
                "CGestVek_Pipe::SetReadEvent : I=0x%04X loss of 1 read by the user => Crush\n",
                l_us_Identifier);
        } else {
            TraceLog_Printf("CGestVek_Pipe::SetReadEvent : I=0x%04X loss of 1 read AND LOSS OF "
                            "user => Crush\n",
                            l_us_Identifier);
            // Nobody will read what the device keeps sending: ask it to stop.
            if (l_us_Identifier == ILV_ASYNC_MESSAGE) {
                Send_Cancel(ILV_CANCEL);
            } else if (l_us_Identifier == ILV_VEK_ASYNC_REALTIMELOG) {
                Send_Cancel(ILV_REALTIMELOG_CANCEL);
            }
        }
        DiscardUnread();
    }
    int32_t l_i_Status = TULVO_OK;
    if (i_puc_Data == nullptr) {
        // Stopped: the mailbox stays empty and unsignalled. Signalling an empty mailbox would
        // only give the next reader a "should not be NULL" failure.
        MarkReceived(false, "CGestVek_Pipe::ReadFrame: ResetEvent");
    } else {
        m_puc_Data = i_puc_Data;
        m_ul_DataLen = i_ul_DataLen;
        // Signalled before the mutex goes, so that the known state of the event stays true.
        l_i_Status = MarkReceived(true, "CGestVek_Pipe::SetReadEvent: SetEvent");
    }
    UnlockMailbox(m_h_ReadMutex);
    return l_i_Status;
}

int32_t CGestVek_Pipe::TakeMailboxFrame(uint8_t** o_ppuc_Data, uint32_t* o_pul_DataLen) {
    int32_t l_i_Status = LockMailbox(m_h_ReadMutex);
    if (l_i_Status != TULVO_OK) {
        TraceLog_Printf("CGestVek_Pipe::ReadFrame: Error GetTheMutex lost frame\n");
        return l_i_Status;
    }
    if (m_puc_Data == nullptr) {
        TraceLog_Printf("CGestVek_Pipe::ReadFrame: Error m_puc_Data_* should not be NULL\n");
        UnlockMailbox(m_h_ReadMutex);
        return TULVO_NO_RESPONSE;
    }
    TraceLog_Printf("CGestVek_Pipe::ReadFrame: I=0x%04X\n",
                    GestVek_FrameIdentifier(m_puc_Data, m_ul_DataLen));
    // One byte at least, so that an empty frame is not mistaken for a failed allocation.
    uint8_t* l_puc_Copy = static_cast<uint8_t*>(malloc(m_ul_DataLen != 0 ? m_ul_DataLen : 1));
    if (l_puc_Copy == nullptr) {
        TraceLog_Printf("CGestVek_Pipe::ReadFrame malloc: *o_ppuc_Data == NULL\n");
        l_i_Status = TULVO_NO_MEMORY;
    } else {
        memcpy(l_puc_Copy, m_puc_Data, m_ul_DataLen);
        NoteAnswerRead(GestVek_FrameIdentifier(m_puc_Data, m_ul_DataLen));
        *o_ppuc_Data = l_puc_Copy;
        *o_pul_DataLen = m_ul_DataLen;
        DiscardUnread();
        l_i_Status = MarkReceived(false, "CGestVek_Pipe::ReadFrame: ResetEvent");
    }
    WakeWaitingDepositor("CGestVek_Pipe::ReadFrame: SetEvent", &l_i_Status);
    UnlockMailbox(m_h_ReadMutex);
    return l_i_Status;
}

int32_t CGestVek_Pipe::HandleReadTimeout() {
    TraceLog_Printf("CGestVek_Pipe::ReadFrame: WaitForSingleObject WAIT_TIMEOUT\n");
    return TULVO_TIMEOUT;
}

int32_t CGestVek_Pipe::ReadFrame(uint32_t i_ul_Timeout, uint8_t** o_ppuc_Data,
                                 uint32_t* o_pul_DataLen, HANDLE i_h_Application) {
    *o_ppuc_Data = nullptr;
    *o_pul_DataLen = 0;
    const bool l_b_Limited = i_ul_Timeout != INFINITE;
    DWORD l_ul_Start = 0;
    if (l_b_Limited) {
        l_ul_Start = GetTickCount();
        if (i_ul_Timeout == 0) {
            return TULVO_OK;
        }
    }
    // The stop event first: it wins over the others. The run-level and serial-number reads
    // pass the stop event itself as application handle; one copy of it is enough.
    HANDLE l_ah_Wait[3];
    DWORD l_ul_Count = 0;
    l_ah_Wait[l_ul_Count++] = m_h_EventStop;
    const bool l_b_Application = i_h_Application != nullptr && i_h_Application != m_h_EventStop;
    const DWORD l_ul_Application = l_ul_Count;
    if (l_b_Application) {
        l_ah_Wait[l_ul_Count++] = i_h_Application;
    }
    const DWORD l_ul_Received = l_ul_Count;
    l_ah_Wait[l_ul_Count++] = m_h_ReceivedFrameEvent;
    for (;;) {
        DWORD l_ul_Left = INFINITE;
        if (l_b_Limited) {
            // Elapsed time as a difference of ticks: the counter's wrap does not matter.
            const DWORD l_ul_Elapsed = GetTickCount() - l_ul_Start;
            if (l_ul_Elapsed >= i_ul_Timeout) {
                return HandleReadTimeout();
            }
            l_ul_Left = i_ul_Timeout - l_ul_Elapsed;
        }
        GestVek_CountKernelCall();
        const DWORD l_ul_Wait =
            MsgWaitForMultipleObjects(l_ul_Count, l_ah_Wait, FALSE, l_ul_Left, QS_ALLINPUT);
        if (l_ul_Wait == WAIT_OBJECT_0) {
            TraceLog_Printf("CGestVek_Pipe::ReadFrame: WaitForSingleObject STOP\n");
            return TULVO_ABORTED;
        }
        if (l_b_Application && l_ul_Wait == WAIT_OBJECT_0 + l_ul_Application) {
            TraceLog_Printf("CGestVek_Pipe::ReadFrame: WaitForSingleObject loss of application\n");
            return TULVO_ABORTED;
        }
        if (l_ul_Wait == WAIT_OBJECT_0 + l_ul_Received) {
            return TakeMailboxFrame(o_ppuc_Data, o_pul_DataLen);
        }
        if (l_ul_Wait == WAIT_OBJECT_0 + l_ul_Count) {
            MSG l_x_Message;
            while (PeekMessageA(&l_x_Message, nullptr, 0, 0, PM_REMOVE)) {
                if (l_x_Message.message == WM_QUIT) {
                    return 1;
                }
                DispatchMessageA(&l_x_Message);
            }
            continue;
        }
        if (l_ul_Wait == WAIT_TIMEOUT) {
            return HandleReadTimeout();
        }
        TraceLog_SysError("CGestVek_Pipe::ReadFrame: WaitForMultipleObjects");
        return TULVO_SYSTEM_ERROR;
    }
}

int32_t CGestVek_Pipe::FreeReadFrame(uint8_t** io_ppuc_Data) {
    if (io_ppuc_Data != nullptr) {
        free(*io_ppuc_Data);
        *io_ppuc_Data = nullptr;
    }
    return TULVO_OK;
}

int32_t CGestVek_Pipe::WriteFrame(uint32_t i_ul_Timeout, const uint8_t* i_puc_Data,
                                  uint32_t i_ul_DataLen) {
    const uint16_t l_us_Identifier = GestVek_FrameIdentifier(i_puc_Data, i_ul_DataLen);
    TraceLog_Printf("CGestVek_Pipe::WriteFrame (I=0x%04X)\n", l_us_Identifier);
    // Nothing signalled: the mailbox holds no frame to discard. Otherwise the unread frame
    // goes, and a deposit waiting for room gets it at once, so that the reply need not wait
    // for the end of the depositor's 1000 ms.
    if (m_b_ReceivedSet) {
        if (LockMailbox(m_h_ReadMutex) == TULVO_OK) {
            DiscardUnread();
            MarkReceived(false, "CGestVek_Pipe::WriteFrame: ResetEvent\n");
            int32_t l_i_Ignored = TULVO_OK;
            WakeWaitingDepositor("CGestVek_Pipe::WriteFrame: SetEvent", &l_i_Ignored);
            UnlockMailbox(m_h_ReadMutex);
        }
    }
    if (m_px_Owner == nullptr) {
        return TULVO_NO_RESPONSE;
    }
    const bool l_b_Holder = NoteHolderWrite(l_us_Identifier, i_ul_Timeout);
    bool l_b_Sent = false;
    const int32_t l_i_Status =
        m_px_Owner->WriteFrame(m_i_PipeIndex, i_ul_Timeout, i_puc_Data, i_ul_DataLen, &l_b_Sent);
    if (l_b_Holder) {
        NoteHolderWriteDone(l_us_Identifier, l_b_Sent);
    }
    return l_i_Status;
}

// A client killed between its request and the answer leaves the lock abandoned; the next
// client takes it over at once and writes its own request, and the answer to the dead
// client's, still on its way from the device, would be the frame it reads. Frames carry no
// sender, only an identifier: the pipe remembers what its holder wrote, and the next frame of
// that identifier after a takeover is the dead holder's answer, since the device answers in
// the order it was asked. That frame alone is dropped, whenever it comes while the dead
// holder's write time-out lasts; the new holder is not held up, and frames of any other
// identifier go to their readers as ever.
bool CGestVek_Pipe::NoteHolderWrite(uint16_t i_us_Identifier, uint32_t i_ul_Timeout) {
    if (i_us_Identifier == 0) {
        return false;
    }
    AcquireSRWLockExclusive(&m_x_HolderLock);
    const bool l_b_Holder = m_ul_HolderDepth > 0 && m_ul_HolderThreadId == GetCurrentThreadId();
    if (l_b_Holder) {
        // Before the write: its answer may come before the write call returns.
        m_us_HolderWrote = i_us_Identifier;
        m_us_HolderAwaited = i_us_Identifier;
        m_ul_HolderWriteTimeout = i_ul_Timeout;
    }
    ReleaseSRWLockExclusive(&m_x_HolderLock);
    return l_b_Holder;
}

void CGestVek_Pipe::NoteHolderWriteDone(uint16_t i_us_Identifier, bool i_b_Sent) {
    AcquireSRWLockExclusive(&m_x_HolderLock);
    if (m_us_HolderWrote == i_us_Identifier) {
        // The answer's time runs from the end of the request; a frame that never reached the
        // device is owed nothing.
        m_ull_HolderWrittenAt = GetTickCount64();
        if (!i_b_Sent) {
            m_us_HolderWrote = 0;
            m_us_HolderAwaited = 0;
        }
    }
    ReleaseSRWLockExclusive(&m_x_HolderLock);
}

void CGestVek_Pipe::NoteAnswerRead(uint16_t i_us_Identifier) {
    AcquireSRWLockExclusive(&m_x_HolderLock);
    if (i_us_Identifier != 0 && m_us_HolderWrote == i_us_Identifier) {
        m_us_HolderWrote = 0;
    }
    ReleaseSRWLockExclusive(&m_x_HolderLock);
}

bool CGestVek_Pipe::OweHolderAnswer(uint32_t i_ul_DeadProcessId) {
    const uint16_t l_us_Awaited = m_us_HolderAwaited.exchange(0);
    if (l_us_Awaited == 0) {
        return false;
    }
    const ULONGLONG l_ull_Now = GetTickCount64();
    const ULONGLONG l_ull_Until = m_ul_HolderWriteTimeout == INFINITE
                                      ? ~0ULL
                                      : m_ull_HolderWrittenAt + m_ul_HolderWriteTimeout;
    if (l_ull_Until <= l_ull_Now) {
        return true;
    }
    if (m_us_OwedIdentifier != l_us_Awaited) {
        m_ul_OwedCount = 0;
        m_ull_OwedUntil = 0;
    }
    m_us_OwedIdentifier = l_us_Awaited;
    ++m_ul_OwedCount;
    m_ull_OwedUntil = l_ull_Until > m_ull_OwedUntil ? l_ull_Until : m_ull_OwedUntil;
    m_ul_OwedProcessId = i_ul_DeadProcessId;
    TraceLog_Printf("CGestVek_Pipe::GetTheLock %s pipe %d I=0x%04X answer owed to process %lu "
                    "awaited\n",
                    m_pc_SerialNumber, static_cast<int>(m_i_PipeIndex), l_us_Awaited,
                    static_cast<unsigned long>(i_ul_DeadProcessId));
    return true;
}

void CGestVek_Pipe::DiscardUnreadAnswer(uint16_t i_us_Identifier, uint32_t i_ul_DeadProcessId) {
    if (LockMailbox(m_h_ReadMutex) != TULVO_OK) {
        return;
    }
    if (m_puc_Data != nullptr &&
        GestVek_FrameIdentifier(m_puc_Data, m_ul_DataLen) == i_us_Identifier) {
        TraceLog_Printf("CGestVek_Pipe::GetTheLock %s pipe %d I=0x%04X answer owed to process "
                        "%lu discarded\n",
                        m_pc_SerialNumber, static_cast<int>(m_i_PipeIndex), i_us_Identifier,
                        static_cast<unsigned long>(i_ul_DeadProcessId));
        DiscardUnread();
        MarkReceived(false, "CGestVek_Pipe::GetTheLock: ResetEvent");
        int32_t l_i_Ignored = TULVO_OK;
        WakeWaitingDepositor("CGestVek_Pipe::GetTheLock: SetEvent", &l_i_Ignored);
    }
    UnlockMailbox(m_h_ReadMutex);
}

bool CGestVek_Pipe::DiscardIfOwed(uint8_t* i_puc_Data, uint32_t i_ul_DataLen) {
    uint16_t l_us_Identifier = 0;
    if (!GestVek_GetFrameIdentifier(i_puc_Data, i_ul_DataLen, &l_us_Identifier) ||
        l_us_Identifier == 0) {
        return false;
    }
    bool l_b_Owed = false;
    bool l_b_KeepAwaiting = false;
    uint32_t l_ul_DeadProcessId = 0;
    if (m_us_OwedIdentifier == l_us_Identifier) {
        AcquireSRWLockExclusive(&m_x_HolderLock);
        if (m_us_OwedIdentifier == l_us_Identifier && m_ul_OwedCount > 0) {
            l_b_Owed = GetTickCount64() < m_ull_OwedUntil;
            m_ul_OwedCount = l_b_Owed ? m_ul_OwedCount - 1 : 0;
            if (m_ul_OwedCount == 0) {
                m_us_OwedIdentifier = 0;
            }
            // The device object cleared this pipe's wait for the identifier on the way here;
            // another answer of it is still due to this pipe.
            l_b_KeepAwaiting =
                l_b_Owed && (m_ul_OwedCount > 0 || m_us_HolderAwaited == l_us_Identifier);
            l_ul_DeadProcessId = m_ul_OwedProcessId;
        }
        ReleaseSRWLockExclusive(&m_x_HolderLock);
    }
    if (!l_b_Owed) {
        uint16_t l_us_Expected = l_us_Identifier;
        m_us_HolderAwaited.compare_exchange_strong(l_us_Expected, 0);
        return false;
    }
    TraceLog_Printf("CGestVek_Pipe::SetReadEvent %s pipe %d I=0x%04X answer owed to process %lu "
                    "discarded\n",
                    m_pc_SerialNumber, static_cast<int>(m_i_PipeIndex), l_us_Identifier,
                    static_cast<unsigned long>(l_ul_DeadProcessId));
    if (l_b_KeepAwaiting && m_px_Owner != nullptr) {
        m_px_Owner->KeepAwaiting(m_i_PipeIndex, l_us_Identifier);
    }
    free(i_puc_Data);
    return true;
}

void CGestVek_Pipe::NoteFrameElsewhere(uint16_t i_us_Identifier) {
    if (i_us_Identifier == 0 || m_us_OwedIdentifier != i_us_Identifier) {
        return;
    }
    AcquireSRWLockExclusive(&m_x_HolderLock);
    if (m_us_OwedIdentifier == i_us_Identifier && m_ul_OwedCount > 0 && --m_ul_OwedCount == 0) {
        m_us_OwedIdentifier = 0;
    }
    ReleaseSRWLockExclusive(&m_x_HolderLock);
}

void CGestVek_Pipe::SetStopEvent() {
    SetEvent(m_h_EventStop);
    m_b_Stopped = true;
}

void CGestVek_Pipe::ResetStopEvent() {
    m_b_Stopped = false;
    ResetEvent(m_h_EventStop);
}

int32_t CGestVek_Pipe::Stop() {
    SetStopEvent();
    if (LockMailbox(m_h_ReadMutex) != TULVO_OK) {
        TraceLog_Printf("CGestVek_Pipe::Stop : GetTheMutex Error frame not stored\n");
        return TULVO_OK;
    }
    if (m_puc_Data != nullptr) {
        TraceLog_Printf("CGestVek_Pipe::Stop : I=0x%04X loss of 1 read by the user => Crush\n",
                        GestVek_FrameIdentifier(m_puc_Data, m_ul_DataLen));
        DiscardUnread();
    }
    UnlockMailbox(m_h_ReadMutex);
    return TULVO_OK;
}

int32_t CGestVek_Pipe::GetTheLock(uint32_t i_ul_Timeout,
                                  GestVekPipe_ConnectionSlot* i_ppx_Connection,
                                  uint32_t i_ul_ProcessId, HANDLE i_h_Application) {
    m_ppx_LockHolder = i_ppx_Connection;
    bool l_b_Abandoned = false;
    const int32_t l_i_Status =
        GetTheMutexUnlessSet(m_h_VekAccessMutex, m_h_EventStop, i_ul_Timeout, TOOLSHARE_MUTEX_QUIET,
                             &l_b_Abandoned, i_h_Application);
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    const ULONGLONG l_ull_Now = GetTickCount64();
    AcquireSRWLockExclusive(&m_x_HolderLock);
    const uint32_t l_ul_PreviousHolder =
        l_b_Abandoned ? m_ul_HolderProcessId : m_ul_ReleasedProcessId;
    const uint16_t l_us_PreviousWrote = m_us_HolderWrote;
    // A holder that let go without reading its last answer (its wait for it failed) is owed
    // that answer as much as one that died: the device answers in order, and this taker's
    // read would otherwise return it. Its own thread taking the lock again may still read it.
    const bool l_b_HandedOver =
        l_b_Abandoned || (m_ul_HolderDepth == 0 && m_ul_ReleasedThreadId != GetCurrentThreadId());
    if (l_b_Abandoned) {
        TraceLog_Printf("CGestVek_Pipe::GetTheLock %s pipe %d lock abandoned by process %lu "
                        "after %llu ms, taken over by process %lu\n",
                        m_pc_SerialNumber, static_cast<int>(m_i_PipeIndex),
                        static_cast<unsigned long>(m_ul_HolderProcessId),
                        static_cast<unsigned long long>(l_ull_Now - m_ull_HeldSince),
                        static_cast<unsigned long>(i_ul_ProcessId));
        m_ul_HolderDepth = 0;
    }
    const bool l_b_AnswerCame =
        l_b_HandedOver && l_us_PreviousWrote != 0 && !OweHolderAnswer(l_ul_PreviousHolder);
    // The same thread again (a second LOCKPIPE of the channel) keeps the first time.
    if (m_ul_HolderDepth == 0 || m_ul_HolderThreadId != GetCurrentThreadId()) {
        if (!l_b_Abandoned) {
            TraceLog_Printf("CGestVek_Pipe::GetTheLock %s pipe %d locked by process %lu\n",
                            m_pc_SerialNumber, static_cast<int>(m_i_PipeIndex),
                            static_cast<unsigned long>(i_ul_ProcessId));
        }
        m_ul_HolderProcessId = i_ul_ProcessId;
        m_ul_HolderThreadId = GetCurrentThreadId();
        m_ull_HeldSince = l_ull_Now;
        m_ul_HolderDepth = 0;
        m_us_HolderWrote = 0;
        m_us_HolderAwaited = 0;
    }
    ++m_ul_HolderDepth;
    ReleaseSRWLockExclusive(&m_x_HolderLock);
    if (l_b_AnswerCame) {
        DiscardUnreadAnswer(l_us_PreviousWrote, l_ul_PreviousHolder);
    }
    return TULVO_OK;
}

int32_t CGestVek_Pipe::ReleaseTheLock() {
    // The record changes before the mutex goes, so that the next taker finds it up to date;
    // a thread that does not hold the lock changes nothing (its release fails below).
    AcquireSRWLockExclusive(&m_x_HolderLock);
    if (m_ul_HolderDepth > 0 && m_ul_HolderThreadId == GetCurrentThreadId() &&
        --m_ul_HolderDepth == 0) {
        m_ppx_LockHolder = nullptr;
        TraceLog_Printf("CGestVek_Pipe::ReleaseTheLock %s pipe %d unlocked by process %lu after "
                        "%llu ms\n",
                        m_pc_SerialNumber, static_cast<int>(m_i_PipeIndex),
                        static_cast<unsigned long>(m_ul_HolderProcessId),
                        static_cast<unsigned long long>(GetTickCount64() - m_ull_HeldSince));
        m_ul_ReleasedProcessId = m_ul_HolderProcessId;
        m_ul_ReleasedThreadId = m_ul_HolderThreadId;
        m_ul_HolderProcessId = 0;
        m_ul_HolderThreadId = 0;
    }
    ReleaseSRWLockExclusive(&m_x_HolderLock);
    return ReleaseTheMutex(m_h_VekAccessMutex, TOOLSHARE_MUTEX_QUIET);
}

bool CGestVek_Pipe::GetLockHolder(uint32_t* o_pul_ProcessId, ULONGLONG* o_pull_Since) const {
    AcquireSRWLockShared(&m_x_HolderLock);
    const bool l_b_Held = m_ul_HolderDepth > 0;
    *o_pul_ProcessId = m_ul_HolderProcessId;
    *o_pull_Since = m_ull_HeldSince;
    ReleaseSRWLockShared(&m_x_HolderLock);
    return l_b_Held;
}

int32_t CGestVek_Pipe::Send_Cancel(uint16_t i_us_Identifier) {
    uint8_t l_auc_Record[ILV_MAX_EMPTY_SIZE];
    uint32_t l_ul_Size = 0;
    int32_t l_i_Status = ILV_Init(l_auc_Record, &l_ul_Size, i_us_Identifier);
    if (l_i_Status != TULVO_OK) {
        TraceLog_SysError("CGestVek_Pipe::Send_Cancel: ILV_Init");
        return l_i_Status;
    }
    l_i_Status = WriteFrame(GESTVEK_PIPE_EXCHANGE_TIMEOUT_MS, l_auc_Record, l_ul_Size);
    if (l_i_Status != TULVO_OK) {
        TraceLog_Printf("CGestVek_Pipe::Send_Cancel : WriteFrame ret 0x%08X\n",
                        static_cast<unsigned>(l_i_Status));
        return l_i_Status;
    }
    return TULVO_OK;
}

int32_t CGestVek_Pipe::GetRunLevel(uint8_t* o_puc_RunLevel) {
    *o_puc_RunLevel = GESTVEK_UNKNOWN_RUN_LEVEL;
    uint8_t l_auc_Request[GESTVEK_REQUEST_SIZE] = {};
    uint32_t l_ul_Size = 0;
    int32_t l_i_Status = ILV_Init(l_auc_Request, &l_ul_Size, ILV_GET_RUN_LEVEL);
    if (l_i_Status < 0) {
        TraceLog_SysError("CGestVek_Pipe::GetRunLevel: ILV_Init");
        return l_i_Status;
    }
    l_i_Status = WriteFrame(GESTVEK_PIPE_EXCHANGE_TIMEOUT_MS, l_auc_Request, l_ul_Size);
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    uint8_t* l_puc_Reply = nullptr;
    uint32_t l_ul_ReplyLen = 0;
    l_i_Status =
        ReadFrame(GESTVEK_PIPE_EXCHANGE_TIMEOUT_MS, &l_puc_Reply, &l_ul_ReplyLen, m_h_EventStop);
    if (l_puc_Reply == nullptr) {
        return TULVO_NO_RESPONSE;
    }
    if (l_i_Status == TULVO_OK) {
        l_i_Status = GestVek_ReadRunLevel(l_puc_Reply, l_ul_ReplyLen, o_puc_RunLevel);
    }
    FreeReadFrame(&l_puc_Reply);
    return l_i_Status;
}

int32_t CGestVek_Pipe::GetSerialNumber(char* o_pc_SerialNumber) {
    char l_ac_Text[GESTVEK_SERIAL_NUMBER_SIZE];
    GestVek_DefaultSerialNumber(l_ac_Text);
    if (o_pc_SerialNumber != nullptr) {
        memset(o_pc_SerialNumber, 0, GESTVEK_SERIAL_NUMBER_SIZE);
    }
    uint8_t l_auc_Request[GESTVEK_REQUEST_SIZE] = {};
    uint32_t l_ul_Size = 0;
    int32_t l_i_Status = ILV_Init(l_auc_Request, &l_ul_Size, ILV_GET_SERIAL_NUMBER);
    if (l_i_Status < 0) {
        TraceLog_SysError("CGestVek_Pipe::GetSerialNumber: ILV_Init");
    } else {
        l_i_Status = WriteFrame(GESTVEK_PIPE_EXCHANGE_TIMEOUT_MS, l_auc_Request, l_ul_Size);
    }
    if (l_i_Status == TULVO_OK) {
        uint8_t* l_puc_Reply = nullptr;
        uint32_t l_ul_ReplyLen = 0;
        l_i_Status = ReadFrame(GESTVEK_PIPE_EXCHANGE_TIMEOUT_MS, &l_puc_Reply, &l_ul_ReplyLen,
                               m_h_EventStop);
        if (l_puc_Reply == nullptr) {
            l_i_Status = TULVO_NO_RESPONSE;
        } else if (l_i_Status == TULVO_OK) {
            l_i_Status = GestVek_ReadSerialNumber(l_puc_Reply, l_ul_ReplyLen, l_ac_Text);
        }
        FreeReadFrame(&l_puc_Reply);
    }
    if (o_pc_SerialNumber != nullptr) {
        memcpy(o_pc_SerialNumber, l_ac_Text, sizeof(l_ac_Text));
    }
    return l_i_Status;
}
