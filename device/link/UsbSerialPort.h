// The handle of one open serial port, and the character-received wait armed on it, guarded so
// that no thread ever starts a call on a handle value that has been closed: Windows hands such a
// value to the next object created in the process, which may be another sensor's port.
//
// Every call on the handle starts under the shared lock (Use); Close takes the lock exclusively.
// Waits for overlapped calls to complete happen outside the lock, because closing the port is
// what ends them. Collecting a result with GetOverlappedResult without waiting on the handle
// reads only the caller's record, so it needs no lock.
#ifndef TULVO_DEVICE_LINK_USBSERIALPORT_H
#define TULVO_DEVICE_LINK_USBSERIALPORT_H

#include <windows.h>

#include <stdint.h>

// How long closing the port waits for the armed wait to end.
#define USBSERIAL_COMMWAIT_END_MS 1000

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

    bool IsOpen() const;

    // Takes a handle that CreateFile has just given for this port, which must be closed.
    void Adopt(HANDLE i_h_Port);

    // Calls i_x_Call(handle) under the shared lock and returns true. Returns false without the
    // call, with ERROR_INVALID_HANDLE as the last error, when the port is closed.
    // o_pul_Generation receives the opening the call went to.
    template <typename TCall> bool Use(TCall&& i_x_Call, uint32_t* o_pul_Generation = nullptr) {
        AcquireSRWLockShared(&m_x_Lock);
        const bool l_b_Open = m_h_Port != nullptr;
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

    // Use, but only while the port is still the opening of that generation. Cancelling I/O that
    // was started on an opening that has been closed since (which ended that I/O) must not reach
    // the port opened after it.
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

    // Ends the armed wait, then closes the handle. Safe when closed already.
    void Close();

private:
    void EndCommWait();

    mutable SRWLOCK m_x_Lock;
    HANDLE m_h_Port;
    uint32_t m_ul_Generation;
    SUsbSerialCommWait* m_px_CommWait;
};

#endif
