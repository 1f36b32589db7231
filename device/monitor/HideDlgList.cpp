// The device list: 100 entries bound to COM numbers, filled and emptied by the window thread,
// read by the channel threads through holds (the rule is in HideDlg.h).
#include "device/monitor/HideDlgMonitor.h"

#include "device/discovery/TulvoEnum.h"
#include "ipc/protocol/TulvoStatus.h"
#include "service/TraceLog.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <new>

namespace {

// How long a reader lets an object under construction finish before it passes over it.
const DWORD HIDEDLG_CREATING_PAUSE_MS = 100;

// The COM number of a port name: the decimal digits after its first three characters. 0 when
// there are none, or more than a 32-bit number holds.
int32_t HideDlg_ComNumber(const char* i_pc_PortName) {
    if (strlen(i_pc_PortName) < 3) {
        return 0;
    }
    int64_t l_ll_Number = 0;
    for (const char* l_pc = i_pc_PortName + 3; *l_pc >= '0' && *l_pc <= '9'; ++l_pc) {
        l_ll_Number = l_ll_Number * 10 + (*l_pc - '0');
        if (l_ll_Number > INT32_MAX) {
            return 0;
        }
    }
    return static_cast<int32_t>(l_ll_Number);
}

const char* HideDlg_Text(const unsigned char* i_puc_Text) {
    return i_puc_Text != nullptr ? reinterpret_cast<const char*>(i_puc_Text) : "";
}

} // namespace

TulvoServ_VekEntry* CHideDlg::FindEntry(int32_t i_i_ComIndex) {
    for (TulvoServ_VekEntry& l_x_Entry : m_ax_VekList) {
        if (l_x_Entry.m_i_ComIndex == i_i_ComIndex) {
            return &l_x_Entry;
        }
    }
    return nullptr;
}

void CHideDlg::CreateVekList() {
    TraceLog_Printf("CHideDlg::CreateVekList()\n");
    RegistryDump(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM");
    const HDEVINFO l_h_DevInfo =
        SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (l_h_DevInfo == INVALID_HANDLE_VALUE) {
        return;
    }
    SP_DEVINFO_DATA l_x_DevInfoData;
    DWORD l_ul_Index = 0;
    unsigned char* l_puc_PortName = nullptr;
    DWORD l_ul_PortNameSize = 0;
    // Opening a sensor dispatches the notifications that come meanwhile: a removal of a port
    // further down this list finds no entry to empty, and the list read before still holds it.
    m_b_Listing = true;
    while (TulvoEnum_FoundNextVek(l_h_DevInfo, &l_x_DevInfoData, &l_ul_Index, &l_puc_PortName,
                                  &l_ul_PortNameSize) != 0) {
        char* const l_pc_PortName = reinterpret_cast<char*>(l_puc_PortName);
        const bool l_b_Left =
            std::find(m_ai_LeftWhileListing.begin(), m_ai_LeftWhileListing.end(),
                      HideDlg_ComNumber(l_pc_PortName)) != m_ai_LeftWhileListing.end();
        if (l_b_Left || !TulvoEnum_IsVekPort(l_pc_PortName, DIGCF_PRESENT)) {
            TraceLog_Printf("CHideDlg::CreateVekList %s has left, not listed\n", l_pc_PortName);
            continue;
        }
        InsertVek(l_pc_PortName);
    }
    m_b_Listing = false;
    m_ai_LeftWhileListing.clear();
    free(l_puc_PortName);
    SetupDiDestroyDeviceInfoList(l_h_DevInfo);
}

void CHideDlg::InsertVek(const char* i_pc_PortName) {
    TraceLog_Printf("CHideDlg::InsertVek() - %s\n", i_pc_PortName);
    if (strlen(i_pc_PortName) > HIDEDLG_PORT_NAME_MAX) {
        TraceLog_Printf("CHideDlg::InsertVek port name too long, ignored\n");
        return;
    }
    // A name without a number would take an unbound entry without binding it.
    const int32_t l_i_ComIndex = HideDlg_ComNumber(i_pc_PortName);
    if (l_i_ComIndex <= 0) {
        TraceLog_Printf("CHideDlg::InsertVek %s has no COM number, ignored\n", i_pc_PortName);
        return;
    }
    // Back since its removal: the start-up list may build it again.
    m_ai_LeftWhileListing.erase(
        std::remove(m_ai_LeftWhileListing.begin(), m_ai_LeftWhileListing.end(), l_i_ComIndex),
        m_ai_LeftWhileListing.end());

    TulvoServ_VekEntry* l_px_Entry = nullptr;
    TulvoServ_VekEntry* l_px_Free = nullptr;
    for (int32_t l_i_Index = 0; l_i_Index < HIDEDLG_VEK_LIST_SIZE; ++l_i_Index) {
        TulvoServ_VekEntry& l_x_Entry = m_ax_VekList[l_i_Index];
        if (l_x_Entry.m_i_ComIndex == l_i_ComIndex) {
            TraceLog_Printf("CHideDlg::InsertVek COM already present at %d\n", l_i_Index);
            l_px_Entry = &l_x_Entry;
            break;
        }
        if (l_px_Free == nullptr && l_x_Entry.m_i_ComIndex == 0 &&
            l_x_Entry.pGestVek.GetState() == GESTVEK_SLOT_EMPTY) {
            l_px_Free = &l_x_Entry;
        }
    }
    if (l_px_Entry == nullptr) {
        if (l_px_Free == nullptr) {
            TraceLog_Printf("CHideDlg::InsertVek COM index is out of range\n");
            return;
        }
        l_px_Free->m_i_ComIndex = l_i_ComIndex;
        TraceLog_Printf("CHideDlg::InsertVek COM%d saved at %d\n", l_i_ComIndex,
                        static_cast<int>(l_px_Free - m_ax_VekList));
        l_px_Entry = l_px_Free;
    }

    if (!l_px_Entry->pGestVek.MarkCreating()) {
        TraceLog_Printf("CHideDlg::InsertVek %s already plugged\n", i_pc_PortName);
        if (l_px_Entry->m_b_RemovedWhileCreating) {
            l_px_Entry->m_b_ArrivedAfterRemoval = true;
        }
        return;
    }
    l_px_Entry->m_b_RemovedWhileCreating = false;
    l_px_Entry->m_b_ArrivedAfterRemoval = false;

    // Room to hand every object back without allocating on the thread that drops it.
    bool l_b_Room = true;
    EnterCriticalSection(&m_x_ReturnedLock);
    try {
        m_ax_Returned.reserve(static_cast<size_t>(m_i_DeviceObjects) + 1);
    } catch (const std::bad_alloc&) {
        l_b_Room = false;
    }
    LeaveCriticalSection(&m_x_ReturnedLock);
    CGestVekHold l_x_Hold;
    if (l_b_Room) {
        l_x_Hold = CGestVek::Create(this, i_pc_PortName, m_i_OpenAllowed);
    }
    if (!l_x_Hold) {
        l_px_Entry->pGestVek.ClearCreating();
        return;
    }
    ++m_i_DeviceObjects;
    // The sensor's first answers come while the thread dispatches its messages: notifications
    // handled meanwhile find the creation marker.
    l_x_Hold->AllocateIfAllowed();

    CGestVek* const l_px_GestVek = l_x_Hold.Get();
    l_px_Entry->pGestVek.Put(std::move(l_x_Hold));
    const char* const l_pc_UsbSerial =
        HideDlg_Text(l_px_GestVek->GetProperties().m_puc_SerialNumber);
    TraceLog_Printf("CHideDlg::InsertVek() saved pGestVek for - %s\n", l_pc_UsbSerial);
    SetEventDeviceChanged(l_px_GestVek->GetReportedSerialNumber(), l_pc_UsbSerial, 1);
    ++m_i_VekCount;
    FinishCreation(l_px_Entry, i_pc_PortName);
}

void CHideDlg::FinishCreation(TulvoServ_VekEntry* io_px_Entry, const char* i_pc_PortName) {
    if (!io_px_Entry->m_b_RemovedWhileCreating) {
        return;
    }
    const bool l_b_Returned = io_px_Entry->m_b_ArrivedAfterRemoval;
    io_px_Entry->m_b_RemovedWhileCreating = false;
    io_px_Entry->m_b_ArrivedAfterRemoval = false;
    // The object just listed opened a port that has gone since: drop it, and build a new one
    // if the port came back.
    TraceLog_Printf("CHideDlg::InsertVek %s left while it was being opened\n", i_pc_PortName);
    DeleteVek(i_pc_PortName);
    if (l_b_Returned) {
        InsertVek(i_pc_PortName);
    }
}

void CHideDlg::DeleteVek(const char* i_pc_PortName) {
    const int32_t l_i_ComIndex = HideDlg_ComNumber(i_pc_PortName);
    TulvoServ_VekEntry* const l_px_Entry = l_i_ComIndex > 0 ? FindEntry(l_i_ComIndex) : nullptr;
    if (l_px_Entry == nullptr) {
        TraceLog_Printf("CHideDlg::DeleteVek COM index not enregistred\n");
        if (m_b_Listing && l_i_ComIndex > 0) {
            try {
                m_ai_LeftWhileListing.push_back(l_i_ComIndex);
            } catch (const std::bad_alloc&) {
                // Without room the port is still looked up as present before it is listed.
            }
        }
        return;
    }
    const GestVek_SlotState l_e_State = l_px_Entry->pGestVek.GetState();
    if (l_e_State != GESTVEK_SLOT_HELD) {
        TraceLog_Printf("CHideDlg::DeleteVek Not a CGestVek\n");
        if (l_e_State == GESTVEK_SLOT_CREATING) {
            l_px_Entry->m_b_RemovedWhileCreating = true;
            l_px_Entry->m_b_ArrivedAfterRemoval = false;
        }
        return;
    }
    CGestVek* const l_px_GestVek = l_px_Entry->pGestVek.Peek();
    const char* const l_pc_UsbSerial =
        HideDlg_Text(l_px_GestVek->GetProperties().m_puc_SerialNumber);
    TraceLog_Printf("CHideDlg::DeleteVek() - %s %s %s\n", i_pc_PortName,
                    l_px_GestVek->GetReportedSerialNumber(), l_pc_UsbSerial);
    SetEventDeviceChanged(l_px_GestVek->GetReportedSerialNumber(), l_pc_UsbSerial, 0);
    l_px_Entry->pGestVek.Remove();
    --m_i_VekCount;
}

void CHideDlg::DeleteVekList() {
    for (TulvoServ_VekEntry& l_x_Entry : m_ax_VekList) {
        if (l_x_Entry.pGestVek.GetState() == GESTVEK_SLOT_HELD) {
            l_x_Entry.pGestVek.Remove();
            --m_i_VekCount;
        }
    }
    TraceLog_Printf("CHideDlg::DeleteVekList VekList Deleted\n");
}

int32_t CHideDlg::EnumDevices(TulvoEnum_DeviceProperties** o_ppx_List, int32_t* o_pi_Count) {
    if (o_ppx_List == nullptr || o_pi_Count == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    *o_ppx_List = nullptr;
    *o_pi_Count = 0;
    int32_t l_i_Status = TulvoHideDlg_WaitForEvent(m_h_MonitorEventStop, m_h_ListCreated,
                                                   HIDEDLG_LIST_CREATED_WAIT_MS);
    if (l_i_Status == TULVO_OK) {
        l_i_Status = TulvoHideDlg_WaitForEvent(m_h_MonitorEventStop, m_h_WakeUpEvent,
                                               TulvoHideDlg_WakeUpGateMs());
    }
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }

    int32_t l_i_Counted = 0;
    for (const TulvoServ_VekEntry& l_x_Entry : m_ax_VekList) {
        if (l_x_Entry.pGestVek.GetState() != GESTVEK_SLOT_EMPTY) {
            ++l_i_Counted;
        }
    }
    if (l_i_Counted == 0) {
        return TULVO_OK;
    }
    TulvoEnum_DeviceProperties* l_px_List = static_cast<TulvoEnum_DeviceProperties*>(
        calloc(static_cast<size_t>(l_i_Counted), sizeof(TulvoEnum_DeviceProperties)));
    if (l_px_List == nullptr) {
        return TULVO_NO_MEMORY;
    }

    int32_t l_i_Copied = 0;
    for (const TulvoServ_VekEntry& l_x_Entry : m_ax_VekList) {
        if (l_i_Copied >= l_i_Counted) {
            break;
        }
        CGestVekHold l_x_Hold;
        GestVek_SlotState l_e_State = l_x_Entry.pGestVek.Hold(&l_x_Hold);
        if (l_e_State == GESTVEK_SLOT_CREATING) {
            Sleep(HIDEDLG_CREATING_PAUSE_MS);
            l_e_State = l_x_Entry.pGestVek.Hold(&l_x_Hold);
        }
        if (l_e_State != GESTVEK_SLOT_HELD) {
            continue;
        }
        l_i_Status =
            TulvoEnum_CopyDeviceProperties(&l_px_List[l_i_Copied], &l_x_Hold->GetProperties());
        if (l_i_Status != TULVO_OK) {
            // A partial list would pass for the whole one.
            FreeDeviceList(&l_px_List, l_i_Copied);
            return l_i_Status;
        }
        ++l_i_Copied;
    }
    if (l_i_Copied == 0) {
        free(l_px_List);
        l_px_List = nullptr;
    }
    *o_ppx_List = l_px_List;
    *o_pi_Count = l_i_Copied;
    return TULVO_OK;
}

int32_t CHideDlg::FreeDeviceList(TulvoEnum_DeviceProperties** io_ppx_List, int32_t i_i_Count) {
    if (io_ppx_List != nullptr && *io_ppx_List != nullptr) {
        for (int32_t l_i = 0; l_i < i_i_Count; ++l_i) {
            TulvoEnum_FreeDeviceProperties(&(*io_ppx_List)[l_i]);
        }
        free(*io_ppx_List);
        *io_ppx_List = nullptr;
    }
    return TULVO_OK;
}

int32_t CHideDlg::GetGestVek(const char* i_pc_Key, TulvoServ_VekEntry** o_ppx_Entry) {
    if (o_ppx_Entry == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    *o_ppx_Entry = nullptr;
    // An empty key would match a device whose serial number could not be read.
    if (i_pc_Key == nullptr || i_pc_Key[0] == '\0') {
        return TULVO_BAD_PARAMETER;
    }
    int32_t l_i_Status = TulvoHideDlg_WaitForEvent(m_h_MonitorEventStop, m_h_ListCreated,
                                                   HIDEDLG_LIST_CREATED_WAIT_MS);
    if (l_i_Status == TULVO_OK) {
        l_i_Status = TulvoHideDlg_WaitForEvent(m_h_MonitorEventStop, m_h_WakeUpEvent,
                                               TulvoHideDlg_WakeUpGateMs());
    }
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    TraceLog_Printf("CHideDlg::GetGestVek Searching (%s)\n", i_pc_Key);
    for (TulvoServ_VekEntry& l_x_Entry : m_ax_VekList) {
        CGestVekHold l_x_Hold;
        if (l_x_Entry.pGestVek.Hold(&l_x_Hold) != GESTVEK_SLOT_HELD) {
            continue;
        }
        const char* const l_pc_UsbSerial =
            HideDlg_Text(l_x_Hold->GetProperties().m_puc_SerialNumber);
        const char* const l_pc_Reported = l_x_Hold->GetReportedSerialNumber();
        TraceLog_Printf("CHideDlg::GetGestVek Compare (%s) with [(%s) or (%s)] \n", i_pc_Key,
                        l_pc_UsbSerial, l_pc_Reported);
        if (strcmp(i_pc_Key, l_pc_Reported) == 0 || strcmp(i_pc_Key, l_pc_UsbSerial) == 0) {
            *o_ppx_Entry = &l_x_Entry;
            return TULVO_OK;
        }
    }
    return TULVO_DEVICE_NOT_PRESENT;
}

int32_t CHideDlg::GetPipe(TulvoServ_VekEntry* i_px_Entry, int32_t i_i_Index,
                          CGestVekHold* o_px_Hold, CGestVek_Pipe** o_ppx_Pipe) {
    if (o_px_Hold == nullptr || o_ppx_Pipe == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    o_px_Hold->Reset();
    *o_ppx_Pipe = nullptr;
    const int32_t l_i_Status = TulvoHideDlg_WaitForEvent(m_h_MonitorEventStop, m_h_WakeUpEvent,
                                                         TulvoHideDlg_WakeUpGateMs());
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    // Only the entries of this list are ever handed out.
    if (i_px_Entry < m_ax_VekList || i_px_Entry >= m_ax_VekList + HIDEDLG_VEK_LIST_SIZE) {
        return TULVO_BAD_PARAMETER;
    }
    const GestVek_SlotState l_e_State = i_px_Entry->pGestVek.Hold(o_px_Hold);
    if (l_e_State == GESTVEK_SLOT_CREATING) {
        Sleep(HIDEDLG_CREATING_PAUSE_MS);
    }
    if (l_e_State != GESTVEK_SLOT_HELD) {
        return TULVO_BAD_PARAMETER;
    }
    const int32_t l_i_PipeStatus = (*o_px_Hold)->GetPipe(i_i_Index, o_ppx_Pipe);
    if (l_i_PipeStatus != TULVO_OK) {
        *o_ppx_Pipe = nullptr;
        o_px_Hold->Reset();
    }
    return l_i_PipeStatus;
}

int32_t CHideDlg::GetPipeLocks(GestIpc_PipeLock** o_ppx_Locks, int32_t* o_pi_Count) {
    if (o_ppx_Locks == nullptr || o_pi_Count == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    *o_ppx_Locks = nullptr;
    *o_pi_Count = 0;
    // Room for every pipe of a full list: locks come and go while the list is read.
    GestIpc_PipeLock* const l_px_Locks = static_cast<GestIpc_PipeLock*>(
        calloc(HIDEDLG_VEK_LIST_SIZE * GESTVEK_PIPE_COUNT, sizeof(GestIpc_PipeLock)));
    if (l_px_Locks == nullptr) {
        return TULVO_NO_MEMORY;
    }
    int32_t l_i_Count = 0;
    const ULONGLONG l_ull_Now = GetTickCount64();
    for (const TulvoServ_VekEntry& l_x_Entry : m_ax_VekList) {
        CGestVekHold l_x_Hold;
        if (l_x_Entry.pGestVek.Hold(&l_x_Hold) != GESTVEK_SLOT_HELD) {
            continue;
        }
        const char* l_pc_Serial = HideDlg_Text(l_x_Hold->GetProperties().m_puc_SerialNumber);
        if (l_pc_Serial[0] == '\0') {
            l_pc_Serial = l_x_Hold->GetReportedSerialNumber();
        }
        for (int32_t l_i_Pipe = 0; l_i_Pipe < GESTVEK_PIPE_COUNT; ++l_i_Pipe) {
            GestIpc_PipeLock& l_x_Lock = l_px_Locks[l_i_Count];
            ULONGLONG l_ull_Since = 0;
            if (!l_x_Hold->GetLockHolder(l_i_Pipe, &l_x_Lock.m_ul_ProcessId, &l_ull_Since)) {
                continue;
            }
            strncpy(l_x_Lock.m_ac_SerialNumber, l_pc_Serial,
                    sizeof(l_x_Lock.m_ac_SerialNumber) - 1);
            l_x_Lock.m_ul_PipeIndex = static_cast<uint32_t>(l_i_Pipe);
            const ULONGLONG l_ull_Held = l_ull_Now > l_ull_Since ? l_ull_Now - l_ull_Since : 0;
            l_x_Lock.m_ul_HeldMs = l_ull_Held < PIPELOCKS_HELD_MS_MAX
                                       ? static_cast<uint32_t>(l_ull_Held)
                                       : PIPELOCKS_HELD_MS_MAX;
            ++l_i_Count;
        }
    }
    if (l_i_Count == 0) {
        free(l_px_Locks);
        return TULVO_OK;
    }
    *o_ppx_Locks = l_px_Locks;
    *o_pi_Count = l_i_Count;
    return TULVO_OK;
}
