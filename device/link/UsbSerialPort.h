// The handle of one open serial port, and the character-received wait armed on it, guarded so
// that no thread ever starts a call on a handle value that has been closed: Windows hands such a
// value to the next object created in the process, which may be another sensor's port.
//
// Every call on the handle starts under the shared lock (Use); Shut and Close take the lock
// exclusively. A port is shut before its handle is closed: nothing new starts on it and what is
// pending is cancelled, so that the handle is closed with no I/O left on it. Under Wine a read
// still pending when its handle closes can stay pending for ever, or be retried on whatever
// object gets the handle value next, another sensor's port included. Waits for overlapped calls
// to complete happen outside the lock. Collecting a result with GetOverlappedResult without
// waiting on the handle reads only the caller's record, so it needs no lock.
#ifndef TULVO_DEVICE_LINK_USBSERIALPORT_H
#define TULVO_DEVICE_LINK_USBSERIALPORT_H

#include <windows.h>

#include <stdint.h>

// How long closing the port waits for the armed wait to end.
#define USBSERIAL_COMMWAIT_END_MS 1000
// How often a wait for cancelled I/O cancels it again.
#define USBSERIAL_CANCEL_RETRY_MS 20

// The record of an armed character-received wait. The driver writes the record and the mask
// when the wait ends, which may be after the port is closed, so they live on the heap, owned by
// the port until the wait has been seen to end.
struct SUsbSerialCommWait {
    OVERLAPPED m_x_Overlapped;
    DWORD m_ul_EventMask;
};

class CUsbSerialPort {
public:
    CUsbSerialPort();
    ~CUsbSerialPort();
    CUsbSerialPort(const CUsbSerialPort&) = delete;
    CUsbSerialPort& operator=(const CUsbSerialPort&) = delete;

    // Open, and not shut.
    bool IsOpen() const;

    // Takes a handle that CreateFile has just given for this port, which must be closed.
    void Adopt(HANDLE i_h_Port);

    // Calls i_x_Call(handle) under the shared lock and returns true. Returns false without the
    // call, with ERROR_INVALID_HANDLE as the last error, when the port is shut or closed.
    // o_pul_Generation receives the opening the call went to.
    template <typename TCall> bool Use(TCall&& i_x_Call, uint32_t* o_pul_Generation = nullptr) {
        AcquireSRWLockShared(&m_x_Lock);
        const bool l_b_Open = m_h_Port != nullptr && !m_b_Shut;
        if (l_b_Open) {
            if (o_pul_Generation != nullptr) {
                *o_pul_Generation = m_ul_Generation;
            }
            i_x_Call(m_h_Port);
        }
        ReleaseSRWLockShared(&m_x_Lock);
        if (!l_b_Open) {
            SetLastError(ERROR_INVALID_HANDLE);
        }
        return l_b_Open;
    }

    // Use, but only while the handle is still the opening of that generation, shut or not: for
    // cancelling I/O started on it, which must never reach a port opened after it.
    template <typename TCall> bool UseIfStill(uint32_t i_ul_Generation, TCall&& i_x_Call) {
        AcquireSRWLockShared(&m_x_Lock);
        const bool l_b_Same = m_h_Port != nullptr && m_ul_Generation == i_ul_Generation;
        if (l_b_Same) {
            i_x_Call(m_h_Port);
        }
        ReleaseSRWLockShared(&m_x_Lock);
        return l_b_Same;
    }

    // A zeroed record with a manual-reset event for a new character-received wait; the port
    // owns it from here on. nullptr when the event cannot be created.
    SUsbSerialCommWait* NewCommWait();
    // Frees the record of a wait that could not be started.
    void DropCommWait();

    // Nothing new starts on the port any more; the armed wait ends and every thread's pending
    // I/O on the port is cancelled. The handle stays open until Close.
    void Shut();
    // Cancels every thread's pending I/O on the port, shut or not.
    void CancelAll();
    // Shuts the port if need be, cancels once more what a shut port may still have pending, and
    // closes the handle. Safe when closed already.
    void Close();

private:
    void ShutLocked();
    void EndCommWait();

    mutable SRWLOCK m_x_Lock;
    HANDLE m_h_Port;
    uint32_t m_ul_Generation;
    bool m_b_Shut;
    SUsbSerialCommWait* m_px_CommWait;
};

// Waits up to i_ul_LimitMs (INFINITE: without limit) until every event is signalled, calling
// i_x_Cancel first and again every USBSERIAL_CANCEL_RETRY_MS; true when they all are. Wine does
// not cancel a read that is taking in data at that moment: it goes on until its buffer is full or
// the line falls quiet, which under steady traffic takes a fifth of a second. Cancelling again
// catches it between two chunks.
template <typename TCancel>
bool UsbSerial_WaitCancelling(const HANDLE* i_ph_Events, DWORD i_ul_Count, DWORD i_ul_LimitMs,
                              TCancel&& i_x_Cancel) {
    const ULONGLONG l_ull_Start = GetTickCount64();
    for (;;) {
        i_x_Cancel();
        const ULONGLONG l_ull_Spent = GetTickCount64() - l_ull_Start;
        if (i_ul_LimitMs != INFINITE && l_ull_Spent >= i_ul_LimitMs) {
            return WaitForMultipleObjects(i_ul_Count, i_ph_Events, TRUE, 0) != WAIT_TIMEOUT;
        }
        DWORD l_ul_Step = USBSERIAL_CANCEL_RETRY_MS;
        if (i_ul_LimitMs != INFINITE && i_ul_LimitMs - l_ull_Spent < l_ul_Step) {
            l_ul_Step = static_cast<DWORD>(i_ul_LimitMs - l_ull_Spent);
        }
        if (WaitForMultipleObjects(i_ul_Count, i_ph_Events, TRUE, l_ul_Step) != WAIT_TIMEOUT) {
            return true;
        }
    }
}

#endif
