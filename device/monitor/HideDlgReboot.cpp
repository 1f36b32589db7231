// The table of devices awaited through a restart: a channel registers the serial number
// before it sends the restart, the device list sets the removal and arrival events as the
// device leaves and returns, and the channel waits for both and then cleans up. The table's
// mutex is held for table operations only, never during a wait.
#include "device/monitor/HideDlgMonitor.h"

#include "ipc/protocol/TulvoStatus.h"
#include "ipc/toolshare/ToolShare.h"
#include "service/TraceLog.h"

#include <stdlib.h>
#include <string.h>

namespace {

bool HideDlg_IsEmpty(const char* i_pc_Text) {
    return i_pc_Text == nullptr || i_pc_Text[0] == '\0';
}

int HideDlg_HandleValue(HANDLE i_h_Handle) {
    return static_cast<int>(reinterpret_cast<intptr_t>(i_h_Handle));
}

const char* HideDlg_Text(const char* i_pc_Text) {
    return i_pc_Text != nullptr ? i_pc_Text : "";
}

char* HideDlg_CopyText(const char* i_pc_Text) {
    const size_t l_st_Size = strlen(i_pc_Text) + 1;
    char* const l_pc_Copy = static_cast<char*>(malloc(l_st_Size));
    if (l_pc_Copy != nullptr) {
        memcpy(l_pc_Copy, i_pc_Text, l_st_Size);
    }
    return l_pc_Copy;
}

// Texts that can match: empty ones never do.
bool HideDlg_Matches(const char* i_pc_Awaited, const char* i_pc_Text) {
    return !HideDlg_IsEmpty(i_pc_Text) && i_pc_Awaited != nullptr &&
           strcmp(i_pc_Awaited, i_pc_Text) == 0;
}

} // namespace

int32_t CHideDlg::PrepareForReboot(const char* i_pc_Removal, const char* i_pc_Arrival,
                                   HANDLE* o_ph_EventRemoval, HANDLE* o_ph_EventArrival) {
    if (o_ph_EventRemoval != nullptr) {
        *o_ph_EventRemoval = nullptr;
    }
    if (o_ph_EventArrival != nullptr) {
        *o_ph_EventArrival = nullptr;
    }
    if (HideDlg_IsEmpty(i_pc_Removal) || HideDlg_IsEmpty(i_pc_Arrival)) {
        return TULVO_BAD_PARAMETER;
    }
    int32_t l_i_Status = GetTheMutex(m_h_WaitVekMutex, HIDEDLG_WAITED_VEK_MUTEX_MS);
    if (l_i_Status != TULVO_OK) {
        TraceLog_Printf("CHideDlg::PrepareForReboot: Error GetTheMutex\n");
        return l_i_Status;
    }
    CHideDlg_WaitedVek* l_px_Record = nullptr;
    for (CHideDlg_WaitedVek& l_x_Record : m_ax_WaitedVek) {
        if (l_x_Record.m_i_InUse == 0) {
            l_px_Record = &l_x_Record;
            break;
        }
    }
    if (l_px_Record == nullptr) {
        l_i_Status = TULVO_NO_MEMORY;
    } else {
        l_i_Status = RegisterVek(i_pc_Removal, i_pc_Arrival, l_px_Record);
        if (l_i_Status == TULVO_OK) {
            if (o_ph_EventRemoval != nullptr) {
                *o_ph_EventRemoval = l_px_Record->m_h_EventRemoval;
            }
            if (o_ph_EventArrival != nullptr) {
                *o_ph_EventArrival = l_px_Record->m_h_EventArrival;
            }
        }
    }
    ReleaseTheMutex(m_h_WaitVekMutex);
    return l_i_Status;
}

int32_t CHideDlg::RegisterVek(const char* i_pc_Removal, const char* i_pc_Arrival,
                              CHideDlg_WaitedVek* io_px_Record) {
    if (HideDlg_IsEmpty(i_pc_Removal) || HideDlg_IsEmpty(i_pc_Arrival)) {
        return TULVO_BAD_PARAMETER;
    }
    const int32_t l_i_Status = RegisterVek_(i_pc_Removal, i_pc_Arrival, io_px_Record);
    if (l_i_Status != TULVO_OK) {
        TraceLog_Printf("CHideDlg::RegisterVek : Error RegisterVek_\n");
        UnRegisterVek_(io_px_Record);
    }
    return l_i_Status;
}

int32_t CHideDlg::RegisterVek_(const char* i_pc_Removal, const char* i_pc_Arrival,
                               CHideDlg_WaitedVek* io_px_Record) {
    if (HideDlg_IsEmpty(i_pc_Removal) || HideDlg_IsEmpty(i_pc_Arrival)) {
        return TULVO_BAD_PARAMETER;
    }
    io_px_Record->m_h_EventArrival = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (io_px_Record->m_h_EventArrival == nullptr) {
        TraceLog_Printf("CHideDlg::RegisterVek_ Error CreateEvent m_h_EventArrival\n");
        return TULVO_SYSTEM_ERROR;
    }
    io_px_Record->m_h_EventRemoval = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (io_px_Record->m_h_EventRemoval == nullptr) {
        TraceLog_Printf("CHideDlg::RegisterVek_ Error CreateEvent m_h_EventRemoval\n");
        return TULVO_SYSTEM_ERROR;
    }
    io_px_Record->m_pstr_DeviceSerialNumberWaitForRemoval = HideDlg_CopyText(i_pc_Removal);
    if (io_px_Record->m_pstr_DeviceSerialNumberWaitForRemoval == nullptr) {
        TraceLog_Printf("CHideDlg::RegisterVek_ Error malloc "
                        "m_pstr_DeviceSerialNumberWaitForRemoval\n");
        return TULVO_NO_MEMORY;
    }
    io_px_Record->m_pstr_DeviceSerialNumberWaitForArrival = HideDlg_CopyText(i_pc_Arrival);
    if (io_px_Record->m_pstr_DeviceSerialNumberWaitForArrival == nullptr) {
        TraceLog_Printf("CHideDlg::RegisterVek_ Error malloc "
                        "m_pstr_DeviceSerialNumberWaitForArrival\n");
        return TULVO_NO_MEMORY;
    }
    io_px_Record->m_i_InUse = 1;
    TraceLog_Printf("CHideDlg::RegisterVek_ Vek : %s %s EvtArr=%d EvtRem=%d\n", i_pc_Removal,
                    i_pc_Arrival, HideDlg_HandleValue(io_px_Record->m_h_EventArrival),
                    HideDlg_HandleValue(io_px_Record->m_h_EventRemoval));
    return TULVO_OK;
}

void CHideDlg::UnRegisterVek_(CHideDlg_WaitedVek* io_px_Record) {
    TraceLog_Printf("CHideDlg::UnRegisterVek_ Vek : %s %s\n",
                    HideDlg_Text(io_px_Record->m_pstr_DeviceSerialNumberWaitForRemoval),
                    HideDlg_Text(io_px_Record->m_pstr_DeviceSerialNumberWaitForArrival));
    if (io_px_Record->m_h_EventArrival != nullptr) {
        CloseHandle(io_px_Record->m_h_EventArrival);
        io_px_Record->m_h_EventArrival = nullptr;
    }
    if (io_px_Record->m_h_EventRemoval != nullptr) {
        CloseHandle(io_px_Record->m_h_EventRemoval);
        io_px_Record->m_h_EventRemoval = nullptr;
    }
    free(io_px_Record->m_pstr_DeviceSerialNumberWaitForRemoval);
    io_px_Record->m_pstr_DeviceSerialNumberWaitForRemoval = nullptr;
    free(io_px_Record->m_pstr_DeviceSerialNumberWaitForArrival);
    io_px_Record->m_pstr_DeviceSerialNumberWaitForArrival = nullptr;
    io_px_Record->m_i_InUse = 0;
}

int32_t CHideDlg::SetEventDeviceChanged(const char* i_pc_Reported, const char* i_pc_Usb,
                                        int32_t i_i_Arrival) {
    const int32_t l_i_MutexStatus = GetTheMutex(m_h_WaitVekMutex, HIDEDLG_WAITED_VEK_MUTEX_MS);
    if (l_i_MutexStatus != TULVO_OK) {
        TraceLog_Printf("CHideDlg::PrepareForReboot: Error GetTheMutex\n");
        return l_i_MutexStatus;
    }
    const char* const l_pc_Reported = HideDlg_Text(i_pc_Reported);
    const char* const l_pc_Usb = HideDlg_Text(i_pc_Usb);
    HANDLE l_h_Event = nullptr;
    for (CHideDlg_WaitedVek& l_x_Record : m_ax_WaitedVek) {
        if (l_x_Record.m_i_InUse == 0) {
            continue;
        }
        const char* l_pc_Awaited;
        const char* l_pc_Kind;
        HANDLE l_h_RecordEvent;
        if (i_i_Arrival == 1) {
            l_pc_Awaited = l_x_Record.m_pstr_DeviceSerialNumberWaitForArrival;
            l_pc_Kind = "Arrival";
            l_h_RecordEvent = l_x_Record.m_h_EventArrival;
            TraceLog_Printf("CHideDlg::SetEventDeviceChanged For Arrival strcmp %s \xEF\xBF\xBD"
                            " %s ou %s\n",
                            HideDlg_Text(l_pc_Awaited), l_pc_Reported, l_pc_Usb);
        } else {
            l_pc_Awaited = l_x_Record.m_pstr_DeviceSerialNumberWaitForRemoval;
            l_pc_Kind = "Removal";
            l_h_RecordEvent = l_x_Record.m_h_EventRemoval;
            TraceLog_Printf("CHideDlg::SetEventDeviceChanged For Removal strcmp %s \xEF\xBF\xBD"
                            " %s ou %s\n",
                            HideDlg_Text(l_pc_Awaited), l_pc_Reported, l_pc_Usb);
        }
        const char* l_pc_Matched = nullptr;
        if (HideDlg_Matches(l_pc_Awaited, l_pc_Reported)) {
            l_pc_Matched = l_pc_Reported;
        } else if (HideDlg_Matches(l_pc_Awaited, l_pc_Usb)) {
            l_pc_Matched = l_pc_Usb;
        }
        if (l_pc_Matched != nullptr) {
            TraceLog_Printf("CHideDlg::SetEventDeviceChanged %s %s\n", l_pc_Matched, l_pc_Kind);
            l_h_Event = l_h_RecordEvent;
            break;
        }
    }
    int32_t l_i_Status;
    if (l_h_Event != nullptr) {
        TraceLog_Printf("CHideDlg::SetEventDeviceChanged SetEvent Evt=%d\n",
                        HideDlg_HandleValue(l_h_Event));
        SetEvent(l_h_Event);
        l_i_Status = TULVO_OK;
    } else {
        TraceLog_Printf("CHideDlg::SetEventDeviceChanged Error Evt=%d\n", 0);
        l_i_Status = TULVO_NO_RESPONSE;
    }
    ReleaseTheMutex(m_h_WaitVekMutex);
    return l_i_Status;
}

int32_t CHideDlg::WaitForReboot(HANDLE i_h_EventRemoval, HANDLE i_h_EventArrival,
                                uint32_t i_ul_Timeout, HANDLE i_h_Application) {
    TraceLog_Printf("CHideDlg::WaitForReboot i_ph_EventRemoval=%d\n",
                    HideDlg_HandleValue(i_h_EventRemoval));
    const int32_t l_i_Status = TulvoHideDlg_WaitForEvent(m_h_MonitorEventStop, i_h_EventRemoval,
                                                         i_ul_Timeout, i_h_Application);
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    TraceLog_Printf("CHideDlg::WaitForReboot i_ph_EventArrival=%d\n",
                    HideDlg_HandleValue(i_h_EventArrival));
    return TulvoHideDlg_WaitForEvent(m_h_MonitorEventStop, i_h_EventArrival, i_ul_Timeout,
                                     i_h_Application);
}

int32_t CHideDlg::CleanForReboot(const char* i_pc_SerialNumber, HANDLE i_h_EventRemoval) {
    TraceLog_Printf("CHideDlg::CleanForReboot: %s\n", HideDlg_Text(i_pc_SerialNumber));
    if (HideDlg_IsEmpty(i_pc_SerialNumber)) {
        return TULVO_BAD_PARAMETER;
    }
    int32_t l_i_Status = GetTheMutex(m_h_WaitVekMutex, HIDEDLG_WAITED_VEK_MUTEX_MS);
    if (l_i_Status != TULVO_OK) {
        TraceLog_Printf("CHideDlg::CleanForReboot: Error GetTheMutex\n");
        return l_i_Status;
    }
    l_i_Status = TULVO_NO_MEMORY;
    for (int32_t l_i_Index = 0; l_i_Index < HIDEDLG_WAITED_VEK_SIZE; ++l_i_Index) {
        CHideDlg_WaitedVek& l_x_Record = m_ax_WaitedVek[l_i_Index];
        if (l_x_Record.m_i_InUse == 0 ||
            (i_h_EventRemoval != nullptr && l_x_Record.m_h_EventRemoval != i_h_EventRemoval)) {
            continue;
        }
        if (HideDlg_Matches(l_x_Record.m_pstr_DeviceSerialNumberWaitForArrival,
                            i_pc_SerialNumber) ||
            HideDlg_Matches(l_x_Record.m_pstr_DeviceSerialNumberWaitForRemoval,
                            i_pc_SerialNumber)) {
            TraceLog_Printf("CHideDlg::CleanForReboot: UnregisterVek m_ax_WaitedVek %d\n",
                            l_i_Index);
            UnRegisterVek_(&l_x_Record);
            l_i_Status = TULVO_OK;
            break;
        }
    }
    ReleaseTheMutex(m_h_WaitVekMutex);
    return l_i_Status;
}

void CHideDlg::ReleaseWaitedVek() {
    for (CHideDlg_WaitedVek& l_x_Record : m_ax_WaitedVek) {
        if (l_x_Record.m_i_InUse != 0) {
            UnRegisterVek_(&l_x_Record);
        }
    }
}
