#include "device/link/UsbSerialPort.h"

#include <stdlib.h>

CUsbSerialPort::CUsbSerialPort()
    : m_x_Lock(SRWLOCK_INIT), m_h_Port(nullptr), m_ul_Generation(0), m_b_Shut(false),
      m_px_CommWait(nullptr) {}

CUsbSerialPort::~CUsbSerialPort() {
    Close();
}

bool CUsbSerialPort::IsOpen() const {
    AcquireSRWLockShared(&m_x_Lock);
    const bool l_b_Open = m_h_Port != nullptr && !m_b_Shut;
    ReleaseSRWLockShared(&m_x_Lock);
    return l_b_Open;
}

void CUsbSerialPort::Adopt(HANDLE i_h_Port) {
    AcquireSRWLockExclusive(&m_x_Lock);
    m_h_Port = i_h_Port;
    m_b_Shut = false;
    ++m_ul_Generation;
    ReleaseSRWLockExclusive(&m_x_Lock);
}

SUsbSerialCommWait* CUsbSerialPort::NewCommWait() {
    AcquireSRWLockExclusive(&m_x_Lock);
    if (m_h_Port != nullptr && !m_b_Shut) {
        EndCommWait();
    }
    SUsbSerialCommWait* l_px_Wait =
        static_cast<SUsbSerialCommWait*>(calloc(1, sizeof(SUsbSerialCommWait)));
    HANDLE l_h_Event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (l_px_Wait == nullptr || l_h_Event == nullptr) {
        const DWORD l_ul_Error = l_h_Event == nullptr ? GetLastError() : ERROR_NOT_ENOUGH_MEMORY;
        if (l_h_Event != nullptr) {
            CloseHandle(l_h_Event);
        }
        free(l_px_Wait);
        l_px_Wait = nullptr;
        SetLastError(l_ul_Error);
    } else {
        l_px_Wait->m_x_Overlapped.hEvent = l_h_Event;
    }
    m_px_CommWait = l_px_Wait;
    ReleaseSRWLockExclusive(&m_x_Lock);
    return l_px_Wait;
}

void CUsbSerialPort::DropCommWait() {
    AcquireSRWLockExclusive(&m_x_Lock);
    if (m_px_CommWait != nullptr) {
        CloseHandle(m_px_CommWait->m_x_Overlapped.hEvent);
        free(m_px_CommWait);
        m_px_CommWait = nullptr;
    }
    ReleaseSRWLockExclusive(&m_x_Lock);
}

void CUsbSerialPort::EndCommWait() {
    if (m_px_CommWait == nullptr) {
        return;
    }
    // A new event mask ends a pending wait on Windows and under Wine alike. Closing the handle
    // alone does not under Wine: its wait polls a duplicate of the port's descriptor every
    // 10 ms, and goes on writing the mask, then the record, and setting the event, long after
    // the handle is closed and its memory given to something else.
    SetCommMask(m_h_Port, 0);
    HANDLE l_h_Event = m_px_CommWait->m_x_Overlapped.hEvent;
    if (WaitForSingleObject(l_h_Event, USBSERIAL_COMMWAIT_END_MS) == WAIT_OBJECT_0) {
        CloseHandle(l_h_Event);
        free(m_px_CommWait);
    }
    // Otherwise the driver may still write the record and set the event: both stay its own.
    m_px_CommWait = nullptr;
}

void CUsbSerialPort::ShutLocked() {
    if (m_h_Port == nullptr || m_b_Shut) {
        return;
    }
    m_b_Shut = true;
    EndCommWait();
    CancelIoEx(m_h_Port, nullptr);
}

void CUsbSerialPort::Shut() {
    AcquireSRWLockExclusive(&m_x_Lock);
    ShutLocked();
    ReleaseSRWLockExclusive(&m_x_Lock);
}

void CUsbSerialPort::CancelAll() {
    AcquireSRWLockShared(&m_x_Lock);
    if (m_h_Port != nullptr) {
        CancelIoEx(m_h_Port, nullptr);
    }
    ReleaseSRWLockShared(&m_x_Lock);
}

void CUsbSerialPort::Close() {
    AcquireSRWLockExclusive(&m_x_Lock);
    if (m_h_Port != nullptr) {
        if (m_b_Shut) {
            // What a late thread may still have pending (see UsbSerial_WaitCancelling).
            CancelIoEx(m_h_Port, nullptr);
        } else {
            ShutLocked();
        }
        CloseHandle(m_h_Port);
        m_h_Port = nullptr;
        m_b_Shut = false;
    }
    ReleaseSRWLockExclusive(&m_x_Lock);
}
