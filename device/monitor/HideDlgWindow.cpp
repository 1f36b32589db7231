// The monitor's hidden window and its thread: opening and closing, the message loop, and the
// destruction of device objects whose last hold was dropped on another thread.
//
// Notifications reach the window as sent messages (another thread or process calls
// SendMessage), which the system delivers only while the thread looks at its queue. The loop
// therefore sleeps in MsgWaitForMultipleObjects: a notification is handled as soon as it
// comes, and the stop event and the hand-back of held objects wake the thread at once; the
// poll interval only bounds how long a posted timer message can wait.
#include "device/monitor/HideDlgMonitor.h"

#include "ipc/protocol/TulvoStatus.h"
#include "service/TraceLog.h"

#include <stdlib.h>
#include <string.h>

#include <new>

namespace {

const GUID g_x_UsbDeviceInterface = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

// How long the closing waits for the window thread before it says in the trace that it goes
// on waiting: destroying many device objects joins two port threads each.
const DWORD HIDEDLG_CLOSE_WAIT_MS = 1000;

// The registration of the window for USB device-interface notifications; it ends with the
// window.
HDEVNOTIFY g_h_DeviceNotify = nullptr;

} // namespace

CHideDlg::CHideDlg(int32_t i_i_OpenAllowed)
    : m_i_OpenAllowed(i_i_OpenAllowed), m_h_Window(nullptr), m_h_Thread(nullptr), m_ul_ThreadId(0),
      m_h_MonitorEventStop(nullptr), m_h_ListCreated(nullptr), m_h_WakeUpEvent(nullptr),
      m_i_WakeUpCount(0), m_i_VekCount(0), m_h_WaitVekMutex(nullptr), m_ax_WaitedVek{},
      m_h_ReturnedEvent(nullptr), m_i_DeviceObjects(0), m_b_Listing(false) {
    InitializeCriticalSection(&m_x_WakeUpLock);
    InitializeCriticalSection(&m_x_ReturnedLock);
}

CHideDlg::~CHideDlg() {
    DeleteCriticalSection(&m_x_ReturnedLock);
    DeleteCriticalSection(&m_x_WakeUpLock);
}

void CHideDlg::OpenHideDlg() {
    m_h_Window = nullptr;
    m_h_Thread = nullptr;
    m_ul_ThreadId = 0;
    m_i_WakeUpCount = 0;
    m_i_VekCount = 0;
    memset(m_ax_WaitedVek, 0, sizeof(m_ax_WaitedVek));

    m_h_MonitorEventStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (m_h_MonitorEventStop == nullptr) {
        TraceLog_SysError("CHideDlg::OpenHideDlg: CreateEvent m_h_MonitorEventStop");
        return;
    }
    m_h_ListCreated = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (m_h_ListCreated == nullptr) {
        TraceLog_SysError("CHideDlg::OpenHideDlg: CreateEvent m_h_ListCreated");
        return;
    }
    m_h_WaitVekMutex = CreateMutexA(nullptr, FALSE, nullptr);
    if (m_h_WaitVekMutex == nullptr) {
        TraceLog_SysError("CHideDlg::OpenHideDlg: CreateMutex m_h_WaitVekMutex");
        return;
    }
    m_h_WakeUpEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    if (m_h_WakeUpEvent == nullptr) {
        TraceLog_SysError("CHideDlg::OpenHideDlg: CreateEvent m_h_WakeUpEvent");
        return;
    }
    m_h_ReturnedEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (m_h_ReturnedEvent == nullptr) {
        TraceLog_SysError("CHideDlg::OpenHideDlg: CreateEvent m_h_ReturnedEvent");
        return;
    }

    DWORD l_ul_ThreadId = 0;
    m_h_Thread = CreateThread(nullptr, 0, CHideDlg::Thread, this, 0, &l_ul_ThreadId);
    if (m_h_Thread == nullptr) {
        TraceLog_Printf("CHideDlg::OpenHideDlg cannot create thread, Error %d\n",
                        static_cast<int>(GetLastError()));
        return;
    }
    m_ul_ThreadId = l_ul_ThreadId;
    if (!SetThreadPriority(m_h_Thread, THREAD_PRIORITY_HIGHEST)) {
        TraceLog_Printf("CHideDlg::OpenHideDlg cannot set ThreadPriority, Error %d\n",
                        static_cast<int>(GetLastError()));
        return;
    }
    Sleep(1);
}

void CHideDlg::RequestStop() {
    if (m_h_MonitorEventStop != nullptr) {
        SetEvent(m_h_MonitorEventStop);
    }
}

bool CHideDlg::CloseHideDlg(uint32_t i_ul_LimitMs) {
    RequestStop();
    if (m_h_Thread != nullptr &&
        WaitForSingleObject(m_h_Thread, HIDEDLG_CLOSE_WAIT_MS) == WAIT_TIMEOUT) {
        // The thread uses this object until its last device object is gone: never free it
        // under the thread.
        TraceLog_Printf("CHideDlg::CloseHideDlg waiting for the monitor thread to end\n");
        if (WaitForSingleObject(m_h_Thread, i_ul_LimitMs > HIDEDLG_CLOSE_WAIT_MS
                                                ? i_ul_LimitMs - HIDEDLG_CLOSE_WAIT_MS
                                                : 0) == WAIT_TIMEOUT) {
            TraceLog_Printf("CHideDlg::CloseHideDlg the monitor thread has not ended\n");
            return false;
        }
    }
    ReleaseWaitedVek();
    HANDLE* const l_aph_Handles[] = {&m_h_ListCreated, &m_h_WaitVekMutex, &m_h_MonitorEventStop,
                                     &m_h_WakeUpEvent, &m_h_ReturnedEvent};
    for (HANDLE* l_ph_Handle : l_aph_Handles) {
        if (*l_ph_Handle != nullptr) {
            CloseHandle(*l_ph_Handle);
            *l_ph_Handle = nullptr;
        }
    }
    if (!UnregisterClassA(HIDEDLG_WINDOW_CLASS, GetModuleHandleA(nullptr))) {
        TraceLog_SysError("CHideDlg::CloseHideDlg: UnregisterClass");
    }
    if (m_h_Thread != nullptr) {
        CloseHandle(m_h_Thread);
        m_h_Thread = nullptr;
    }
    return true;
}

DWORD WINAPI CHideDlg::Thread(LPVOID i_pv_HideDlg) {
    CHideDlg* const l_px_HideDlg = static_cast<CHideDlg*>(i_pv_HideDlg);
    l_px_HideDlg->m_h_Window = l_px_HideDlg->CreateMainWindow();
    TraceLog_Printf("CHideDlg::Thread Starting Monitor\n");

    const HANDLE l_ah_Events[2] = {l_px_HideDlg->m_h_MonitorEventStop,
                                   l_px_HideDlg->m_h_ReturnedEvent};
    for (;;) {
        MSG l_x_Message;
        PeekMessageA(&l_x_Message, nullptr, 0, 0, PM_NOREMOVE);
        while (PeekMessageA(&l_x_Message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&l_x_Message);
            DispatchMessageA(&l_x_Message);
        }
        l_px_HideDlg->DestroyReturnedObjects();
        const DWORD l_ul_Wait =
            MsgWaitForMultipleObjects(2, l_ah_Events, FALSE, HIDEDLG_POLL_MS, QS_ALLINPUT);
        if (l_ul_Wait == WAIT_OBJECT_0) {
            break;
        }
        if (l_ul_Wait == WAIT_FAILED) {
            // Never spin: poll as a plain timer would.
            Sleep(HIDEDLG_POLL_MS);
        }
    }

    if (l_px_HideDlg->m_h_Window != nullptr) {
        DestroyWindow(l_px_HideDlg->m_h_Window);
        l_px_HideDlg->m_h_Window = nullptr;
    }
    if (g_h_DeviceNotify != nullptr) {
        UnregisterDeviceNotification(g_h_DeviceNotify);
        g_h_DeviceNotify = nullptr;
    }
    l_px_HideDlg->DeleteVekList();
    l_px_HideDlg->WaitForHeldObjects();
    TraceLog_Printf("CHideDlg::Thread Monitor Stopped\n");
    return 0;
}

HWND CHideDlg::CreateMainWindow() {
    TraceLog_Printf("CHideDlg::CreateMainWindow()\n");
    const HINSTANCE l_h_Instance = GetModuleHandleA(nullptr);
    UnregisterClassA(HIDEDLG_WINDOW_CLASS, l_h_Instance);

    WNDCLASSA l_x_Class;
    memset(&l_x_Class, 0, sizeof(l_x_Class));
    l_x_Class.style = CS_HREDRAW | CS_VREDRAW;
    l_x_Class.lpfnWndProc = TulvoHideDlg_WindowProc;
    l_x_Class.hInstance = l_h_Instance;
    l_x_Class.lpszClassName = HIDEDLG_WINDOW_CLASS;
    if (RegisterClassA(&l_x_Class) == 0) {
        TraceLog_Printf("RegisterClass error %ld\n", static_cast<long>(GetLastError()));
    }

    const HWND l_h_Window =
        CreateWindowExA(0, HIDEDLG_WINDOW_CLASS, HIDEDLG_WINDOW_CLASS, WS_POPUP | WS_CAPTION, 0, 0,
                        10, 10, nullptr, nullptr, l_h_Instance, this);
    if (l_h_Window == nullptr) {
        TraceLog_Printf("CreateWindow error %ld\n", static_cast<long>(GetLastError()));
        return nullptr;
    }

    TraceLog_Printf("CHideDlg::CreateMainWindow() - RegisterDeviceNotification on device type = "
                    "DBT_DEVTYP_DEVICEINTERFACE\n");
    DEV_BROADCAST_DEVICEINTERFACE_A l_x_Filter;
    memset(&l_x_Filter, 0, sizeof(l_x_Filter));
    l_x_Filter.dbcc_size = sizeof(l_x_Filter);
    l_x_Filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    l_x_Filter.dbcc_classguid = g_x_UsbDeviceInterface;
    g_h_DeviceNotify =
        RegisterDeviceNotificationA(l_h_Window, &l_x_Filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (g_h_DeviceNotify == nullptr) {
        TraceLog_Printf(
            "TulvoHideDlg_RegisterDeviceNotification Error RegisterDeviceNotification\n");
    }
    return l_h_Window;
}

LRESULT CALLBACK TulvoHideDlg_WindowProc(HWND i_h_Window, UINT i_ui_Message, WPARAM i_x_WParam,
                                         LPARAM i_x_LParam) {
    if (i_ui_Message == WM_NCCREATE) {
        const CREATESTRUCTA* l_px_Create = reinterpret_cast<const CREATESTRUCTA*>(i_x_LParam);
        CHideDlg* l_px_Created = static_cast<CHideDlg*>(l_px_Create->lpCreateParams);
        SetWindowLongPtrA(i_h_Window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(l_px_Created));
        // The list is built inside WM_CREATE, before CreateWindow returns, and handlers nested
        // in that building (a resume starts the wake-up timer) already need the window.
        if (l_px_Created != nullptr) {
            l_px_Created->m_h_Window = i_h_Window;
        }
    }
    // Messages before WM_NCCREATE find no monitor yet.
    CHideDlg* const l_px_HideDlg =
        reinterpret_cast<CHideDlg*>(GetWindowLongPtrA(i_h_Window, GWLP_USERDATA));
    if (l_px_HideDlg != nullptr) {
        switch (i_ui_Message) {
        case WM_CREATE:
            l_px_HideDlg->CreateVekList();
            SetEvent(l_px_HideDlg->m_h_ListCreated);
            break;
        case WM_TIMER:
            TraceLog_Printf("WM_TIMER 0x%X 0x%X\n", static_cast<unsigned>(i_x_WParam),
                            static_cast<unsigned>(i_x_LParam));
            if (i_x_WParam == HIDEDLG_WAKEUP_TIMER_ID) {
                l_px_HideDlg->OnTimer();
            }
            break;
        case WM_POWERBROADCAST:
            TraceLog_Printf("WM_POWERBROADCAST 0x%X 0x%X\n", static_cast<unsigned>(i_x_WParam),
                            static_cast<unsigned>(i_x_LParam));
            l_px_HideDlg->OnPowerBroadcast(i_x_WParam, i_x_LParam);
            break;
        case WM_DEVICECHANGE:
            if (i_x_LParam != 0) {
                l_px_HideDlg->OnDeviceChange(i_x_WParam, i_x_LParam);
            }
            break;
        default:
            break;
        }
    }
    return DefWindowProcA(i_h_Window, i_ui_Message, i_x_WParam, i_x_LParam);
}

void CHideDlg::HandleGestVekReturned(CGestVek* i_px_GestVek) {
    EnterCriticalSection(&m_x_ReturnedLock);
    // Never allocates: the capacity covers every existing object (see InsertVek).
    m_ax_Returned.push_back(i_px_GestVek);
    // Inside the lock: once the window thread has taken the object, this monitor may be
    // destroyed and freed (the closing waits for nothing else of this thread).
    SetEvent(m_h_ReturnedEvent);
    LeaveCriticalSection(&m_x_ReturnedLock);
}

void CHideDlg::HandleGestVekDestroyed(CGestVek* i_px_GestVek) {
    (void)i_px_GestVek;
    const int32_t l_i_Left = --m_i_DeviceObjects;
    TraceLog_Printf("CHideDlg::HandleGestVekDestroyed %d left\n", l_i_Left);
}

void CHideDlg::DestroyReturnedObjects() {
    for (;;) {
        CGestVek* l_px_GestVek = nullptr;
        EnterCriticalSection(&m_x_ReturnedLock);
        if (!m_ax_Returned.empty()) {
            l_px_GestVek = m_ax_Returned.back();
            m_ax_Returned.pop_back();
        }
        LeaveCriticalSection(&m_x_ReturnedLock);
        if (l_px_GestVek == nullptr) {
            return;
        }
        CGestVek::DestroyReturned(l_px_GestVek);
    }
}

void CHideDlg::WaitForHeldObjects() {
    bool l_b_Logged = false;
    for (;;) {
        DestroyReturnedObjects();
        const int32_t l_i_Left = m_i_DeviceObjects;
        if (l_i_Left == 0) {
            return;
        }
        // Every object is stopped, so the channels that still hold one leave it soon; the
        // monitor must outlive them all.
        if (!l_b_Logged) {
            TraceLog_Printf("CHideDlg::Thread waiting for %d device objects still in use\n",
                            l_i_Left);
            l_b_Logged = true;
        }
        WaitForSingleObject(m_h_ReturnedEvent, HIDEDLG_POLL_MS);
    }
}
