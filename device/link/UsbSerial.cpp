#include "device/link/UsbSerial.h"

#include "ipc/protocol/TulvoStatus.h"
#include "service/TraceLog.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// Both directions aborted and cleared.
const DWORD PURGE_ALL = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
const DWORD PURGE_RECEIVE = PURGE_RXABORT | PURGE_RXCLEAR;

// The creating thread duplicates a thread handle under the lock and waits on its copy, so
// that the monitor thread may replace and close the original meanwhile.
HANDLE DuplicateThreadHandle(HANDLE i_h_Thread) {
    HANDLE l_h_Copy = nullptr;
    if (i_h_Thread == nullptr ||
        !DuplicateHandle(GetCurrentProcess(), i_h_Thread, GetCurrentProcess(), &l_h_Copy,
                         SYNCHRONIZE, FALSE, 0)) {
        return nullptr;
    }
    return l_h_Copy;
}

} // namespace

CUsbSerial::CUsbSerial(const char* i_pc_PortName)
    : m_ac_PortName{}, m_apuc_RxBuffer{}, m_aul_BytesReceived{}, m_h_ThreadProc(nullptr),
      m_i_ThreadProcRunning(0), m_h_Port(nullptr), m_h_MonitorThread(nullptr),
      m_ul_MonitorThreadId(0), m_h_MonitorEventStop(nullptr), m_h_MonitorEventSleep(nullptr),
      m_h_MonitorEventWakeUp(nullptr), m_h_ThreadProcEventStop(nullptr),
      m_i_OpenError(0), m_x_CommEventOverlapped{}, m_h_CommEvent(nullptr), m_ul_CommEventMask(0),
      m_ul_ReceiveThreadStarts(0) {
    if (i_pc_PortName != nullptr) {
        snprintf(m_ac_PortName, sizeof(m_ac_PortName), "%s", i_pc_PortName);
    }
    InitializeCriticalSection(&m_x_ThreadLock);
}

CUsbSerial::~CUsbSerial() {
    StopThreads();
    ClosePort();
    CloseHandleIfAny(&m_h_MonitorEventStop);
    CloseHandleIfAny(&m_h_MonitorEventSleep);
    CloseHandleIfAny(&m_h_MonitorEventWakeUp);
    CloseHandleIfAny(&m_h_ThreadProcEventStop);
    CloseHandleIfAny(&m_h_ThreadProc);
    CloseHandleIfAny(&m_h_MonitorThread);
    // The armed comm-event wait ended with the port.
    CloseHandleIfAny(&m_h_CommEvent);
    DeleteCriticalSection(&m_x_ThreadLock);
}

void CUsbSerial::CloseHandleIfAny(HANDLE* io_ph_Handle) {
    if (*io_ph_Handle != nullptr) {
        CloseHandle(*io_ph_Handle);
        *io_ph_Handle = nullptr;
    }
}

void CUsbSerial::HandleOpenError(int32_t i_i_SystemError) {
    InterlockedExchange(&m_i_OpenError, i_i_SystemError);
}

void CUsbSerial::ResetReceive() {}

int32_t CUsbSerial::HandleReceiveBytes(const uint8_t* i_puc_Bytes, uint32_t i_ul_Count) {
    (void)i_puc_Bytes;
    (void)i_ul_Count;
    return TULVO_OK;
}

int32_t CUsbSerial::Open(const char* i_pc_PortName) {
    if (m_h_Port != nullptr) {
        TraceLog_Printf("CUsbSerial::Open - Port already opened\n");
        return TULVO_PORT_ALREADY_OPEN;
    }
    char l_ac_Path[USBSERIAL_PORT_NAME_SIZE + 8];
    snprintf(l_ac_Path, sizeof(l_ac_Path), "\\\\.\\%s", i_pc_PortName);
    HANDLE l_h_Port = CreateFileA(l_ac_Path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (l_h_Port == INVALID_HANDLE_VALUE) {
        const DWORD l_ul_Error = GetLastError();
        HandleOpenError(static_cast<int32_t>(l_ul_Error));
        // The owner's hook may have made system calls of its own.
        SetLastError(l_ul_Error);
        TraceLog_SysError("CUsbSerial::Open: CreateFile");
        return TULVO_PORT_NOT_OPEN;
    }
    TraceLog_Printf("CUsbSerial::Open Port %s Created 0x%08X\n", i_pc_PortName,
                    static_cast<unsigned>(reinterpret_cast<uintptr_t>(l_h_Port)));
    m_h_Port = l_h_Port;
    const int32_t l_i_Status = ConfigurePort();
    if (l_i_Status != TULVO_OK) {
        ClosePort();
    }
    return l_i_Status;
}

int32_t CUsbSerial::ConfigurePort() {
    int32_t l_i_Status = SetCommState();
    if (l_i_Status == TULVO_OK) {
        l_i_Status = FlushBuffers();
    }
    if (l_i_Status == TULVO_OK) {
        l_i_Status = SetupComm(USBSERIAL_QUEUE_SIZE, USBSERIAL_QUEUE_SIZE);
    }
    if (l_i_Status == TULVO_OK) {
        l_i_Status = MySetCommTimeouts(USBSERIAL_OPEN_TIMEOUT_MS);
    }
    if (l_i_Status == TULVO_OK) {
        l_i_Status = FlushBuffers();
    }
    return l_i_Status;
}

int32_t CUsbSerial::SetCommState() {
    HANDLE l_h_Port = m_h_Port;
    if (l_h_Port == nullptr) {
        return TULVO_PORT_NOT_OPEN;
    }
    DCB l_x_Dcb;
    memset(&l_x_Dcb, 0, sizeof(l_x_Dcb));
    l_x_Dcb.DCBlength = sizeof(l_x_Dcb);
    if (!GetCommState(l_h_Port, &l_x_Dcb)) {
        TraceLog_SysError("CUsbSerial::SetCommState: GetCommState");
        return TULVO_PORT_ERROR;
    }
    l_x_Dcb.BaudRate = USBSERIAL_BAUD_RATE;
    l_x_Dcb.fBinary = 1;
    l_x_Dcb.fParity = 0;
    l_x_Dcb.fOutxCtsFlow = 0;
    l_x_Dcb.fOutxDsrFlow = 0;
    l_x_Dcb.fDtrControl = DTR_CONTROL_ENABLE;
    l_x_Dcb.fDsrSensitivity = 0;
    l_x_Dcb.fTXContinueOnXoff = 0;
    l_x_Dcb.fOutX = 0;
    l_x_Dcb.fInX = 0;
    l_x_Dcb.fErrorChar = 0;
    l_x_Dcb.fNull = 0;
    l_x_Dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    l_x_Dcb.fAbortOnError = 0;
    l_x_Dcb.fDummy2 = 0;
    l_x_Dcb.wReserved = 0;
    l_x_Dcb.XonLim = 64;
    l_x_Dcb.XoffLim = 64;
    l_x_Dcb.ByteSize = 8;
    l_x_Dcb.Parity = NOPARITY;
    l_x_Dcb.StopBits = ONESTOPBIT;
    l_x_Dcb.XonChar = 0x11;
    l_x_Dcb.XoffChar = 0x13;
    l_x_Dcb.ErrorChar = 0;
    l_x_Dcb.EofChar = 0;
    l_x_Dcb.EvtChar = 0;
    if (!::SetCommState(l_h_Port, &l_x_Dcb)) {
        TraceLog_SysError("CUsbSerial::SetCommState: SetCommState");
        return TULVO_PORT_ERROR;
    }
    return TULVO_OK;
}

int32_t CUsbSerial::MySetCommTimeouts(uint32_t i_ul_ReadTotalConstant) {
    HANDLE l_h_Port = m_h_Port;
    if (l_h_Port == nullptr) {
        return TULVO_PORT_NOT_OPEN;
    }
    COMMTIMEOUTS l_x_Timeouts;
    if (!GetCommTimeouts(l_h_Port, &l_x_Timeouts)) {
        TraceLog_SysError("MySetCommTimeouts: GetCommTimeouts");
        return TULVO_PORT_ERROR;
    }
    l_x_Timeouts.ReadIntervalTimeout = 500;
    l_x_Timeouts.ReadTotalTimeoutMultiplier = 1;
    l_x_Timeouts.ReadTotalTimeoutConstant = i_ul_ReadTotalConstant;
    l_x_Timeouts.WriteTotalTimeoutMultiplier = 1;
    l_x_Timeouts.WriteTotalTimeoutConstant = 1000;
    if (!SetCommTimeouts(l_h_Port, &l_x_Timeouts)) {
        TraceLog_SysError("MySetCommTimeouts: GetCommTimeouts");
        return TULVO_PORT_ERROR;
    }
    return TULVO_OK;
}

int32_t CUsbSerial::SetupComm(uint32_t i_ul_InputSize, uint32_t i_ul_OutputSize) {
    HANDLE l_h_Port = m_h_Port;
    if (l_h_Port == nullptr) {
        return TULVO_PORT_NOT_OPEN;
    }
    if (!::SetupComm(l_h_Port, i_ul_InputSize, i_ul_OutputSize)) {
        TraceLog_SysError("CUsbSerial::SetupComm: SetupComm");
        return TULVO_PORT_ERROR;
    }
    return TULVO_OK;
}

int32_t CUsbSerial::PurgeComm(uint32_t i_ul_Flags) {
    HANDLE l_h_Port = m_h_Port;
    if (l_h_Port == nullptr) {
        return TULVO_PORT_NOT_OPEN;
    }
    if (!::PurgeComm(l_h_Port, i_ul_Flags)) {
        TraceLog_SysError("CUsbSerial::PurgeComm: PurgeComm");
        return TULVO_PORT_ERROR;
    }
    return TULVO_OK;
}

int32_t CUsbSerial::FlushBuffers() {
    const int32_t l_i_Status = PurgeComm(PURGE_ALL);
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    HANDLE l_h_Port = m_h_Port;
    if (l_h_Port == nullptr) {
        return TULVO_PORT_NOT_OPEN;
    }
    if (!FlushFileBuffers(l_h_Port)) {
        TraceLog_SysError("CUsbSerial::FlushBuffers: FlushFileBuffers");
        return TULVO_PORT_ERROR;
    }
    return TULVO_OK;
}

void CUsbSerial::ClosePort() {
    // Other threads read the handle without a lock: they see none before it is closed.
    HANDLE l_h_Port = InterlockedExchangePointer(const_cast<PVOID*>(&m_h_Port), nullptr);
    if (l_h_Port != nullptr) {
        CloseHandle(l_h_Port);
    }
}

int32_t CUsbSerial::WriteBuffer(uint32_t i_ul_TimeoutMs, const uint8_t* i_puc_Bytes,
                                uint32_t i_ul_Count) {
    if (i_puc_Bytes == nullptr) {
        return TULVO_NULL_BUFFER;
    }
    HANDLE l_h_Port = m_h_Port;
    if (l_h_Port == nullptr) {
        return TULVO_PORT_NOT_OPEN;
    }
    HANDLE l_h_Event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (l_h_Event == nullptr) {
        TraceLog_SysError("CUsbSerial::WriteBuffer: CreateEvent");
        return TULVO_CREATE_OBJECT_FAILED;
    }
    OVERLAPPED l_x_Overlapped;
    memset(&l_x_Overlapped, 0, sizeof(l_x_Overlapped));
    l_x_Overlapped.hEvent = l_h_Event;
    DWORD l_ul_Written = 0;
    int32_t l_i_Status = TULVO_OK;
    bool l_b_Collect = false;
    if (WriteFile(l_h_Port, i_puc_Bytes, i_ul_Count, &l_ul_Written, &l_x_Overlapped)) {
        l_b_Collect = true;
    } else if (GetLastError() != ERROR_IO_PENDING) {
        TraceLog_SysError("CUsbSerial::WriteBuffer: WriteFile");
        l_i_Status = TULVO_DATA_TOO_LARGE;
    } else {
        const DWORD l_ul_Wait = WaitForSingleObject(l_h_Event, i_ul_TimeoutMs);
        if (l_ul_Wait == WAIT_OBJECT_0) {
            if (GetOverlappedResult(l_h_Port, &l_x_Overlapped, &l_ul_Written, FALSE)) {
                l_b_Collect = true;
            } else {
                if (i_ul_Count >= USBSERIAL_MAX_WRITE_SIZE) {
                    TraceLog_Printf("Invalid DataSize : Max packet size for Usbser.sys is 4MB\n");
                } else {
                    TraceLog_SysError("CUsbSerial::WriteBuffer: GetOverlappedResult");
                }
                l_i_Status = TULVO_DATA_TOO_LARGE;
            }
        } else {
            if (l_ul_Wait == WAIT_TIMEOUT) {
                TraceLog_Printf("CUsbSerial::WriteBuffer: WaitForSingleObject WAIT_TIMEOUT\n");
                l_i_Status = TULVO_TIMEOUT;
            } else {
                TraceLog_SysError("CUsbSerial::WriteBuffer: WaitForSingleObject");
                l_i_Status = TULVO_SYSTEM_ERROR;
            }
            // The record and the bytes live on this stack frame and in the caller's buffer:
            // the write must be over before either goes away.
            CancelIoEx(l_h_Port, &l_x_Overlapped);
            GetOverlappedResult(l_h_Port, &l_x_Overlapped, &l_ul_Written, TRUE);
        }
    }
    if (l_b_Collect && l_ul_Written != i_ul_Count) {
        // The port's own write time-out ended the transfer early: a cut frame is no success.
        TraceLog_Printf("CUsbSerial::WriteBuffer: %lu of %lu bytes written\n",
                        static_cast<unsigned long>(l_ul_Written),
                        static_cast<unsigned long>(i_ul_Count));
        l_i_Status = TULVO_TIMEOUT;
    }
    CloseHandle(l_h_Event);
    return l_i_Status;
}

int32_t CUsbSerial::ReadBuffer(uint8_t* o_puc_Buffer, uint32_t* io_pul_Count) {
    HANDLE l_h_Port = m_h_Port;
    if (l_h_Port == nullptr) {
        return TULVO_PORT_NOT_OPEN;
    }
    DWORD l_ul_Errors = 0;
    COMSTAT l_x_Stat;
    memset(&l_x_Stat, 0, sizeof(l_x_Stat));
    if (!ClearCommError(l_h_Port, &l_ul_Errors, &l_x_Stat)) {
        TraceLog_SysError("CUsbSerial::ReadBuffer: ClearCommError");
        return TULVO_PORT_ERROR;
    }
    DWORD l_ul_ToRead = *io_pul_Count;
    if (l_ul_ToRead == 0) {
        l_ul_ToRead =
            l_x_Stat.cbInQue < USBSERIAL_READ_SIZE ? l_x_Stat.cbInQue : USBSERIAL_READ_SIZE;
        if (l_ul_ToRead == 0) {
            TraceLog_Printf("CUsbSerial::ReadBuffer: Nothing to read\n");
            return TULVO_OK;
        }
    }
    HANDLE l_h_Event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (l_h_Event == nullptr) {
        TraceLog_SysError("CUsbSerial::ReadBuffer: CreateEvent");
        return TULVO_CREATE_OBJECT_FAILED;
    }
    OVERLAPPED l_x_Overlapped;
    memset(&l_x_Overlapped, 0, sizeof(l_x_Overlapped));
    l_x_Overlapped.hEvent = l_h_Event;
    DWORD l_ul_Read = 0;
    TraceLog_Printf("CUsbSerial::ReadBuffer: read start\n");
    if (!ReadFile(l_h_Port, o_puc_Buffer, l_ul_ToRead, &l_ul_Read, &l_x_Overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
        TraceLog_SysError("1-CUsbSerial::ReadBuffer: ReadFile");
        l_ul_Read = 0;
    } else {
        const DWORD l_ul_Wait = WaitForSingleObject(l_h_Event, USBSERIAL_READBUFFER_WAIT_MS);
        if (l_ul_Wait == WAIT_OBJECT_0) {
            if (GetOverlappedResult(l_h_Port, &l_x_Overlapped, &l_ul_Read, FALSE)) {
                TraceLog_Printf("CUsbSerial::ReadBuffer: Successfully got %d bytes\n",
                                static_cast<int>(l_ul_Read));
            } else {
                TraceLog_SysError("CUsbSerial::ReadBuffer: GetOverlappedResult");
            }
        } else {
            if (l_ul_Wait == WAIT_TIMEOUT) {
                TraceLog_Printf("CUsbSerial::ReadBuffer: WaitForSingleObject WAIT_TIMEOUT\n");
            } else {
                TraceLog_SysError("CUsbSerial::ReadBuffer: WaitForSingleObject");
            }
            CancelIoEx(l_h_Port, &l_x_Overlapped);
            GetOverlappedResult(l_h_Port, &l_x_Overlapped, &l_ul_Read, TRUE);
        }
    }
    CloseHandle(l_h_Event);
    *io_pul_Count = l_ul_Read;
    return TULVO_OK;
}

int32_t CUsbSerial::CancelIo() {
    HANDLE l_h_Port = m_h_Port;
    if (l_h_Port == nullptr) {
        return TULVO_PORT_NOT_OPEN;
    }
    if (!::CancelIo(l_h_Port)) {
        TraceLog_SysError("CUsbSerial::CancelIo: CancelIo");
        return TULVO_CANCEL_IO_FAILED;
    }
    return TULVO_OK;
}

int32_t CUsbSerial::WaitCommEvent(OVERLAPPED* io_px_Overlapped, DWORD* o_pul_EventMask) {
    HANDLE l_h_Port = m_h_Port;
    if (l_h_Port == nullptr) {
        return TULVO_PORT_NOT_OPEN;
    }
    bool l_b_Failed = false;
    if (!SetCommMask(l_h_Port, EV_RXCHAR)) {
        TraceLog_SysError("CUsbSerial::WaitCommEvent: SetCommMask");
        l_b_Failed = true;
    } else if (!::WaitCommEvent(l_h_Port, o_pul_EventMask, io_px_Overlapped) &&
               GetLastError() != ERROR_IO_PENDING) {
        TraceLog_SysError("CUsbSerial::WaitCommEvent: WaitCommEvent");
        l_b_Failed = true;
    }
    if (l_b_Failed) {
        TraceLog_SysError("CUsbSerial::WaitCommEvent: WaitCommEvent");
        return TULVO_PORT_ERROR;
    }
    return TULVO_OK;
}

int32_t CUsbSerial::ArmCommEvent() {
    CloseHandleIfAny(&m_h_CommEvent);
    m_h_CommEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (m_h_CommEvent == nullptr) {
        TraceLog_SysError("CUsbSerial::WaitCommEvent: CreateEvent");
        return TULVO_CREATE_OBJECT_FAILED;
    }
    memset(&m_x_CommEventOverlapped, 0, sizeof(m_x_CommEventOverlapped));
    m_x_CommEventOverlapped.hEvent = m_h_CommEvent;
    m_ul_CommEventMask = 0;
    return WaitCommEvent(&m_x_CommEventOverlapped, &m_ul_CommEventMask);
}

int32_t CUsbSerial::RequestSleep() {
    if (m_h_MonitorEventSleep != nullptr) {
        SetEvent(m_h_MonitorEventSleep);
    }
    return TULVO_OK;
}

int32_t CUsbSerial::RequestWakeUp() {
    if (m_h_MonitorEventWakeUp != nullptr) {
        SetEvent(m_h_MonitorEventWakeUp);
    }
    return TULVO_OK;
}

int32_t CUsbSerial::Start() {
    int32_t l_i_Status = Open(m_ac_PortName);
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    m_h_MonitorEventStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (m_h_MonitorEventStop == nullptr) {
        TraceLog_SysError("CUsbSerial::CUsbSerial: CreateEvent m_h_MonitorEventStop");
        return TULVO_PORT_ERROR;
    }
    m_h_MonitorEventSleep = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (m_h_MonitorEventSleep == nullptr) {
        TraceLog_SysError("CUsbSerial::CUsbSerial: CreateEvent m_h_MonitorEventSleep");
        return TULVO_PORT_ERROR;
    }
    m_h_MonitorEventWakeUp = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (m_h_MonitorEventWakeUp == nullptr) {
        TraceLog_SysError("CUsbSerial::CUsbSerial: CreateEvent m_h_MonitorEventWakeUp");
        return TULVO_PORT_ERROR;
    }
    m_h_ThreadProcEventStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (m_h_ThreadProcEventStop == nullptr) {
        TraceLog_SysError("CUsbSerial::CUsbSerial: CreateEvent m_h_ThreadProcEventStop");
        return TULVO_PORT_ERROR;
    }
    DWORD l_ul_ThreadId = 0;
    m_h_MonitorThread = CreateThread(nullptr, 0, ThreadProc, this, 0, &l_ul_ThreadId);
    if (m_h_MonitorThread == nullptr) {
        TraceLog_SysError("CUsbSerial::CUsbSerial: CreateThread");
        return TULVO_PORT_ERROR;
    }
    m_ul_MonitorThreadId = l_ul_ThreadId;
    if (!SetThreadPriority(m_h_MonitorThread, THREAD_PRIORITY_HIGHEST)) {
        TraceLog_SysError("CUsbSerial::CUsbSerial: SetThreadPriority");
        return TULVO_PORT_ERROR;
    }
    return TULVO_OK;
}

void CUsbSerial::WaitThreadEnd(HANDLE i_h_Thread, const char* i_pc_Name) {
    if (WaitForSingleObject(i_h_Thread, USBSERIAL_THREAD_WAIT_MS) != WAIT_TIMEOUT) {
        return;
    }
    TraceLog_Printf("CUsbSerial: %s of %s still running after %d ms\n", i_pc_Name, m_ac_PortName,
                    USBSERIAL_THREAD_WAIT_MS);
    // Closing the port ends every pending read and write; what is left for the thread is its
    // own clean-up. Freeing the object under it would be worse than waiting for that.
    ClosePort();
    WaitForSingleObject(i_h_Thread, INFINITE);
}

void CUsbSerial::StopThreads() {
    if (m_h_ThreadProcEventStop != nullptr) {
        SetEvent(m_h_ThreadProcEventStop);
        EnterCriticalSection(&m_x_ThreadLock);
        HANDLE l_h_Receive = DuplicateThreadHandle(m_h_ThreadProc);
        LeaveCriticalSection(&m_x_ThreadLock);
        if (l_h_Receive != nullptr) {
            WaitThreadEnd(l_h_Receive, "ThreadProcInternal");
            CloseHandle(l_h_Receive);
        }
    }
    if (m_h_MonitorEventStop != nullptr && m_h_MonitorThread != nullptr) {
        SetEvent(m_h_MonitorEventStop);
        WaitThreadEnd(m_h_MonitorThread, "Recv Monitor");
        // A wake-up handled just before the stop may have started a receive thread after the
        // wait above; with the monitor gone the handle is stable. That thread has seen the
        // stop event already.
        if (m_h_ThreadProc != nullptr) {
            WaitThreadEnd(m_h_ThreadProc, "ThreadProcInternal");
        }
    }
}

void CUsbSerial::JoinLateReceiveThread() {
    // A receive thread that outlived the sleep's wait (its owner was slow to take a frame)
    // ends on its own: its port is closed. Reopening first would leave it running on the new
    // port, and the new port without a thread of its own.
    EnterCriticalSection(&m_x_ThreadLock);
    if (m_h_ThreadProc != nullptr) {
        WaitForSingleObject(m_h_ThreadProc, INFINITE);
        CloseHandle(m_h_ThreadProc);
        m_h_ThreadProc = nullptr;
    }
    LeaveCriticalSection(&m_x_ThreadLock);
}

int32_t CUsbSerial::StartReceiveThread() {
    EnterCriticalSection(&m_x_ThreadLock);
    if (m_h_ThreadProc != nullptr) {
        // A thread that outlived the sleep's wait has cleared its running flag by now; it is
        // on its last lines.
        WaitForSingleObject(m_h_ThreadProc, INFINITE);
        CloseHandle(m_h_ThreadProc);
        m_h_ThreadProc = nullptr;
    }
    // Set before the thread runs, so that no wake-up can start a second one meanwhile.
    InterlockedExchange(&m_i_ThreadProcRunning, 1);
    InterlockedIncrement(&m_ul_ReceiveThreadStarts);
    m_h_ThreadProc = CreateThread(nullptr, 0, ThreadProcInternal, this, 0, nullptr);
    const bool l_b_Started = m_h_ThreadProc != nullptr;
    LeaveCriticalSection(&m_x_ThreadLock);
    if (!l_b_Started) {
        TraceLog_SysError("CUsbSerial::ThreadProc: CreateThread");
        InterlockedExchange(&m_i_ThreadProcRunning, 0);
        return TULVO_PORT_ERROR;
    }
    return TULVO_OK;
}

DWORD WINAPI CUsbSerial::ThreadProc(LPVOID i_pv_This) {
    return static_cast<CUsbSerial*>(i_pv_This)->MonitorLoop();
}

DWORD WINAPI CUsbSerial::ThreadProcInternal(LPVOID i_pv_This) {
    return static_cast<CUsbSerial*>(i_pv_This)->ReceiveLoop();
}

DWORD CUsbSerial::MonitorLoop() {
    TraceLog_Printf("Starting Recv Monitor for %s ...\n", m_ac_PortName);
    int32_t l_i_WakeUpStatus = TULVO_OK;
    StartReceiveThread();
    for (;;) {
        if (l_i_WakeUpStatus != TULVO_OK && m_i_ThreadProcRunning == 0) {
            ResetReceive();
        }
        HANDLE l_ah_Events[3] = {m_h_MonitorEventStop, m_h_MonitorEventSleep,
                                 m_h_MonitorEventWakeUp};
        const DWORD l_ul_Wait = WaitForMultipleObjects(3, l_ah_Events, FALSE, INFINITE);
        if (l_ul_Wait == WAIT_OBJECT_0) {
            TraceLog_Printf("Stoping Recv Monitor for %s\n", m_ac_PortName);
            ResetEvent(m_h_MonitorEventStop);
            return static_cast<DWORD>(l_i_WakeUpStatus);
        }
        if (l_ul_Wait == WAIT_OBJECT_0 + 1) {
            TraceLog_Printf(
                "CUsbSerial::ThreadProc WaitForMultipleObjects: m_h_MonitorEventSleep\n");
            PurgeComm(PURGE_RECEIVE);
            ClosePort();
            EnterCriticalSection(&m_x_ThreadLock);
            if (m_h_ThreadProc != nullptr &&
                WaitForSingleObject(m_h_ThreadProc, USBSERIAL_THREAD_WAIT_MS) != WAIT_TIMEOUT) {
                CloseHandle(m_h_ThreadProc);
                m_h_ThreadProc = nullptr;
            }
            // A late thread keeps its handle: the next start and destruction wait for it.
            LeaveCriticalSection(&m_x_ThreadLock);
        } else if (l_ul_Wait == WAIT_OBJECT_0 + 2) {
            TraceLog_Printf(
                "CUsbSerial::ThreadProc WaitForMultipleObjects: m_h_MonitorEventWakeUp\n");
            if (m_h_Port == nullptr) {
                JoinLateReceiveThread();
            }
            l_i_WakeUpStatus = Open(m_ac_PortName);
            if (l_i_WakeUpStatus == TULVO_OK) {
                l_i_WakeUpStatus = ArmCommEvent();
            }
            if (l_i_WakeUpStatus == TULVO_OK && m_i_ThreadProcRunning == 0) {
                StartReceiveThread();
            }
        } else {
            TraceLog_SysError("CUsbSerial::ThreadProc: WaitForMultipleObjects");
        }
    }
}

DWORD CUsbSerial::ReceiveLoop() {
    InterlockedExchange(&m_i_ThreadProcRunning, 1);
    TraceLog_Printf("ThreadProcInternal Starting\n");
    ResetReceive();

    COMMTIMEOUTS l_x_Timeouts;
    l_x_Timeouts.ReadIntervalTimeout = USBSERIAL_RX_INTERVAL_MS;
    l_x_Timeouts.ReadTotalTimeoutMultiplier = 0;
    l_x_Timeouts.ReadTotalTimeoutConstant = 0;
    l_x_Timeouts.WriteTotalTimeoutMultiplier = 1;
    l_x_Timeouts.WriteTotalTimeoutConstant = 1000;
    HANDLE l_h_Port = m_h_Port;
    if (l_h_Port == nullptr) {
        // Closed by a sleep before this thread got here.
        SetLastError(ERROR_INVALID_HANDLE);
    }
    if (l_h_Port == nullptr || !SetCommTimeouts(l_h_Port, &l_x_Timeouts)) {
        TraceLog_SysError("ThreadProcInternal: SetCommTimeouts");
        InterlockedExchange(&m_i_ThreadProcRunning, 0);
        return static_cast<DWORD>(TULVO_PORT_ERROR);
    }

    HANDLE l_ah_Events[USBSERIAL_READ_COUNT] = {};
    OVERLAPPED* l_apx_Overlapped[USBSERIAL_READ_COUNT] = {};
    bool l_ab_Pending[USBSERIAL_READ_COUNT] = {};
    bool l_b_Ready = true;
    for (int l_i_Index = 0; l_i_Index < USBSERIAL_READ_COUNT; ++l_i_Index) {
        m_apuc_RxBuffer[l_i_Index] = static_cast<uint8_t*>(malloc(USBSERIAL_READ_SIZE));
        m_aul_BytesReceived[l_i_Index] = 0;
        l_ah_Events[l_i_Index] = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        l_apx_Overlapped[l_i_Index] = static_cast<OVERLAPPED*>(calloc(1, sizeof(OVERLAPPED)));
        if (m_apuc_RxBuffer[l_i_Index] == nullptr || l_ah_Events[l_i_Index] == nullptr ||
            l_apx_Overlapped[l_i_Index] == nullptr) {
            // Without its buffer, event or record an index could never be waited on; the
            // loop would spin on a failed wait instead.
            TraceLog_SysError("ThreadProcInternal: Initial read failed");
            l_b_Ready = false;
            break;
        }
        l_apx_Overlapped[l_i_Index]->hEvent = l_ah_Events[l_i_Index];
        if (ReadFile(m_h_Port, m_apuc_RxBuffer[l_i_Index], USBSERIAL_READ_SIZE, nullptr,
                     l_apx_Overlapped[l_i_Index]) ||
            GetLastError() == ERROR_IO_PENDING) {
            l_ab_Pending[l_i_Index] = true;
        } else {
            TraceLog_SysError("ThreadProcInternal: Initial read failed");
        }
    }

    bool l_b_AnyPending = false;
    for (bool l_b_Pending : l_ab_Pending) {
        l_b_AnyPending = l_b_AnyPending || l_b_Pending;
    }
    if (l_b_Ready && !l_b_AnyPending) {
        // The port went away before a single read started (a sleep right after the start):
        // no index would ever signal, and only destruction could end the wait.
        l_b_Ready = false;
    }
    // Failed completions in a row. Wine keeps accepting reads on a pty whose master has gone
    // and fails each at once, so a device that leaves would make this loop spin; two failed
    // rounds of the whole ring mean the port is gone.
    int l_i_FailedInARow = 0;
    int l_i_Index = 0;
    while (l_b_Ready) {
        HANDLE l_ah_Wait[2] = {m_h_ThreadProcEventStop, l_ah_Events[l_i_Index]};
        const DWORD l_ul_Wait = WaitForMultipleObjects(2, l_ah_Wait, FALSE, INFINITE);
        if (l_ul_Wait == WAIT_OBJECT_0) {
            break;
        }
        if (l_ul_Wait == WAIT_OBJECT_0 + 1) {
            OVERLAPPED* l_px_Overlapped = l_apx_Overlapped[l_i_Index];
            uint8_t* l_puc_Buffer = m_apuc_RxBuffer[l_i_Index];
            DWORD l_ul_Count = 0;
            l_ab_Pending[l_i_Index] = false;
            bool l_b_Empty = false;
            if (!GetOverlappedResult(m_h_Port, l_px_Overlapped, &l_ul_Count, FALSE)) {
                if (GetLastError() == ERROR_TIMEOUT && l_ul_Count == 0) {
                    // Wine ends the other outstanding reads this way once an interval time-out
                    // has completed one: nothing arrived, nothing failed.
                    l_b_Empty = true;
                } else {
                    TraceLog_SysError("CUsbSerial::ReadBuffer: GetOverlappedResult");
                    ++l_i_FailedInARow;
                }
            } else {
                l_i_FailedInARow = 0;
            }
            if (!l_b_Empty) {
                m_aul_BytesReceived[l_i_Index] = l_ul_Count;
                TraceLog_Printf("CUsbSerial::ReadBuffer%d: got %d bytes\n", l_i_Index,
                                static_cast<int>(l_ul_Count));
                if (HandleReceiveBytes(l_puc_Buffer, l_ul_Count) != TULVO_OK) {
                    TraceLog_Printf("Error HandleReceiveBytes\n");
                    ResetReceive();
                }
            }
            if (l_i_FailedInARow >= USBSERIAL_FAILED_READS_LIMIT) {
                TraceLog_Printf("ThreadProcInternal: %d reads failed in a row\n", l_i_FailedInARow);
                break;
            }
            memset(l_px_Overlapped, 0, sizeof(*l_px_Overlapped));
            l_px_Overlapped->hEvent = l_ah_Events[l_i_Index];
            if (!ReadFile(m_h_Port, l_puc_Buffer, USBSERIAL_READ_SIZE, nullptr, l_px_Overlapped) &&
                GetLastError() != ERROR_IO_PENDING) {
                TraceLog_SysError("ThreadProcInternal: intermediate read failed");
                break;
            }
            l_ab_Pending[l_i_Index] = true;
        }
        l_i_Index = (l_i_Index + 1) % USBSERIAL_READ_COUNT;
    }

    TraceLog_Printf("ThreadProcInternal : Stopping read loop\n");
    if (m_h_Port != nullptr) {
        ::CancelIo(m_h_Port);
    }
    // Only reads that are still outstanding will signal; waiting for an index whose read never
    // started would cost the whole limit.
    HANDLE l_ah_Outstanding[USBSERIAL_READ_COUNT];
    DWORD l_ul_Outstanding = 0;
    for (int l_i_Read = 0; l_i_Read < USBSERIAL_READ_COUNT; ++l_i_Read) {
        if (l_ab_Pending[l_i_Read]) {
            l_ah_Outstanding[l_ul_Outstanding++] = l_ah_Events[l_i_Read];
        }
    }
    bool l_b_Drained = true;
    if (l_ul_Outstanding > 0 && WaitForMultipleObjects(l_ul_Outstanding, l_ah_Outstanding, TRUE,
                                                       USBSERIAL_THREAD_WAIT_MS) == WAIT_TIMEOUT) {
        // The port may still write into these buffers and records: leaking them is the only
        // safe choice.
        TraceLog_Printf("ThreadProcInternal : reads still pending, buffers left allocated\n");
        l_b_Drained = false;
    }
    for (int l_i_Read = 0; l_i_Read < USBSERIAL_READ_COUNT; ++l_i_Read) {
        if (l_b_Drained || !l_ab_Pending[l_i_Read]) {
            free(m_apuc_RxBuffer[l_i_Read]);
            free(l_apx_Overlapped[l_i_Read]);
            if (l_ah_Events[l_i_Read] != nullptr) {
                CloseHandle(l_ah_Events[l_i_Read]);
            }
        }
        m_apuc_RxBuffer[l_i_Read] = nullptr;
        m_aul_BytesReceived[l_i_Read] = 0;
    }
    InterlockedExchange(&m_i_ThreadProcRunning, 0);
    TraceLog_Printf("ThreadProcInternal : Done\n");
    return 0;
}
