// One pipe of a device object: a logical conversation with the device. A client writes request
// frames through it and reads back the frames the device object routes to it, one at a time,
// through a one-frame mailbox that the port's receive thread fills (SetReadEvent) and the
// client's thread empties (ReadFrame). The pipe also carries an advisory lock by which one
// client keeps others away between a request and its reply.
//
// A pipe lives exactly as long as its device object is allocated; callers reach it only while
// they hold the device object (see GestVek.h), so no pipe is ever freed under a caller.
//
// Cost on the frame path (each kernel call is a server round trip under wine). The mailbox
// keeps, under its mutex, what its events are known to be, so an event is only set or reset
// when that changes. A deposit waits for room only when the mailbox holds an unread frame: it
// then resets the free-mailbox event itself and waits on it, and whoever empties the mailbox
// sets it only for such a waiting deposit. WriteFrame looks at the mailbox only when a frame
// is signalled. A request and its reply thus cost: WriteFrame nothing here; SetReadEvent the
// mutex twice and one signal; ReadFrame its wait, the mutex twice and one reset.
#ifndef TULVO_DEVICE_MANAGER_GESTVEKPIPE_H
#define TULVO_DEVICE_MANAGER_GESTVEKPIPE_H

#include <windows.h>

#include <stdint.h>

#include <atomic>

class CGestVek;
void GestVek_CountKernelCall();

// The slot in which a private channel server keeps its client connection: not empty while the
// client is there. A pipe's lock remembers the slot of the client that last asked for it; the
// slot must outlive the pipe or be forgotten by ReleaseTheLock first.
typedef void* volatile GestVekPipe_ConnectionSlot;

// Time-outs of the pipe's own exchanges.
#define GESTVEK_PIPE_MAILBOX_WAIT_MS 50
#define GESTVEK_PIPE_DEPOSIT_WAIT_MS 1000
#define GESTVEK_PIPE_EXCHANGE_TIMEOUT_MS 15000

class CGestVek_Pipe {
public:
    // Creates the five handles in order; at the first failure logs it and creates no further
    // handle (the pipe exists all the same, and its operations fail on the missing handle).
    CGestVek_Pipe(CGestVek* i_px_Owner, int32_t i_i_PipeIndex, const char* i_pc_SerialNumber);
    ~CGestVek_Pipe();
    CGestVek_Pipe(const CGestVek_Pipe&) = delete;
    CGestVek_Pipe& operator=(const CGestVek_Pipe&) = delete;

    // Waits up to the time-out (0xFFFFFFFF: none) for a frame, the pipe's stop or the
    // application handle (may be NULL), dispatching the thread's messages meanwhile. 0 with a
    // copy of the frame (free it with FreeReadFrame); 0 without a frame for a time-out of 0;
    // 1 when WM_QUIT arrived; TULVO_ABORTED, TULVO_TIMEOUT, TULVO_NO_RESPONSE, TULVO_NO_MEMORY,
    // TULVO_SIGNAL_ERROR, TULVO_SYSTEM_ERROR or the mailbox mutex's status.
    int32_t ReadFrame(uint32_t i_ul_Timeout, uint8_t** o_ppuc_Data, uint32_t* o_pul_DataLen,
                      HANDLE i_h_Application);
    int32_t FreeReadFrame(uint8_t** io_ppuc_Data);

    // Discards an unread frame, then writes through the device object, which records this
    // pipe as waiting for the reply's identifier.
    int32_t WriteFrame(uint32_t i_ul_Timeout, const uint8_t* i_puc_Data, uint32_t i_ul_DataLen);

    // Receive thread: takes ownership of the frame (NULL allowed) and puts it in the mailbox,
    // waiting up to 1000 ms for the reader to empty it first; discards it while stopped, and
    // when it is the answer owed to a holder that died (see GetTheLock).
    int32_t SetReadEvent(uint8_t* i_puc_Data, uint32_t i_ul_DataLen);

    // Sets the stop event and empties the mailbox.
    int32_t Stop();
    // The device object's suspend and resume: only the stop event.
    void SetStopEvent();
    void ResetStopEvent();

    // Takes the lock (the connection is recorded first, whatever the outcome) and releases it;
    // the lock belongs to the calling thread. A wait for it ends with TULVO_ABORTED when the
    // pipe stops (device removal, suspend) or the application handle (may be NULL: the
    // client's process) is signalled. The client's process id and the time the lock was
    // taken are kept for GetLockHolder; the trace log gets a line when the lock is taken,
    // taken over from a holder that ended holding it, and released. Taking it over drops the
    // answer the dead holder's last write was owed: now if it is unread, else when it comes.
    // So does taking it after another thread released it before its last answer came.
    int32_t GetTheLock(uint32_t i_ul_Timeout, GestVekPipe_ConnectionSlot* i_ppx_Connection,
                       uint32_t i_ul_ProcessId, HANDLE i_h_Application = nullptr);
    int32_t ReleaseTheLock();
    // Who holds the lock and since when (GetTickCount64); false while nobody does. A holder
    // that ended holding it is still given, until the next taker takes the lock over.
    bool GetLockHolder(uint32_t* o_pul_ProcessId, ULONGLONG* o_pull_Since) const;

    // Receive thread: a frame of that identifier went to another pipe, so an answer owed here
    // with that identifier went with it.
    void NoteFrameElsewhere(uint16_t i_us_Identifier);

    int32_t Send_Cancel(uint16_t i_us_Identifier);
    int32_t GetRunLevel(uint8_t* o_puc_RunLevel);
    // o_pc_SerialNumber: GESTVEK_SERIAL_NUMBER_SIZE bytes, or NULL.
    int32_t GetSerialNumber(char* o_pc_SerialNumber);

    // The device object's serial number as read when it opened (21 characters).
    const char* GetDeviceSerialNumber() const { return m_pc_SerialNumber; }
    int32_t GetPipeIndex() const { return m_i_PipeIndex; }

private:
    // Mailbox helpers; the caller holds m_h_ReadMutex.
    void DiscardUnread();
    int32_t MarkReceived(bool i_b_Set, const char* i_pc_Caption);
    int32_t MarkFree(bool i_b_Set, const char* i_pc_Caption);
    int32_t TakeMailboxFrame(uint8_t** o_ppuc_Data, uint32_t* o_pul_DataLen);
    int32_t HandleReadTimeout();
    // Holding the mailbox mutex with a frame in the mailbox: releases the mutex and waits up
    // to 1000 ms for the stop or for room (WaitForMultipleObjects' result).
    DWORD WaitForRoom();
    void WakeWaitingDepositor(const char* i_pc_Caption, int32_t* io_pi_Status);
    bool HasLiveLockHolder() const;
    // The holder's writes, for a takeover: what it wrote and whether the answer has come.
    bool NoteHolderWrite(uint16_t i_us_Identifier, uint32_t i_ul_Timeout);
    void NoteHolderWriteDone(uint16_t i_us_Identifier, bool i_b_Sent);
    // A reader took the answer to the holder's last write: nobody is owed it any more.
    void NoteAnswerRead(uint16_t i_us_Identifier);
    // On a lock taken over from a holder that ended, under m_x_HolderLock: an answer it wrote
    // for and that has not come is owed to it until the write's time-out has run out after
    // the write. False when the answer came; it may then wait unread in the mailbox.
    bool OweHolderAnswer(uint32_t i_ul_DeadProcessId);
    // Without m_x_HolderLock: the dead holder's answer that came and was not read goes.
    void DiscardUnreadAnswer(uint16_t i_us_Identifier, uint32_t i_ul_DeadProcessId);
    // Receive thread: true when the frame is an answer owed to a dead holder (then freed).
    bool DiscardIfOwed(uint8_t* i_puc_Data, uint32_t i_ul_DataLen);

    HANDLE m_h_EventStop;
    const char* m_pc_SerialNumber;
    CGestVek* m_px_Owner;
    HANDLE m_h_ReceivedFrameEvent;
    HANDLE m_h_FreeFrameEvent;
    HANDLE m_h_ReadMutex;
    HANDLE m_h_VekAccessMutex;
    uint8_t* m_puc_Data;
    uint32_t m_ul_DataLen;
    int32_t m_i_PipeIndex;
    std::atomic<GestVekPipe_ConnectionSlot*> m_ppx_LockHolder;

    // What the two mailbox events are known to be (changed with them, under m_h_ReadMutex;
    // read without it only to skip work that would change nothing), and whether the pipe is
    // stopped, so that the frame path calls the system only when something changes.
    std::atomic<bool> m_b_ReceivedSet;
    std::atomic<bool> m_b_FreeSet;
    std::atomic<bool> m_b_Stopped;
    // A deposit waits for room (under m_h_ReadMutex).
    bool m_b_DepositorWaiting;

    // The lock's holder, for diagnostics: changed by the holding thread while it owns
    // m_h_VekAccessMutex, read by anyone, always under m_x_HolderLock. The depth counts the
    // holder's LOCKPIPEs not yet released.
    mutable SRWLOCK m_x_HolderLock;
    uint32_t m_ul_HolderProcessId;
    DWORD m_ul_HolderThreadId;
    ULONGLONG m_ull_HeldSince;
    uint32_t m_ul_HolderDepth;

    // What the holder last wrote to the device during its hold (under m_x_HolderLock), and,
    // while its answer has not reached this pipe, the same identifier in m_us_HolderAwaited
    // (cleared by the receive thread without the lock).
    // The identifier is cleared once a reader takes that answer; until then both outlive a
    // release, for the next taker, and so does the releasing holder.
    uint16_t m_us_HolderWrote;
    std::atomic<uint16_t> m_us_HolderAwaited;
    uint32_t m_ul_ReleasedProcessId;
    DWORD m_ul_ReleasedThreadId;
    uint32_t m_ul_HolderWriteTimeout;
    ULONGLONG m_ull_HolderWrittenAt;
    // Answers owed to holders that ended before they came: the next m_ul_OwedCount frames of
    // that identifier reaching this pipe before m_ull_OwedUntil are theirs (under
    // m_x_HolderLock; the identifier is also read without it, to keep the frame path free).
    std::atomic<uint16_t> m_us_OwedIdentifier;
    uint32_t m_ul_OwedCount;
    ULONGLONG m_ull_OwedUntil;
    uint32_t m_ul_OwedProcessId;
};

#endif
