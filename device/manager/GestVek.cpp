#include "device/manager/GestVek.h"

#include "device/discovery/TulvoEnum.h"
#include "device/link/Ilv.h"
#include "ipc/protocol/TulvoStatus.h"
#include "service/EventLog.h"
#include "service/TraceLog.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>

namespace {

// Holds the object's state lock for one scope.
class CStateGuard {
public:
    explicit CStateGuard(CRITICAL_SECTION* i_px_Lock) : m_px_Lock(i_px_Lock) {
        EnterCriticalSection(m_px_Lock);
    }
    ~CStateGuard() { LeaveCriticalSection(m_px_Lock); }
    CStateGuard(const CStateGuard&) = delete;
    CStateGuard& operator=(const CStateGuard&) = delete;

private:
    CRITICAL_SECTION* m_px_Lock;
};

// Port names such as COM5; the lookup upper-cases its argument in place.
const size_t GESTVEK_PORT_NAME_SIZE = 32;

std::atomic<uint32_t> g_ul_KernelCalls{0};

} // namespace

void GestVek_CountKernelCall() {
    g_ul_KernelCalls.fetch_add(1, std::memory_order_relaxed);
}

uint32_t GestVek_GetKernelCallCount() {
    return g_ul_KernelCalls.load(std::memory_order_relaxed);
}

CGestVekHold CGestVek::Create(CGestVekOwner* i_px_Owner, const char* i_pc_PortName,
                              int32_t i_i_OpenAllowed) {
    CGestVek* l_px_GestVek =
        new (std::nothrow) CGestVek(i_px_Owner, i_pc_PortName, i_i_OpenAllowed);
    return CGestVekHold(l_px_GestVek);
}

void CGestVek::DestroyReturned(CGestVek* i_px_GestVek) {
    delete i_px_GestVek;
}

CGestVek::CGestVek(CGestVekOwner* i_px_Owner, const char* i_pc_PortName, int32_t i_i_OpenAllowed)
    : m_x_Properties{}, m_ac_SerialNumber{}, m_uc_RunLevel(GESTVEK_UNKNOWN_RUN_LEVEL),
      m_px_Owner(i_px_Owner), m_i_OpenAllowed(i_i_OpenAllowed), m_i_Allocated(0),
      m_px_Link(nullptr), m_ax_Pipes{}, m_i_LastWriterPipe(0), m_h_WriteMutex(nullptr),
      m_i_OpenError(0), m_i_HoldCount(1), m_ul_HomeThreadId(GetCurrentThreadId()),
      m_b_Stopped(false), m_b_Opened(false) {
    InitializeCriticalSection(&m_x_StateLock);
    InitializeCriticalSection(&m_x_OpenLock);
    for (SPipeEntry& l_x_Entry : m_ax_Pipes) {
        l_x_Entry.m_px_Pipe = nullptr;
        l_x_Entry.m_us_PendingIdentifier = 0;
    }
    char l_ac_Port[GESTVEK_PORT_NAME_SIZE] = {};
    if (i_pc_PortName != nullptr) {
        snprintf(l_ac_Port, sizeof(l_ac_Port), "%s", i_pc_PortName);
        if (TulvoEnum_GetPropertiesByPort(l_ac_Port, &m_x_Properties) != TULVO_OK) {
            // A fill that failed half-way may have read some texts: the record is all or none.
            TulvoEnum_FreeDeviceProperties(&m_x_Properties);
        }
    }
}

CGestVek::~CGestVek() {
    Release();
    TulvoEnum_FreeDeviceProperties(&m_x_Properties);
    if (m_h_WriteMutex != nullptr) {
        CloseHandle(m_h_WriteMutex);
    }
    DeleteCriticalSection(&m_x_OpenLock);
    DeleteCriticalSection(&m_x_StateLock);
    if (m_px_Owner != nullptr) {
        m_px_Owner->HandleGestVekDestroyed(this);
    }
}

void CGestVek::AddHold() {
    ++m_i_HoldCount;
}

void CGestVek::DropHold() {
    if (--m_i_HoldCount != 0) {
        return;
    }
    if (GetCurrentThreadId() == m_ul_HomeThreadId || m_px_Owner == nullptr) {
        delete this;
    } else {
        m_px_Owner->HandleGestVekReturned(this);
    }
}

int32_t CGestVek::Allocate() {
    CStateGuard l_x_Opening(&m_x_OpenLock);
    if (m_b_Opened) {
        return TULVO_OK;
    }
    CGestVek_Pipe* l_px_NormalPipe = nullptr;
    {
        CStateGuard l_x_Guard(&m_x_StateLock);
        if (m_i_Allocated == 1) {
            return TULVO_OK;
        }
        if (m_b_Stopped) {
            // Leaving the list: its port is not to be opened again.
            return TULVO_PORT_NOT_OPEN;
        }
        if (m_x_Properties.m_puc_DevicePath == nullptr) {
            return TULVO_DEVICE_NOT_PRESENT;
        }
        if (m_h_WriteMutex == nullptr) {
            m_h_WriteMutex = CreateMutexA(nullptr, FALSE, nullptr);
            if (m_h_WriteMutex == nullptr) {
                TraceLog_SysError("CGestVek::Allocate CreateMutex");
            }
        }
        CUsbSerialProtocole* l_px_Link = new (std::nothrow) CUsbSerialProtocole(
            this, reinterpret_cast<const char*>(m_x_Properties.m_puc_DevicePath));
        if (l_px_Link == nullptr) {
            return TULVO_NO_MEMORY;
        }
        const int32_t l_i_Status = l_px_Link->Start();
        if (l_i_Status != TULVO_OK) {
            m_i_OpenError = l_px_Link->GetOpenError();
            EventLog_PortNotOpened(reinterpret_cast<const char*>(m_x_Properties.m_puc_SerialNumber),
                                   reinterpret_cast<const char*>(m_x_Properties.m_puc_DevicePath),
                                   static_cast<uint32_t>(m_i_OpenError), l_i_Status);
            delete l_px_Link;
            return l_i_Status;
        }
        for (int32_t l_i_Index = 0; l_i_Index < GESTVEK_PIPE_COUNT; ++l_i_Index) {
            m_ax_Pipes[l_i_Index].m_px_Pipe =
                new (std::nothrow) CGestVek_Pipe(this, l_i_Index, m_ac_SerialNumber);
            m_ax_Pipes[l_i_Index].m_us_PendingIdentifier = 0;
            if (m_ax_Pipes[l_i_Index].m_px_Pipe == nullptr) {
                // The link goes first: its receive thread must not find pipes half-made.
                delete l_px_Link;
                DeletePipes();
                return TULVO_NO_MEMORY;
            }
        }
        m_px_Link = l_px_Link;
        // Published last: the receive thread and GetPipe look at the pipes only after this.
        m_i_Allocated = 1;
        l_px_NormalPipe = m_ax_Pipes[TULVOSERV_NORMALPIPE].m_px_Pipe;
    }
    // Outside the state lock: these exchanges take up to 15 s each with a silent device, and a
    // suspend or a removal meanwhile must not wait for them (their stop ends them at once).
    Sleep(1);
    char l_ac_SerialNumber[GESTVEK_SERIAL_NUMBER_SIZE];
    l_px_NormalPipe->GetSerialNumber(l_ac_SerialNumber);
    memcpy(m_ac_SerialNumber, l_ac_SerialNumber, sizeof(m_ac_SerialNumber));
    uint8_t l_uc_RunLevel = GESTVEK_UNKNOWN_RUN_LEVEL;
    l_px_NormalPipe->GetRunLevel(&l_uc_RunLevel);
    m_uc_RunLevel = l_uc_RunLevel;
    m_b_Opened = true;
    TraceLog_Printf("CGestVek::Allocate %s RL %d\n", m_ac_SerialNumber, l_uc_RunLevel);
    return TULVO_OK;
}

int32_t CGestVek::AllocateIfAllowed() {
    return m_i_OpenAllowed == 1 ? Allocate() : TULVO_OK;
}

void CGestVek::DeletePipes() {
    for (SPipeEntry& l_x_Entry : m_ax_Pipes) {
        if (l_x_Entry.m_px_Pipe != nullptr) {
            l_x_Entry.m_px_Pipe->Stop();
            delete l_x_Entry.m_px_Pipe;
            l_x_Entry.m_px_Pipe = nullptr;
        }
        l_x_Entry.m_us_PendingIdentifier = 0;
    }
}

void CGestVek::Release() {
    CStateGuard l_x_Guard(&m_x_StateLock);
    if (m_i_Allocated != 1) {
        return;
    }
    m_i_Allocated = 0;
    m_b_Opened = false;
    // A receive thread waiting for a full mailbox would hold up the link's destruction.
    for (SPipeEntry& l_x_Entry : m_ax_Pipes) {
        l_x_Entry.m_px_Pipe->SetStopEvent();
    }
    delete m_px_Link;
    m_px_Link = nullptr;
    DeletePipes();
}

int32_t CGestVek::GetPipe(int32_t i_i_Index, CGestVek_Pipe** o_ppx_Pipe) {
    *o_ppx_Pipe = nullptr;
    if (!m_b_Opened) {
        const int32_t l_i_OpenError = m_i_OpenError;
        if (m_i_Allocated != 1 && l_i_OpenError != 0) {
            SetLastError(static_cast<DWORD>(l_i_OpenError));
            TraceLog_SysError("CGestVek::GetPipe Not opened because");
        }
        // Also when the object may not be opened: a caller must never get success without a
        // pipe. While another thread opens it, this waits for the end of its exchange.
        if (AllocateIfAllowed() != TULVO_OK || !m_b_Opened) {
            return TULVO_PORT_NOT_OPEN;
        }
    }
    if (i_i_Index < 0 || i_i_Index >= GESTVEK_PIPE_COUNT) {
        return TULVO_NO_RESPONSE;
    }
    *o_ppx_Pipe = m_ax_Pipes[i_i_Index].m_px_Pipe;
    return TULVO_OK;
}

bool CGestVek::GetLockHolder(int32_t i_i_Index, uint32_t* o_pul_ProcessId,
                             ULONGLONG* o_pull_Since) const {
    // The pipes exist from the moment the object is marked open until its destruction.
    if (m_i_Allocated != 1 || i_i_Index < 0 || i_i_Index >= GESTVEK_PIPE_COUNT) {
        return false;
    }
    return m_ax_Pipes[i_i_Index].m_px_Pipe->GetLockHolder(o_pul_ProcessId, o_pull_Since);
}

int32_t CGestVek::ChoosePipe(bool i_b_HasIdentifier, uint16_t i_us_Identifier) {
    if (i_b_HasIdentifier) {
        for (int32_t l_i_Index = 0; l_i_Index < GESTVEK_PIPE_COUNT; ++l_i_Index) {
            // Cleared before the frame is handed over: once the reader has it, it may write
            // the same request again, and that new wait must not be cleared.
            uint16_t l_us_Expected = i_us_Identifier;
            if (m_ax_Pipes[l_i_Index].m_us_PendingIdentifier.compare_exchange_strong(l_us_Expected,
                                                                                     0)) {
                TraceLog_Printf("CGestVek::HandleReceiveFrame: I=0x%04X P=%d\n", i_us_Identifier,
                                l_i_Index);
                return l_i_Index;
            }
        }
        if (i_us_Identifier == ILV_INVALID) {
            const int32_t l_i_Index = m_i_LastWriterPipe;
            TraceLog_Printf("CGestVek::HandleReceiveFrame: I=0x%04X(ILV_INVALID) P=%d\n",
                            i_us_Identifier, l_i_Index);
            return l_i_Index;
        }
        if (i_us_Identifier == ILV_VEK_ASYNC_REALTIMELOG) {
            TraceLog_Printf("CGestVek::HandleReceiveFrame: I=0x%04X(ILV_VEK_ASYNC_REALTIMELOG) "
                            "P=TULVOSERV_REALTIMELOGPIPE\n",
                            i_us_Identifier);
            return TULVOSERV_REALTIMELOGPIPE;
        }
    }
    TraceLog_Printf("CGestVek::HandleReceiveFrame: I=0x%04X P=TULVOSERV_NORMALPIPE\n",
                    i_us_Identifier);
    return TULVOSERV_NORMALPIPE;
}

int32_t CGestVek::HandleReceiveFrame(uint8_t* i_puc_Frame, uint32_t i_ul_Length) {
    if (m_i_Allocated != 1) {
        free(i_puc_Frame);
        return TULVO_NO_RESPONSE;
    }
    // A frame too short to hold its identifier claims no reply and goes to the normal pipe.
    uint16_t l_us_Identifier = 0;
    const bool l_b_HasIdentifier =
        GestVek_GetFrameIdentifier(i_puc_Frame, i_ul_Length, &l_us_Identifier);
    const int32_t l_i_Index = ChoosePipe(l_b_HasIdentifier, l_us_Identifier);
    for (int32_t l_i_Other = 0; l_b_HasIdentifier && l_i_Other < GESTVEK_PIPE_COUNT; ++l_i_Other) {
        if (l_i_Other != l_i_Index) {
            m_ax_Pipes[l_i_Other].m_px_Pipe->NoteFrameElsewhere(l_us_Identifier);
        }
    }
    const int32_t l_i_Status =
        m_ax_Pipes[l_i_Index].m_px_Pipe->SetReadEvent(i_puc_Frame, i_ul_Length);
    if (l_i_Status != TULVO_OK) {
        TraceLog_Printf("CGestVek::HandleReceiveFrame: SetReadEvent Error\n");
    }
    return l_i_Status;
}

int32_t CGestVek::WriteFrame(int32_t i_i_PipeIndex, uint32_t i_ul_Timeout,
                             const uint8_t* i_puc_Frame, uint32_t i_ul_Length, bool* o_pb_Sent) {
    if (m_i_Allocated != 1 || i_i_PipeIndex < 0 || i_i_PipeIndex >= GESTVEK_PIPE_COUNT) {
        return TULVO_NO_RESPONSE;
    }
    uint16_t l_us_Identifier = 0;
    GestVek_GetFrameIdentifier(i_puc_Frame, i_ul_Length, &l_us_Identifier);
    if ((l_us_Identifier == GESTVEK_ILV_RUN_LEVEL_ONLY_1 ||
         l_us_Identifier == GESTVEK_ILV_RUN_LEVEL_ONLY_2) &&
        m_uc_RunLevel != GESTVEK_RUN_LEVEL_OPEN) {
        return TULVO_FRAME_REFUSED;
    }
    GestVek_CountKernelCall();
    DWORD l_ul_Wait = WaitForSingleObject(m_h_WriteMutex, i_ul_Timeout);
    if (l_ul_Wait == WAIT_ABANDONED) {
        // A writer ended while holding it; the mutex is ours now, as after a normal wait.
        TraceLog_Printf("WaitForSingleObject WAIT_ABANDONED 1\n");
        l_ul_Wait = WAIT_OBJECT_0;
    }
    if (l_ul_Wait == WAIT_OBJECT_0) {
        // Recorded before the write: the reply cannot come before the request is out.
        m_i_LastWriterPipe = i_i_PipeIndex;
        m_ax_Pipes[i_i_PipeIndex].m_us_PendingIdentifier = l_us_Identifier;
        if (o_pb_Sent != nullptr) {
            *o_pb_Sent = true;
        }
        const int32_t l_i_Status = m_px_Link->WriteFrame(i_ul_Timeout, i_puc_Frame, i_ul_Length);
        GestVek_CountKernelCall();
        ReleaseMutex(m_h_WriteMutex);
        return l_i_Status;
    }
    if (l_ul_Wait == WAIT_TIMEOUT) {
        TraceLog_Printf("CGestVek::WriteFrame: WaitForSingleObject WAIT_TIMEOUT\n");
        return TULVO_TIMEOUT;
    }
    TraceLog_SysError("CGestVek::WriteFrame: WaitForSingleObject");
    return TULVO_SYSTEM_ERROR;
}

void CGestVek::KeepAwaiting(int32_t i_i_PipeIndex, uint16_t i_us_Identifier) {
    // Only where the wait was cleared: a newer write of the pipe keeps its own.
    uint16_t l_us_Expected = 0;
    m_ax_Pipes[i_i_PipeIndex].m_us_PendingIdentifier.compare_exchange_strong(l_us_Expected,
                                                                             i_us_Identifier);
}

int32_t CGestVek::Suspend() {
    CStateGuard l_x_Guard(&m_x_StateLock);
    if (m_i_Allocated != 1) {
        return TULVO_NO_RESPONSE;
    }
    for (SPipeEntry& l_x_Entry : m_ax_Pipes) {
        l_x_Entry.m_px_Pipe->SetStopEvent();
    }
    m_px_Link->RequestSleep();
    return TULVO_OK;
}

int32_t CGestVek::Resume() {
    CStateGuard l_x_Guard(&m_x_StateLock);
    if (m_i_Allocated != 1 || m_b_Stopped) {
        return TULVO_NO_RESPONSE;
    }
    for (SPipeEntry& l_x_Entry : m_ax_Pipes) {
        l_x_Entry.m_px_Pipe->ResetStopEvent();
    }
    m_px_Link->RequestWakeUp();
    return TULVO_OK;
}

void CGestVek::Stop() {
    CStateGuard l_x_Guard(&m_x_StateLock);
    m_b_Stopped = true;
    if (m_i_Allocated != 1) {
        return;
    }
    for (SPipeEntry& l_x_Entry : m_ax_Pipes) {
        l_x_Entry.m_px_Pipe->Stop();
    }
    // A writer waiting for a device that stopped reading would keep its hold, and the object,
    // as long as its time-out allows (without one, for ever).
    m_px_Link->CancelWrites();
}

void CGestVek::HandleSendBackError() {
    if (m_px_Owner != nullptr) {
        m_px_Owner->HandleSendBackError();
    }
}
