// Process-wide entry points of the device monitor: the one object that knows which sensors are
// attached. Its window thread follows device arrival and removal and the computer's suspend
// and resume, and keeps the device list: 100 entries, each bound for good to one COM number,
// each holding the device object of the sensor on that port while it is there.
//
// HOW THE CHANNEL SERVERS USE THE LIST (the lifetime rule of device/manager/GestVek.h applies)
//
//  - A channel looks its device up once, by serial number (TulvoServ_GetGestVek), and keeps
//    the entry it gets. The entry lives as long as the monitor; a sensor that leaves and
//    comes back on the same COM number lands in the same entry, so the kept entry reaches the
//    new device object.
//  - For each command the channel asks the entry for a pipe (TulvoServ_GetPipe), which hands
//    back a hold on the device object together with the pipe. The pipe is valid while that
//    hold lasts; drop the hold (it goes out of scope) when the command is done. Never keep a
//    pipe or a device object from one command to the next.
//  - When the sensor leaves, the window thread stops the object (every wait inside a pipe ends
//    with TULVO_ABORTED) and gives up the list's hold. A channel that still holds it finishes
//    its command safely; the object is destroyed on the window thread once the last hold is
//    dropped.
//
// Every entry point answers TULVO_BAD_PARAMETER when no monitor is open, except the opening
// and the closing. An entry point may run while the monitor is being closed: the closing
// waits until every call in progress has returned (the waits of the gates and of a reboot end
// with TULVO_ABORTED as soon as the closing starts), or leaves the monitor to them.
#ifndef TULVO_DEVICE_MONITOR_HIDEDLG_H
#define TULVO_DEVICE_MONITOR_HIDEDLG_H

#include "device/discovery/TulvoDeviceProperties.h"
#include "device/manager/GestVek.h"
#include "ipc/protocol/PipeLocks.h"

#include <windows.h>

#include <stdint.h>

class CHideDlg;

// One entry of the device list: the device-object slot and the COM number the entry is bound
// to (0 while unbound). The entry itself is never freed before the monitor is.
struct TulvoServ_VekEntry {
    CGestVekSlot pGestVek;
    // Changed by the window thread only.
    int32_t m_i_ComIndex = 0;
    // A removal, and then an arrival, of this port handled while its object was being built
    // (the window thread dispatches messages while the sensor answers its first requests).
    bool m_b_RemovedWhileCreating = false;
    bool m_b_ArrivedAfterRemoval = false;
};

// Creates the monitor (at most one per process) and starts its window thread, which builds
// the device list. Gives the monitor, or NULL when there is no memory; a monitor that is
// already open is given again and left as it is. Failures of its objects, thread or window
// are logged; the monitor then answers without devices.
CHideDlg* TulvoServ_OpenHideDlg(int32_t i_i_OpenAllowed);
// Stops the window thread, destroys every device object and frees the monitor. Waits up to
// 10 s in all; a monitor whose thread or callers are not done by then is left, not freed.
// Safe when the monitor was never opened.
void TulvoServ_CloseHideDlg(void);

// The properties records of the listed devices (o_ppx_List: heap array of *o_pi_Count
// records, NULL for none), for TulvoServ_FreeDeviceList. Waits for the first list (10 s) and
// the wake-up gate (5 s); their failure statuses are returned as they are. TULVO_NO_MEMORY.
int32_t TulvoServ_EnumDevices(TulvoEnum_DeviceProperties** o_ppx_List, int32_t* o_pi_Count);
int32_t TulvoServ_FreeDeviceList(TulvoEnum_DeviceProperties** io_ppx_List, int32_t i_i_Count);

// The entry whose device reported, or carries in its USB instance id, exactly that serial
// number. TULVO_DEVICE_NOT_PRESENT when none; TULVO_BAD_PARAMETER without a key; or a gate's
// status (as for TulvoServ_EnumDevices).
int32_t TulvoServ_GetGestVek(const char* i_pc_Key, TulvoServ_VekEntry** o_ppx_Entry);

// For one command: takes a hold on the entry's device object and gives its pipe of that
// index. On success o_px_Hold holds the object and *o_ppx_Pipe is valid until the hold is
// dropped; on failure both are empty. TULVO_BAD_PARAMETER when the entry holds no device
// (also while the device is being built), the device object's GetPipe status, or the wake-up
// gate's status.
int32_t TulvoServ_GetPipe(TulvoServ_VekEntry* i_px_Entry, int32_t i_i_Index,
                          CGestVekHold* o_px_Hold, CGestVek_Pipe** o_ppx_Pipe);

// The pipe locks held right now, for the people who support sensors: one record per
// listed, open device and pipe whose lock is held, with the serial number the device list
// gives. Opens no device and waits for no gate, so that it answers while clients are held
// back. o_ppx_Locks: heap array of *o_pi_Count records (free), NULL for none; TULVO_NO_MEMORY.
int32_t TulvoServ_GetPipeLocks(GestIpc_PipeLock** o_ppx_Locks, int32_t* o_pi_Count);

// Reboot coordination. Registers a device about to restart: the removal event is set when a
// device object matching the removal text leaves the list, the arrival event when one
// matching the arrival text joins it (both auto-reset; each out reference may be NULL). They
// stay valid until TulvoServ_CleanForReboot releases the registration.
int32_t TulvoServ_PrepareForReboot(const char* i_pc_Removal, const char* i_pc_Arrival,
                                   HANDLE* o_ph_EventRemoval, HANDLE* o_ph_EventArrival);
// Waits for the removal, then the arrival, each up to the time-out. 0 when both came;
// TULVO_ABORTED when the monitor closes or the application handle (may be NULL: the client's
// process) is signalled.
int32_t TulvoServ_WaitForReboot(HANDLE i_h_EventRemoval, HANDLE i_h_EventArrival,
                                uint32_t i_ul_Timeout, HANDLE i_h_Application = nullptr);
// Releases a registration. With i_h_EventRemoval (the removal event the registration gave),
// only that registration is released, so that two channels waiting for the same serial
// number never release each other's events; with NULL, the first registration in use for the
// serial number. 0; TULVO_NO_MEMORY when none matches; TULVO_BAD_PARAMETER for an empty text.
int32_t TulvoServ_CleanForReboot(const char* i_pc_SerialNumber, HANDLE i_h_EventRemoval = nullptr);

#endif
