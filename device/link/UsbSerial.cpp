#include "device/link/UsbSerial.h"

#include "ipc/protocol/TulvoStatus.h"
#include "service/ServiceLifecycle.h"
#include "service/TraceLog.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// Both directions aborted and cleared.
const DWORD PURGE_ALL = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
const DWORD PURGE_RECEIVE = PURGE_RXABORT | PURGE_RXCLEAR;

const char g_ac_ParametersKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\" SERV_TULVO_SERVICE_NAME "\\Parameters";
const char g_ac_FrameCompleteReadsValue[] = "FrameCompleteReads";

// Read anew at every opening of a port, so that switching the mode takes a replug or a sleep and
// wake-up, not a restart of the service. Anything but the DWORD 1 leaves the mode off.
bool ReadFrameCompleteReads() {
    HKEY l_h_Key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, g_ac_ParametersKey, 0, KEY_QUERY_VALUE, &l_h_Key) !=
        ERROR_SUCCESS) {
        return false;
    }
    DWORD l_ul_Type = REG_NONE;
    DWORD l_ul_Value = 0;
    DWORD l_ul_Size = sizeof(l_ul_Value);
    const LONG l_l_Status =
        RegQueryValueExA(l_h_Key, g_ac_FrameCompleteReadsValue, nullptr, &l_ul_Type,
                         reinterpret_cast<BYTE*>(&l_ul_Value), &l_ul_Size);
    RegCloseKey(l_h_Key);
    return l_l_Status == ERROR_SUCCESS && l_ul_Type == REG_DWORD &&
           l_ul_Size == sizeof(l_ul_Value) && l_ul_Value == 1;
}

// Wine ends the other outstanding reads of the ring with ERROR_TIMEOUT and no bytes each time
// the quiet interval ends one of them, often thousands of times a second. Nothing arrived and
// nothing failed: such a read is neither logged nor handed to the receiver.
bool IsWineIntervalTimeout(bool i_b_Read, uint32_t i_ul_Count) {
    return !i_b_Read && i_ul_Count == 0 && GetLastError() == ERROR_TIMEOUT;
}

// Wine keeps accepting reads on a port whose device has gone (a pty whose master was closed) and
// fails each of them at once, where Windows refuses to start them, which ends the receive
// thread. Without a limit the ring would spin on these failures; as many failed reads in a row
// as two rounds of the whole ring count as the refused start.
class CWineGonePortWatch {
public:
    bool IsGone(bool i_b_Read) {
        m_i_FailedInARow = i_b_Read ? 0 : m_i_FailedInARow + 1;
        return m_i_FailedInARow >= 2 * USBSERIAL_READ_COUNT;
    }

private:
    int m_i_FailedInARow = 0;
};

// Hands a completed read to the receiver, in both receive modes. False once the port is gone:
// the receive thread ends then.
bool ConsumeRead(CUsbSerial& io_x_Link, CUsbSerialReadRing& io_x_Ring, uint32_t i_ul_Index,
                 CWineGonePortWatch& io_x_GonePort) {
    uint32_t l_ul_Count = 0;
    const bool l_b_Read = io_x_Ring.Collect(i_ul_Index, &l_ul_Count);
    if (IsWineIntervalTimeout(l_b_Read, l_ul_Count)) {
        return true;
    }
    if (!l_b_Read) {
        TraceLog_SysError("CUsbSerial::ReadBuffer: GetOverlappedResult");
    }
    TraceLog_Printf("CUsbSerial::ReadBuffer%d: got %d bytes\n", static_cast<int>(i_ul_Index),
                    static_cast<int>(l_ul_Count));
    if (io_x_Link.HandleReceiveBytes(io_x_Ring.GetBytes(i_ul_Index), l_ul_Count) != TULVO_OK) {
        TraceLog_Printf("Error HandleReceiveBytes\n");
        io_x_Link.ResetReceive();
    }
    return !io_x_GonePort.IsGone(l_b_Read);
}

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
    : m_ac_PortName{}, m_h_ThreadProc(nullptr), m_i_ThreadProcRunning(0),
      m_h_MonitorThread(nullptr), m_ul_MonitorThreadId(0), m_h_MonitorEventStop(nullptr),
      m_h_MonitorEventSleep(nullptr), m_h_MonitorEventWakeUp(nullptr),
      m_h_ThreadProcEventStop(nullptr), m_i_OpenError(0), m_i_FrameCompleteReads(0),
      m_ul_ReceiveThreadStarts(0), m_l_PendingWrites(0) {
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
    CloseHandleIfAny(&m_h_WriteCancel);
    CloseHandleIfAny(&m_h_ThreadProc);
    CloseHandleIfAny(&m_h_MonitorThread);
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

uint32_t CUsbSerial::GetBytesAwaited() {
    return 1;
}

int32_t CUsbSerial::Open(const char* i_pc_PortName) {
    if (m_x_Port.IsOpen()) {
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
    const bool l_b_FrameCompleteReads = ReadFrameCompleteReads();
    InterlockedExchange(&m_i_FrameCompleteReads, l_b_FrameCompleteReads ? 1 : 0);
    // The line of a plain installation stays as it always was; the opt-in mode shows itself.
    TraceLog_Printf("CUsbSerial::Open Port %s Created 0x%08X%s\n", i_pc_PortName,
                    static_cast<unsigned>(reinterpret_cast<uintptr_t>(l_h_Port)),
                    l_b_FrameCompleteReads ? " FrameCompleteReads=1" : "");
    m_x_Port.Adopt(l_h_Port);
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
    const char* l_pc_Failed = nullptr;
    const bool l_b_Open = m_x_Port.Use([&](HANDLE i_h_Port) {
        DCB l_x_Dcb;
        memset(&l_x_Dcb, 0, sizeof(l_x_Dcb));
        l_x_Dcb.DCBlength = sizeof(l_x_Dcb);
        if (!GetCommState(i_h_Port, &l_x_Dcb)) {
            l_pc_Failed = "CUsbSerial::SetCommState: GetCommState";
            return;
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
        if (!::SetCommState(i_h_Port, &l_x_Dcb)) {
            l_pc_Failed = "CUsbSerial::SetCommState: SetCommState";
        }
    });
    if (!l_b_Open) {
        return TULVO_PORT_NOT_OPEN;
    }
    if (l_pc_Failed != nullptr) {
        TraceLog_SysError(l_pc_Failed);
        return TULVO_PORT_ERROR;
    }
    return TULVO_OK;
}

int32_t CUsbSerial::MySetCommTimeouts(uint32_t i_ul_ReadTotalConstant) {
    bool l_b_Done = false;
    const bool l_b_Open = m_x_Port.Use([&](HANDLE i_h_Port) {
        COMMTIMEOUTS l_x_Timeouts;
        if (!GetCommTimeouts(i_h_Port, &l_x_Timeouts)) {
            return;
        }
        l_x_Timeouts.ReadIntervalTimeout = 500;
        l_x_Timeouts.ReadTotalTimeoutMultiplier = 1;
        l_x_Timeouts.ReadTotalTimeoutConstant = i_ul_ReadTotalConstant;
        l_x_Timeouts.WriteTotalTimeoutMultiplier = 1;
        l_x_Timeouts.WriteTotalTimeoutConstant = 1000;
        l_b_Done = SetCommTimeouts(i_h_Port, &l_x_Timeouts) != FALSE;
    });
    if (!l_b_Open) {
        return TULVO_PORT_NOT_OPEN;
    }
    if (!l_b_Done) {
        TraceLog_SysError("MySetCommTimeouts: GetCommTimeouts");
        return TULVO_PORT_ERROR;
    }
    return TULVO_OK;
}

int32_t CUsbSerial::SetupComm(uint32_t i_ul_InputSize, uint32_t i_ul_OutputSize) {
    bool l_b_Done = false;
    if (!m_x_Port.Use([&](HANDLE i_h_Port) {
            l_b_Done = ::SetupComm(i_h_Port, i_ul_InputSize, i_ul_OutputSize) != FALSE;
        })) {
        return TULVO_PORT_NOT_OPEN;
    }
    if (!l_b_Done) {
        TraceLog_SysError("CUsbSerial::SetupComm: SetupComm");
        return TULVO_PORT_ERROR;
    }
    return TULVO_OK;
}

int32_t CUsbSerial::PurgeComm(uint32_t i_ul_Flags) {
    bool l_b_Done = false;
    if (!m_x_Port.Use(
            [&](HANDLE i_h_Port) { l_b_Done = ::PurgeComm(i_h_Port, i_ul_Flags) != FALSE; })) {
        return TULVO_PORT_NOT_OPEN;
    }
    if (!l_b_Done) {
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
    bool l_b_Done = false;
    if (!m_x_Port.Use([&](HANDLE i_h_Port) { l_b_Done = FlushFileBuffers(i_h_Port) != FALSE; })) {
        return TULVO_PORT_NOT_OPEN;
    }
    if (!l_b_Done) {
        TraceLog_SysError("CUsbSerial::FlushBuffers: FlushFileBuffers");
        return TULVO_PORT_ERROR;
    }
    return TULVO_OK;
}

void CUsbSerial::ClosePort() {
    m_x_Port.Close();
}

void CUsbSerial::CancelAndCollect(CUsbSerialPort& io_x_Port, uint32_t i_ul_Generation,
                                  HANDLE i_h_Port, OVERLAPPED* io_px_Overlapped,
                                  DWORD* o_pul_Count) {
    // The record and the bytes belong to the caller's frame: the call must be over before
    // either goes away, however long that takes.
    UsbSerial_WaitCancelling(&io_px_Overlapped->hEvent, 1, INFINITE, [&] {
        io_x_Port.UseIfStill(i_ul_Generation,
                             [&](HANDLE i_h_Same) { CancelIoEx(i_h_Same, io_px_Overlapped); });
    });
    GetOverlappedResult(i_h_Port, io_px_Overlapped, o_pul_Count, FALSE);
}

int32_t CUsbSerial::WriteBuffer(uint32_t i_ul_TimeoutMs, const uint8_t* i_puc_Bytes,
                                uint32_t i_ul_Count) {
    if (i_puc_Bytes == nullptr) {
        return TULVO_NULL_BUFFER;
    }
    if (!m_x_Port.IsOpen()) {
        return TULVO_PORT_NOT_OPEN;
    }
    if (m_l_WritesCancelled != 0) {
        return TULVO_ABORTED;
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
    BOOL l_b_Done = FALSE;
    DWORD l_ul_Error = ERROR_SUCCESS;
    HANDLE l_h_Port = nullptr;
    uint32_t l_ul_Generation = 0;
    if (!m_x_Port.Use(
            [&](HANDLE i_h_Port) {
                l_h_Port = i_h_Port;
                l_b_Done =
                    WriteFile(i_h_Port, i_puc_Bytes, i_ul_Count, &l_ul_Written, &l_x_Overlapped);
                l_ul_Error = GetLastError();
            },
            &l_ul_Generation)) {
        // Closed by a sleep since the check above.
        CloseHandle(l_h_Event);
        return TULVO_PORT_NOT_OPEN;
    }
    int32_t l_i_Status = TULVO_OK;
    bool l_b_Collect = false;
    if (l_b_Done) {
        l_b_Collect = true;
    } else if (l_ul_Error != ERROR_IO_PENDING) {
        SetLastError(l_ul_Error);
        TraceLog_SysError("CUsbSerial::WriteBuffer: WriteFile");
        l_i_Status = TULVO_DATA_TOO_LARGE;
    } else {
        InterlockedIncrement(&m_l_PendingWrites);
        const HANDLE l_ah_Wait[2] = {l_h_Event, m_h_WriteCancel};
        const DWORD l_ul_Wait = WaitForMultipleObjects(m_h_WriteCancel != nullptr ? 2 : 1,
                                                       l_ah_Wait, FALSE, i_ul_TimeoutMs);
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
            } else if (l_ul_Wait == WAIT_OBJECT_0 + 1) {
                TraceLog_Printf("CUsbSerial::WriteBuffer: cancelled\n");
                l_i_Status = TULVO_ABORTED;
            } else {
                TraceLog_SysError("CUsbSerial::WriteBuffer: WaitForSingleObject");
                l_i_Status = TULVO_SYSTEM_ERROR;
            }
            CancelAndCollect(m_x_Port, l_ul_Generation, l_h_Port, &l_x_Overlapped, &l_ul_Written);
        }
        InterlockedDecrement(&m_l_PendingWrites);
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

int32_t CUsbSerial::CancelWrites() {
    InterlockedExchange(&m_l_WritesCancelled, 1);
    if (m_h_WriteCancel == nullptr || !SetEvent(m_h_WriteCancel)) {
        TraceLog_SysError("CUsbSerial::CancelWrites: SetEvent");
        return TULVO_SIGNAL_ERROR;
    }
    return TULVO_OK;
}

int32_t CUsbSerial::ReadBuffer(uint8_t* o_puc_Buffer, uint32_t* io_pul_Count) {
    DWORD l_ul_Errors = 0;
    COMSTAT l_x_Stat;
    memset(&l_x_Stat, 0, sizeof(l_x_Stat));
    bool l_b_Cleared = false;
    if (!m_x_Port.Use([&](HANDLE i_h_Port) {
            l_b_Cleared = ClearCommError(i_h_Port, &l_ul_Errors, &l_x_Stat) != FALSE;
        })) {
        return TULVO_PORT_NOT_OPEN;
    }
    if (!l_b_Cleared) {
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
    bool l_b_Started = false;
    HANDLE l_h_Port = nullptr;
    uint32_t l_ul_Generation = 0;
    TraceLog_Printf("CUsbSerial::ReadBuffer: read start\n");
    m_x_Port.Use(
        [&](HANDLE i_h_Port) {
            l_h_Port = i_h_Port;
            l_b_Started =
                ReadFile(i_h_Port, o_puc_Buffer, l_ul_ToRead, &l_ul_Read, &l_x_Overlapped) ||
                GetLastError() == ERROR_IO_PENDING;
        },
        &l_ul_Generation);
    if (!l_b_Started) {
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
            CancelAndCollect(m_x_Port, l_ul_Generation, l_h_Port, &l_x_Overlapped, &l_ul_Read);
        }
    }
    CloseHandle(l_h_Event);
    *io_pul_Count = l_ul_Read;
    return TULVO_OK;
}

int32_t CUsbSerial::CancelIo() {
    bool l_b_Done = false;
    if (!m_x_Port.Use([&](HANDLE i_h_Port) { l_b_Done = ::CancelIo(i_h_Port) != FALSE; })) {
        return TULVO_PORT_NOT_OPEN;
    }
    if (!l_b_Done) {
        TraceLog_SysError("CUsbSerial::CancelIo: CancelIo");
        return TULVO_CANCEL_IO_FAILED;
    }
    return TULVO_OK;
}

int32_t CUsbSerial::WaitCommEvent(OVERLAPPED* io_px_Overlapped, DWORD* o_pul_EventMask) {
    const char* l_pc_Failed = nullptr;
    DWORD l_ul_Error = ERROR_SUCCESS;
    if (!m_x_Port.Use([&](HANDLE i_h_Port) {
            if (!SetCommMask(i_h_Port, EV_RXCHAR)) {
                l_pc_Failed = "CUsbSerial::WaitCommEvent: SetCommMask";
            } else if (!::WaitCommEvent(i_h_Port, o_pul_EventMask, io_px_Overlapped) &&
                       GetLastError() != ERROR_IO_PENDING) {
                l_pc_Failed = "CUsbSerial::WaitCommEvent: WaitCommEvent";
            }
            l_ul_Error = GetLastError();
        })) {
        return TULVO_PORT_NOT_OPEN;
    }
    if (l_pc_Failed != nullptr) {
        SetLastError(l_ul_Error);
        TraceLog_SysError(l_pc_Failed);
        TraceLog_SysError("CUsbSerial::WaitCommEvent: WaitCommEvent");
        return TULVO_PORT_ERROR;
    }
    return TULVO_OK;
}

int32_t CUsbSerial::ArmCommEvent() {
    SUsbSerialCommWait* l_px_Wait = m_x_Port.NewCommWait();
    if (l_px_Wait == nullptr) {
        TraceLog_SysError("CUsbSerial::WaitCommEvent: CreateEvent");
        return TULVO_CREATE_OBJECT_FAILED;
    }
    const int32_t l_i_Status =
        WaitCommEvent(&l_px_Wait->m_x_Overlapped, &l_px_Wait->m_ul_EventMask);
    if (l_i_Status != TULVO_OK) {
        m_x_Port.DropCommWait();
    }
    return l_i_Status;
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
    // Nothing new starts on the port and what is pending is cancelled: what is left for the
    // thread is its own clean-up. Freeing the object under it would be worse than waiting.
    m_x_Port.Shut();
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
            // The handle is closed once the receive thread has collected its reads: see
            // CUsbSerialPort on what closing it under pending reads does under Wine.
            m_x_Port.Shut();
            EnterCriticalSection(&m_x_ThreadLock);
            if (m_h_ThreadProc != nullptr &&
                UsbSerial_WaitCancelling(&m_h_ThreadProc, 1, USBSERIAL_THREAD_WAIT_MS,
                                         [&] { m_x_Port.CancelAll(); })) {
                CloseHandle(m_h_ThreadProc);
                m_h_ThreadProc = nullptr;
            }
            // A late thread keeps its handle: the next start and destruction wait for it.
            LeaveCriticalSection(&m_x_ThreadLock);
            ClosePort();
        } else if (l_ul_Wait == WAIT_OBJECT_0 + 2) {
            TraceLog_Printf(
                "CUsbSerial::ThreadProc WaitForMultipleObjects: m_h_MonitorEventWakeUp\n");
            if (!m_x_Port.IsOpen()) {
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
    const bool l_b_FrameCompleteReads = m_i_FrameCompleteReads != 0;
    if (!SetReceiveTimeouts(l_b_FrameCompleteReads)) {
        TraceLog_SysError("ThreadProcInternal: SetCommTimeouts");
        InterlockedExchange(&m_i_ThreadProcRunning, 0);
        return static_cast<DWORD>(TULVO_PORT_ERROR);
    }
    {
        CUsbSerialReadRing l_x_Ring;
        if (l_b_FrameCompleteReads) {
            ReadFramesUntilStopped(l_x_Ring);
        } else if (StartInitialReads(l_x_Ring)) {
            ReadUntilStopped(l_x_Ring);
        }
        TraceLog_Printf("ThreadProcInternal : Stopping read loop\n");
        if (!l_x_Ring.Drain(m_x_Port, USBSERIAL_THREAD_WAIT_MS)) {
            TraceLog_Printf("ThreadProcInternal : reads still pending, buffers left allocated\n");
        }
    }
    InterlockedExchange(&m_i_ThreadProcRunning, 0);
    TraceLog_Printf("ThreadProcInternal : Done\n");
    return 0;
}

bool CUsbSerial::SetReceiveTimeouts(bool i_b_FrameCompleteReads) {
    // A read waits for its first byte without limit and ends once the line has been quiet for
    // the interval, or its buffer is full. Frame-complete reads use no read time-out at all: a
    // read ends when it has every byte it asked for.
    COMMTIMEOUTS l_x_Timeouts;
    l_x_Timeouts.ReadIntervalTimeout = i_b_FrameCompleteReads ? 0 : USBSERIAL_RX_INTERVAL_MS;
    l_x_Timeouts.ReadTotalTimeoutMultiplier = 0;
    l_x_Timeouts.ReadTotalTimeoutConstant = 0;
    l_x_Timeouts.WriteTotalTimeoutMultiplier = 1;
    l_x_Timeouts.WriteTotalTimeoutConstant = 1000;
    bool l_b_Done = false;
    m_x_Port.Use(
        [&](HANDLE i_h_Port) { l_b_Done = SetCommTimeouts(i_h_Port, &l_x_Timeouts) != FALSE; });
    return l_b_Done;
}

bool CUsbSerial::StartInitialReads(CUsbSerialReadRing& io_x_Ring) {
    for (uint32_t l_ul_Index = 0; l_ul_Index < USBSERIAL_READ_COUNT; ++l_ul_Index) {
        if (!io_x_Ring.Allocate(l_ul_Index)) {
            // An index without its buffer or event could never be waited on.
            TraceLog_SysError("ThreadProcInternal: Initial read failed");
            return false;
        }
        if (!io_x_Ring.Start(m_x_Port, l_ul_Index)) {
            TraceLog_SysError("ThreadProcInternal: Initial read failed");
        }
    }
    // With no read outstanding (the port was closed by a sleep right after the start) no index
    // would ever signal, and only destruction could end the wait.
    return io_x_Ring.AnyOutstanding();
}

void CUsbSerial::ReadUntilStopped(CUsbSerialReadRing& io_x_Ring) {
    CWineGonePortWatch l_x_GonePort;
    uint32_t l_ul_Index = 0;
    for (;;) {
        HANDLE l_ah_Wait[2] = {m_h_ThreadProcEventStop, io_x_Ring.GetEvent(l_ul_Index)};
        const DWORD l_ul_Wait = WaitForMultipleObjects(2, l_ah_Wait, FALSE, INFINITE);
        if (l_ul_Wait == WAIT_OBJECT_0) {
            return;
        }
        if (l_ul_Wait == WAIT_OBJECT_0 + 1) {
            if (!ConsumeRead(*this, io_x_Ring, l_ul_Index, l_x_GonePort)) {
                return;
            }
            if (!io_x_Ring.Start(m_x_Port, l_ul_Index)) {
                TraceLog_SysError("ThreadProcInternal: intermediate read failed");
                return;
            }
        }
        l_ul_Index = (l_ul_Index + 1) % USBSERIAL_READ_COUNT;
    }
}

void CUsbSerial::ReadFramesUntilStopped(CUsbSerialReadRing& io_x_Ring) {
    for (uint32_t l_ul_Index = 0; l_ul_Index < USBSERIAL_READ_COUNT; ++l_ul_Index) {
        if (!io_x_Ring.Allocate(l_ul_Index)) {
            TraceLog_SysError("ThreadProcInternal: Initial read failed");
            return;
        }
    }
    // Reads are started and consumed in index order, as in the default mode, but each asks for
    // a size chosen when it starts. Beyond the first outstanding read only bytes that the frame
    // in progress still owes are asked for: a long frame keeps up to the ring's eight reads
    // queued, so that the driver always has somewhere to put it, and the last of them ends with
    // the frame.
    uint32_t l_aul_Asked[USBSERIAL_READ_COUNT] = {};
    uint32_t l_ul_Next = 0;
    uint32_t l_ul_Outstanding = 0;
    uint32_t l_ul_Ahead = 0;
    const char* l_pc_StartFailure = "ThreadProcInternal: Initial read failed";
    CWineGonePortWatch l_x_GonePort;
    for (;;) {
        while (l_ul_Outstanding < USBSERIAL_READ_COUNT) {
            uint32_t l_ul_Size = 0;
            if (l_ul_Outstanding == 0) {
                l_ul_Size = FrameReadSize();
            } else {
                const uint32_t l_ul_Owed = GetBytesAwaited();
                if (l_ul_Owed <= l_ul_Ahead) {
                    break;
                }
                l_ul_Size = l_ul_Owed - l_ul_Ahead < USBSERIAL_READ_SIZE ? l_ul_Owed - l_ul_Ahead
                                                                         : USBSERIAL_READ_SIZE;
            }
            const uint32_t l_ul_Index = (l_ul_Next + l_ul_Outstanding) % USBSERIAL_READ_COUNT;
            if (!io_x_Ring.Start(m_x_Port, l_ul_Index, l_ul_Size)) {
                TraceLog_SysError(l_pc_StartFailure);
                return;
            }
            l_aul_Asked[l_ul_Index] = l_ul_Size;
            l_ul_Ahead += l_ul_Size;
            ++l_ul_Outstanding;
        }
        l_pc_StartFailure = "ThreadProcInternal: intermediate read failed";
        HANDLE l_ah_Wait[2] = {m_h_ThreadProcEventStop, io_x_Ring.GetEvent(l_ul_Next)};
        const DWORD l_ul_Wait = WaitForMultipleObjects(2, l_ah_Wait, FALSE, INFINITE);
        if (l_ul_Wait == WAIT_OBJECT_0) {
            return;
        }
        if (l_ul_Wait != WAIT_OBJECT_0 + 1) {
            continue;
        }
        l_ul_Ahead -= l_aul_Asked[l_ul_Next];
        --l_ul_Outstanding;
        if (!ConsumeRead(*this, io_x_Ring, l_ul_Next, l_x_GonePort)) {
            return;
        }
        l_ul_Next = (l_ul_Next + 1) % USBSERIAL_READ_COUNT;
    }
}

uint32_t CUsbSerial::FrameReadSize() {
    uint32_t l_ul_Size = GetBytesAwaited();
    // Bytes the driver holds already come in the same read: a burst of frames costs one read,
    // not one per frame. The count is all this call is for; the error flags it clears are not
    // used anywhere.
    DWORD l_ul_Errors = 0;
    COMSTAT l_x_Stat;
    memset(&l_x_Stat, 0, sizeof(l_x_Stat));
    bool l_b_Held = false;
    m_x_Port.Use([&](HANDLE i_h_Port) {
        l_b_Held = ClearCommError(i_h_Port, &l_ul_Errors, &l_x_Stat) != FALSE;
    });
    if (l_b_Held && l_x_Stat.cbInQue > l_ul_Size) {
        l_ul_Size = l_x_Stat.cbInQue;
    }
    if (l_ul_Size == 0) {
        l_ul_Size = 1;
    }
    return l_ul_Size < USBSERIAL_READ_SIZE ? l_ul_Size : USBSERIAL_READ_SIZE;
}
