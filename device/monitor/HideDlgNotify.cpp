// Device and power notifications on the window thread: port arrivals and removals become
// insertions and deletions of the device list; a suspend stops every device object and a
// resume restarts them, after which the wake-up configuration holds clients back for a while
// when a device that was there before the sleep is missing.
#include "device/monitor/HideDlgMonitor.h"

#include "device/discovery/TulvoEnum.h"
#include "service/TraceLog.h"

#include <stddef.h>
#include <string.h>

namespace {

const char g_ac_SerialCommKey[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

std::atomic<uint32_t> g_ul_WakeUpTimerMs{HIDEDLG_WAKEUP_TIMER_MS};
std::atomic<uint32_t> g_ul_WakeUpGateMs{HIDEDLG_WAKEUP_WAIT_MS};

// Copies the port name of a port notification into o_ac_Name. False when the name is longer
// than the monitor keeps, or not terminated within the notification's own size (a sender
// from another process decides that size).
bool HideDlg_CopyPortName(const DEV_BROADCAST_HDR* i_px_Header,
                          char o_ac_Name[HIDEDLG_PORT_NAME_MAX + 1]) {
    o_ac_Name[0] = '\0';
    const size_t l_st_NameOffset = offsetof(DEV_BROADCAST_PORT_A, dbcp_name);
    if (i_px_Header->dbch_size <= l_st_NameOffset) {
        return false;
    }
    const char* l_pc_Name = reinterpret_cast<const DEV_BROADCAST_PORT_A*>(i_px_Header)->dbcp_name;
    size_t l_st_Available = i_px_Header->dbch_size - l_st_NameOffset;
    if (l_st_Available > HIDEDLG_PORT_NAME_MAX + 1) {
        l_st_Available = HIDEDLG_PORT_NAME_MAX + 1;
    }
    const size_t l_st_Length = strnlen(l_pc_Name, l_st_Available);
    if (l_st_Length == l_st_Available) {
        memcpy(o_ac_Name, l_pc_Name,
               l_st_Length < HIDEDLG_PORT_NAME_MAX ? l_st_Length : HIDEDLG_PORT_NAME_MAX);
        o_ac_Name[l_st_Length < HIDEDLG_PORT_NAME_MAX ? l_st_Length : HIDEDLG_PORT_NAME_MAX] = '\0';
        return false;
    }
    memcpy(o_ac_Name, l_pc_Name, l_st_Length + 1);
    return true;
}

} // namespace

void TulvoHideDlg_SetWakeUpTimes(uint32_t i_ul_TimerMs, uint32_t i_ul_GateMs) {
    g_ul_WakeUpTimerMs = i_ul_TimerMs;
    g_ul_WakeUpGateMs = i_ul_GateMs;
}

uint32_t TulvoHideDlg_WakeUpGateMs() {
    return g_ul_WakeUpGateMs;
}

BOOL CHideDlg::OnDeviceChange(WPARAM i_x_Event, LPARAM i_x_Data) {
    const DEV_BROADCAST_HDR* l_px_Header = reinterpret_cast<const DEV_BROADCAST_HDR*>(i_x_Data);
    switch (i_x_Event) {
    case DBT_DEVICEARRIVAL:
        TraceLog_Printf("CHideDlg::OnDeviceChange() - DBT_DEVICEARRIVAL\n");
        Arrival(l_px_Header);
        break;
    case DBT_DEVICEREMOVECOMPLETE:
        TraceLog_Printf("CHideDlg::OnDeviceChange() - DBT_DEVICEREMOVECOMPLETE\n");
        Removal(l_px_Header);
        break;
    default:
        break;
    }
    return TRUE;
}

void CHideDlg::Arrival(const DEV_BROADCAST_HDR* i_px_Header) {
    if (i_px_Header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
        TraceLog_Printf("CHideDlg::Arrival() - DBT_DEVTYP_DEVICEINTERFACE\n");
    } else if (i_px_Header->dbch_devicetype == DBT_DEVTYP_PORT) {
        TraceLog_Printf("CHideDlg::Arrival() - DBT_DEVTYP_PORT\n");
        char l_ac_Name[HIDEDLG_PORT_NAME_MAX + 1];
        if (!HideDlg_CopyPortName(i_px_Header, l_ac_Name)) {
            TraceLog_Printf("CHideDlg::Arrival() - port name too long, ignored: %s...\n",
                            l_ac_Name);
        } else {
            TraceLog_Printf("CHideDlg::Arrival() - %s\n", l_ac_Name);
            RegistryDump(HKEY_LOCAL_MACHINE, g_ac_SerialCommKey);
            if (TulvoEnum_IsVekPort(l_ac_Name, DIGCF_PRESENT)) {
                InsertVek(l_ac_Name);
                const int32_t l_i_WakeUpCount = m_i_WakeUpCount;
                if (l_i_WakeUpCount > 0 && m_i_VekCount >= l_i_WakeUpCount) {
                    TraceLog_Printf("CHideDlg::Arrival() - TOUS les VEK ont r\xEF\xBF\xBD"
                                    "aparu juste apres le reveil => on autorise les IPC "
                                    "\xEF\xBF\xBD remonter.\n");
                    OnTimer();
                }
            } else {
                TraceLog_Printf("CHideDlg::Arrival() - Not a VEK\n");
            }
        }
    }
    TraceLog_Printf("CHideDlg::Arrival() - OUT\n");
}

void CHideDlg::Removal(const DEV_BROADCAST_HDR* i_px_Header) {
    if (i_px_Header->dbch_devicetype != DBT_DEVTYP_PORT) {
        return;
    }
    TraceLog_Printf("CHideDlg::Removal() - DBT_DEVTYP_PORT\n");
    char l_ac_Name[HIDEDLG_PORT_NAME_MAX + 1];
    if (!HideDlg_CopyPortName(i_px_Header, l_ac_Name)) {
        TraceLog_Printf("CHideDlg::Removal() - port name too long, ignored: %s...\n", l_ac_Name);
        return;
    }
    TraceLog_Printf("CHideDlg::Removal() - %s\n", l_ac_Name);
    RegistryDump(HKEY_LOCAL_MACHINE, g_ac_SerialCommKey);
    // Without DIGCF_PRESENT: the device that has just left is still in the tree.
    if (TulvoEnum_IsVekPort(l_ac_Name, 0)) {
        DeleteVek(l_ac_Name);
        EnterCriticalSection(&m_x_WakeUpLock);
        if (m_i_WakeUpCount > 0) {
            ResetEvent(m_h_WakeUpEvent);
            TraceLog_Printf(
                "CHideDlg::Removal() - A VEK has disappeared just after the PC WakeUp\n");
        }
        LeaveCriticalSection(&m_x_WakeUpLock);
    } else {
        TraceLog_Printf("CHideDlg::Removal() -  Not a VEK\n");
    }
}

BOOL CHideDlg::OnPowerBroadcast(WPARAM i_x_Event, LPARAM i_x_Data) {
    switch (i_x_Event) {
    case PBT_APMQUERYSUSPEND:
    case PBT_APMSUSPEND:
        SuspendAll();
        TraceLog_Printf("PBT_APMQUERYSUSPEND 0x%X\n", static_cast<unsigned>(i_x_Data));
        break;
    case PBT_APMRESUMESUSPEND:
        TraceLog_Printf("PBT_APMRESUMESUSPEND 0x%X\n", static_cast<unsigned>(i_x_Data));
        // The ports come back some time after the resume is announced.
        Sleep(2000);
        OnApmResumeAutomatic();
        Sleep(1000);
        break;
    default:
        break;
    }
    return TRUE;
}

void CHideDlg::SuspendAll() {
    for (TulvoServ_VekEntry& l_x_Entry : m_ax_VekList) {
        CGestVek* const l_px_GestVek = l_x_Entry.pGestVek.Peek();
        if (l_px_GestVek != nullptr) {
            l_px_GestVek->Suspend();
        }
    }
}

void CHideDlg::OnApmResumeAutomatic() {
    TraceLog_Printf("CHideDlg::OnApmResumeAutomatic\n");
    // The count before the first port reopens: a port that fails reports on its own thread
    // while the others are resumed, and must find the configuration on.
    const int32_t l_i_Count = m_i_VekCount;
    EnterCriticalSection(&m_x_WakeUpLock);
    m_i_WakeUpCount = l_i_Count;
    LeaveCriticalSection(&m_x_WakeUpLock);
    for (TulvoServ_VekEntry& l_x_Entry : m_ax_VekList) {
        CGestVek* const l_px_GestVek = l_x_Entry.pGestVek.Peek();
        if (l_px_GestVek != nullptr) {
            l_px_GestVek->Resume();
        }
    }
    if (l_i_Count > 0) {
        SetTimer(m_h_Window, HIDEDLG_WAKEUP_TIMER_ID, g_ul_WakeUpTimerMs, nullptr);
        TraceLog_Printf("CHideDlg::OnApmResumeAutomatic, %d VEK sont pr\xEF\xBF\xBD"
                        "sent au r\xEF\xBF\xBD"
                        "veil, on se met dans une configuration particuliere pendant un certain "
                        "temps\n",
                        l_i_Count);
    }
}

void CHideDlg::OnTimer() {
    EnterCriticalSection(&m_x_WakeUpLock);
    m_i_WakeUpCount = 0;
    SetEvent(m_h_WakeUpEvent);
    LeaveCriticalSection(&m_x_WakeUpLock);
    KillTimer(m_h_Window, HIDEDLG_WAKEUP_TIMER_ID);
    TraceLog_Printf("CHideDlg::OnTimer, On est sorti de la config de reveil, on se remet, "
                    "normallement.\n");
}

void CHideDlg::HandleSendBackError() {
    // A port's thread may report while the window thread ends the configuration: the lock
    // keeps a late report from closing the gate after the configuration is over.
    EnterCriticalSection(&m_x_WakeUpLock);
    if (m_i_WakeUpCount > 0) {
        ResetEvent(m_h_WakeUpEvent);
        TraceLog_Printf("CHideDlg::HandleSendBackError a VEK has a problem just after PC WakeUp\n");
    }
    LeaveCriticalSection(&m_x_WakeUpLock);
}
