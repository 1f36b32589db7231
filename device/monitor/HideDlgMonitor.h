// The device monitor object behind the TulvoServ_ entry points (HideDlg.h): its hidden window
// and thread (HideDlgWindow.cpp), the handling of device and power notifications
// (HideDlgNotify.cpp), the device list (HideDlgList.cpp) and the table of devices awaited
// after a restart (HideDlgReboot.cpp). For this module and its tests.
//
// Threads: the window thread alone runs the window procedure and changes the list, the
// bindings, the counts and the wake-up configuration; it may run handlers nested inside
// InsertVek while a new device object waits for the sensor's first answers. Readers
// (EnumDevices, GetGestVek, GetPipe) run on channel threads and take holds through the
// entries' slots. HandleSendBackError runs on whichever thread failed to open a port.
#ifndef TULVO_DEVICE_MONITOR_HIDEDLGMONITOR_H
#define TULVO_DEVICE_MONITOR_HIDEDLGMONITOR_H

#include "device/monitor/HideDlg.h"

#include <windows.h>
#include <dbt.h>

#include <stdint.h>

#include <atomic>
#include <vector>

#define HIDEDLG_WINDOW_CLASS "TulvoServDeviceMonitor"
#define HIDEDLG_VEK_LIST_SIZE 100
#define HIDEDLG_WAITED_VEK_SIZE 100
// The longest port name the monitor keeps (COM5 ... COM999999999999).
#define HIDEDLG_PORT_NAME_MAX 15
#define HIDEDLG_WAKEUP_TIMER_ID 1
#define HIDEDLG_WAKEUP_TIMER_MS 5000
#define HIDEDLG_LIST_CREATED_WAIT_MS 10000
#define HIDEDLG_WAKEUP_WAIT_MS 5000
#define HIDEDLG_POLL_MS 100
#define HIDEDLG_WAITED_VEK_MUTEX_MS 50
#define HIDEDLG_WAIT_INFINITE 0xFFFFFFFFu

// One device awaited through a restart.
struct CHideDlg_WaitedVek {
    int32_t m_i_InUse;
    char* m_pstr_DeviceSerialNumberWaitForRemoval;
    char* m_pstr_DeviceSerialNumberWaitForArrival;
    HANDLE m_h_EventArrival;
    HANDLE m_h_EventRemoval;
};

// Waits for the event, the stop event (TULVO_ABORTED) or the time-out (TULVO_TIMEOUT; 0xFFFFFFFF:
// none), dispatching the calling thread's messages meanwhile (WM_QUIT ends the wait with 1). A
// time-out of 0 returns 0 at once. TULVO_SYSTEM_ERROR when the wait fails. The application
// handle (may be NULL) ends the wait with TULVO_ABORTED too.
int32_t TulvoHideDlg_WaitForEvent(HANDLE i_h_EventStop, HANDLE i_h_Event, uint32_t i_ul_Timeout,
                                  HANDLE i_h_Application = nullptr);

// The period of timer 1 and the longest wait at the wake-up gate: HIDEDLG_WAKEUP_TIMER_MS and
// HIDEDLG_WAKEUP_WAIT_MS, unless a test sets others, so that it ends the wake-up configuration
// itself (WM_TIMER 1 sent to the window) instead of racing the timer.
void TulvoHideDlg_SetWakeUpTimes(uint32_t i_ul_TimerMs, uint32_t i_ul_GateMs);
uint32_t TulvoHideDlg_WakeUpGateMs();

LRESULT CALLBACK TulvoHideDlg_WindowProc(HWND i_h_Window, UINT i_ui_Message, WPARAM i_x_WParam,
                                         LPARAM i_x_LParam);

class CHideDlg final : public CGestVekOwner {
public:
    explicit CHideDlg(int32_t i_i_OpenAllowed);
    ~CHideDlg();
    CHideDlg(const CHideDlg&) = delete;
    CHideDlg& operator=(const CHideDlg&) = delete;

    // Window and thread (HideDlgWindow.cpp).
    void OpenHideDlg();
    // Sets the stop event: every wait of the monitor ends and the window thread leaves its
    // loop. The closing does it first.
    void RequestStop();
    // Waits up to the limit for the window thread, then closes the monitor's objects; false
    // (nothing closed) while the thread still runs, which may use them.
    bool CloseHideDlg(uint32_t i_ul_LimitMs);
    static DWORD WINAPI Thread(LPVOID i_pv_HideDlg);
    HWND CreateMainWindow();

    // Notifications (HideDlgNotify.cpp); window thread.
    BOOL OnDeviceChange(WPARAM i_x_Event, LPARAM i_x_Data);
    void Arrival(const DEV_BROADCAST_HDR* i_px_Header);
    void Removal(const DEV_BROADCAST_HDR* i_px_Header);
    BOOL OnPowerBroadcast(WPARAM i_x_Event, LPARAM i_x_Data);
    void SuspendAll();
    void OnApmResumeAutomatic();
    void OnTimer();

    // Device list (HideDlgList.cpp).
    void CreateVekList();
    void InsertVek(const char* i_pc_PortName);
    void DeleteVek(const char* i_pc_PortName);
    void DeleteVekList();
    int32_t EnumDevices(TulvoEnum_DeviceProperties** o_ppx_List, int32_t* o_pi_Count);
    int32_t FreeDeviceList(TulvoEnum_DeviceProperties** io_ppx_List, int32_t i_i_Count);
    int32_t GetGestVek(const char* i_pc_Key, TulvoServ_VekEntry** o_ppx_Entry);
    int32_t GetPipe(TulvoServ_VekEntry* i_px_Entry, int32_t i_i_Index, CGestVekHold* o_px_Hold,
                    CGestVek_Pipe** o_ppx_Pipe);
    int32_t GetPipeLocks(GestIpc_PipeLock** o_ppx_Locks, int32_t* o_pi_Count);

    // Reboot coordination (HideDlgReboot.cpp).
    int32_t PrepareForReboot(const char* i_pc_Removal, const char* i_pc_Arrival,
                             HANDLE* o_ph_EventRemoval, HANDLE* o_ph_EventArrival);
    int32_t WaitForReboot(HANDLE i_h_EventRemoval, HANDLE i_h_EventArrival, uint32_t i_ul_Timeout,
                          HANDLE i_h_Application);
    int32_t CleanForReboot(const char* i_pc_SerialNumber, HANDLE i_h_EventRemoval);
    int32_t SetEventDeviceChanged(const char* i_pc_Reported, const char* i_pc_Usb,
                                  int32_t i_i_Arrival);
    int32_t RegisterVek(const char* i_pc_Removal, const char* i_pc_Arrival,
                        CHideDlg_WaitedVek* io_px_Record);
    int32_t RegisterVek_(const char* i_pc_Removal, const char* i_pc_Arrival,
                         CHideDlg_WaitedVek* io_px_Record);
    void UnRegisterVek_(CHideDlg_WaitedVek* io_px_Record);

    // From the device objects (CGestVekOwner).
    void HandleSendBackError() override;
    void HandleGestVekReturned(CGestVek* i_px_GestVek) override;
    void HandleGestVekDestroyed(CGestVek* i_px_GestVek) override;

    // Device objects that exist (listed, or unlisted and still held); for diagnostics and
    // tests.
    int32_t GetDeviceObjectCount() const { return m_i_DeviceObjects; }
    HWND GetWindow() const { return m_h_Window; }
    DWORD GetThreadId() const { return m_ul_ThreadId; }

private:
    friend LRESULT CALLBACK TulvoHideDlg_WindowProc(HWND, UINT, WPARAM, LPARAM);

    TulvoServ_VekEntry* FindEntry(int32_t i_i_ComIndex);
    // Destroys, on the window thread, the objects whose last hold was dropped elsewhere.
    void DestroyReturnedObjects();
    // After the list is emptied: waits until every object still held elsewhere came back and
    // was destroyed.
    void WaitForHeldObjects();
    // Honours a removal (and a return) of the port that came while its object was built.
    void FinishCreation(TulvoServ_VekEntry* io_px_Entry, const char* i_pc_PortName);
    // At the closing: registrations nobody will clean any more.
    void ReleaseWaitedVek();

    int32_t m_i_OpenAllowed;
    // Set on the window thread, read by tests on theirs.
    std::atomic<HWND> m_h_Window;
    HANDLE m_h_Thread;
    DWORD m_ul_ThreadId;
    HANDLE m_h_MonitorEventStop;
    HANDLE m_h_ListCreated;
    HANDLE m_h_WakeUpEvent;
    // Read by HandleSendBackError on a port's thread; changed with m_h_WakeUpEvent under
    // m_x_WakeUpLock.
    std::atomic<int32_t> m_i_WakeUpCount;
    CRITICAL_SECTION m_x_WakeUpLock;
    TulvoServ_VekEntry m_ax_VekList[HIDEDLG_VEK_LIST_SIZE];
    std::atomic<int32_t> m_i_VekCount;
    HANDLE m_h_WaitVekMutex;
    CHideDlg_WaitedVek m_ax_WaitedVek[HIDEDLG_WAITED_VEK_SIZE];

    // Objects handed back by HandleGestVekReturned, for the window thread to destroy. Its
    // capacity is kept at the number of existing objects, so that handing one back never
    // allocates.
    CRITICAL_SECTION m_x_ReturnedLock;
    std::vector<CGestVek*> m_ax_Returned;
    // Set when an object is handed back; the window thread waits on it with its stop event.
    HANDLE m_h_ReturnedEvent;
    std::atomic<int32_t> m_i_DeviceObjects;

    // While the start-up list is built (window thread): the COM numbers of ports removed
    // before the list reached them, which the list read before and must not build.
    bool m_b_Listing;
    std::vector<int32_t> m_ai_LeftWhileListing;
};

#endif
