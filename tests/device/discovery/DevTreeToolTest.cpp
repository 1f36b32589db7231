// The tulvo_devtree tool, run as its own process: the device trees it builds, and the
// notifications it delivers to a window that plays the service's device monitor.
#include "device/discovery/TulvoEnum.h"
#include "tests/common/ChildProcess.h"
#include "tests/device/discovery/DiscoveryTestSupport.h"

#include <gtest/gtest.h>

#include <dbt.h>

#include <condition_variable>
#include <mutex>
#include <stdio.h>
#include <string>
#include <thread>
#include <vector>

namespace {

// What the window received, and what the device tree looked like while it handled it.
struct SReceived {
    UINT m_ui_Message;
    WPARAM m_x_WParam;
    LPARAM m_x_LParam;
    DWORD m_ul_DeviceType;
    std::string m_x_Name;
    GUID m_x_ClassGuid;
    bool m_b_SupportedPortListed;
};

std::mutex g_x_Lock;
std::vector<SReceived> g_ax_Received;

LRESULT CALLBACK RecordingWindowProc(HWND i_h_Window, UINT i_ui_Message, WPARAM i_x_WParam,
                                     LPARAM i_x_LParam) {
    if (i_ui_Message == WM_DEVICECHANGE || i_ui_Message == WM_POWERBROADCAST) {
        SReceived l_x_Received = {i_ui_Message, i_x_WParam, i_x_LParam, 0, "", GUID(), false};
        if (i_ui_Message == WM_DEVICECHANGE && i_x_LParam != 0) {
            const DEV_BROADCAST_HDR* l_px_Header =
                reinterpret_cast<const DEV_BROADCAST_HDR*>(i_x_LParam);
            l_x_Received.m_ul_DeviceType = l_px_Header->dbch_devicetype;
            if (l_px_Header->dbch_devicetype == DBT_DEVTYP_PORT) {
                l_x_Received.m_x_Name =
                    reinterpret_cast<const DEV_BROADCAST_PORT_A*>(l_px_Header)->dbcp_name;
                // As the monitor asks: present devices on arrival, all listed on removal.
                std::vector<char> l_ac_Port(l_x_Received.m_x_Name.begin(),
                                            l_x_Received.m_x_Name.end());
                l_ac_Port.push_back('\0');
                l_x_Received.m_b_SupportedPortListed = TulvoEnum_IsVekPort(
                    l_ac_Port.data(), i_x_WParam == DBT_DEVICEARRIVAL ? DIGCF_PRESENT : 0);
            } else if (l_px_Header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
                const DEV_BROADCAST_DEVICEINTERFACE_A* l_px_Interface =
                    reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(l_px_Header);
                l_x_Received.m_x_Name = l_px_Interface->dbcc_name;
                l_x_Received.m_x_ClassGuid = l_px_Interface->dbcc_classguid;
            }
        }
        std::lock_guard<std::mutex> l_x_Guard(g_x_Lock);
        g_ax_Received.push_back(l_x_Received);
        return TRUE;
    }
    if (i_ui_Message == WM_CLOSE) {
        DestroyWindow(i_h_Window);
        return 0;
    }
    if (i_ui_Message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(i_h_Window, i_ui_Message, i_x_WParam, i_x_LParam);
}

// A hidden top-level window of its own class on its own thread, as the monitor has.
class CRecordingWindow {
public:
    explicit CRecordingWindow(const std::string& i_x_ClassName) : m_x_ClassName(i_x_ClassName) {
        m_x_Thread = std::thread([this] { Run(); });
        std::unique_lock<std::mutex> l_x_Guard(m_x_ReadyLock);
        m_x_Ready.wait(l_x_Guard, [this] { return m_b_Ready; });
    }
    ~CRecordingWindow() {
        if (m_h_Window != nullptr) {
            PostMessageA(m_h_Window, WM_CLOSE, 0, 0);
        }
        m_x_Thread.join();
        UnregisterClassA(m_x_ClassName.c_str(), GetModuleHandleA(nullptr));
    }
    CRecordingWindow(const CRecordingWindow&) = delete;
    CRecordingWindow& operator=(const CRecordingWindow&) = delete;
    HWND Window() const { return m_h_Window; }

private:
    void Run() {
        WNDCLASSA l_x_Class = {};
        l_x_Class.lpfnWndProc = RecordingWindowProc;
        l_x_Class.hInstance = GetModuleHandleA(nullptr);
        l_x_Class.lpszClassName = m_x_ClassName.c_str();
        RegisterClassA(&l_x_Class);
        m_h_Window =
            CreateWindowExA(0, m_x_ClassName.c_str(), m_x_ClassName.c_str(), WS_POPUP | WS_CAPTION,
                            0, 0, 10, 10, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        {
            std::lock_guard<std::mutex> l_x_Guard(m_x_ReadyLock);
            m_b_Ready = true;
        }
        m_x_Ready.notify_all();
        if (m_h_Window == nullptr) {
            return;
        }
        MSG l_x_Message;
        while (GetMessageA(&l_x_Message, nullptr, 0, 0) > 0) {
            DispatchMessageA(&l_x_Message);
        }
    }
    std::string m_x_ClassName;
    HWND m_h_Window = nullptr;
    std::thread m_x_Thread;
    std::mutex m_x_ReadyLock;
    std::condition_variable m_x_Ready;
    bool m_b_Ready = false;
};

class DevTreeToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        discovery_test::RemoveTestDevices();
        std::lock_guard<std::mutex> l_x_Guard(g_x_Lock);
        g_ax_Received.clear();
        char l_ac_Name[64];
        snprintf(l_ac_Name, sizeof(l_ac_Name), "TulvoDevTreeTest%lu",
                 static_cast<unsigned long>(GetCurrentProcessId()));
        m_x_WindowClass = l_ac_Name;
    }
    void TearDown() override { discovery_test::RemoveTestDevices(); }

    // Runs the tool with the arguments; returns its exit code, its output in o_px_Output.
    DWORD Tool(const std::string& i_x_Arguments, std::string* o_px_Output = nullptr) {
        DWORD l_ul_ExitCode = STILL_ACTIVE;
        const std::string l_x_Output = tulvo_test::RunToEnd(
            "\"" + tulvo_test::BinDirectory() + "tulvo_devtree.exe\" " + i_x_Arguments, "", 60000,
            &l_ul_ExitCode);
        if (o_px_Output != nullptr) {
            *o_px_Output = l_x_Output;
        }
        return l_ul_ExitCode;
    }
    std::string WindowOption() const { return " --window " + m_x_WindowClass; }
    std::vector<SReceived> Received() {
        std::lock_guard<std::mutex> l_x_Guard(g_x_Lock);
        return g_ax_Received;
    }
    std::string m_x_WindowClass;
};

TEST_F(DevTreeToolTest, HelpNamesEveryCommandAndTheServicesObjects) {
    std::string l_x_Help;
    ASSERT_EQ(Tool("--help", &l_x_Help), 0u);
    for (const char* l_pc_Word :
         {"add", "remove", "list", "serialcomm", "arrival", "removal", "power", "plug", "unplug",
          "wait-window", "stop", "--parent", "--port", "--hwid", "\"TulvoServDeviceMonitor\"",
          "\"VEK USB Service\"", "Exit codes"}) {
        EXPECT_NE(l_x_Help.find(l_pc_Word), std::string::npos) << l_pc_Word;
    }
    std::string l_x_Again;
    EXPECT_EQ(Tool("plug --help", &l_x_Again), 0u);
    EXPECT_EQ(l_x_Again, l_x_Help);
}

TEST_F(DevTreeToolTest, BadCommandLinesAreUsageErrors) {
    EXPECT_EQ(Tool(""), 1u);
    EXPECT_EQ(Tool("frobnicate"), 1u);
    EXPECT_EQ(Tool("add --port COM230"), 1u);
    EXPECT_EQ(Tool("add --id"), 1u);
    EXPECT_EQ(Tool("power sleepy"), 1u);
    EXPECT_EQ(Tool("arrival"), 1u);
    EXPECT_EQ(Tool("add --id \"USB\\VID_2F3A&PID_0101\\TLVDISCT0\" --class printers"), 1u);
}

TEST_F(DevTreeToolTest, AddListAndRemoveADevice) {
    const std::string l_x_Id = "USB\\VID_2F3A&PID_0101\\TLVDISCT1";
    ASSERT_EQ(Tool("add --id \"" + l_x_Id + "\" --port COM230 --desc \"Desk sensor\""), 0u);
    EXPECT_EQ(Tool("add --id \"" + l_x_Id + "\" --port COM230"), 2u); // already present
    std::string l_x_List;
    ASSERT_EQ(Tool("list --match tlvdisct1", &l_x_List), 0u);
    EXPECT_EQ(l_x_List, l_x_Id +
                            "\tclass=Ports\tservice=usbser\tport=COM230\tdesc=Desk sensor\t"
                            "friendly=Desk sensor (COM230)\thwid=USB\\VID_2F3A&PID_0101&REV_0100;"
                            "USB\\VID_2F3A&PID_0101\n");
    std::string l_x_Ports;
    ASSERT_EQ(Tool("serialcomm", &l_x_Ports), 0u);
    EXPECT_NE(l_x_Ports.find("\\Device\\USBSER230=COM230\n"), std::string::npos);

    ASSERT_EQ(Tool("remove --port com230"), 0u);
    ASSERT_EQ(Tool("list --match TLVDISCT1", &l_x_List), 0u);
    EXPECT_EQ(l_x_List, "");
    ASSERT_EQ(Tool("serialcomm", &l_x_Ports), 0u);
    EXPECT_EQ(l_x_Ports.find("COM230"), std::string::npos);
    EXPECT_EQ(Tool("remove --id \"" + l_x_Id + "\""), 2u);
}

TEST_F(DevTreeToolTest, CompositeChildComesWithAUsbClassParent) {
    const std::string l_x_Child = "USB\\VID_2F3A&PID_0140&MI_00\\7&TLVDISC&0&0000";
    const std::string l_x_Parent = "USB\\VID_2F3A&PID_0140\\TLVDISCT2";
    ASSERT_EQ(Tool("add --id \"" + l_x_Child + "\" --port COM233 --parent \"" + l_x_Parent + "\""),
              0u);
    const std::vector<DevTree_Listed> l_ax_Devices = DevTree_List("TLVDISC");
    ASSERT_EQ(l_ax_Devices.size(), 2u);
    for (const DevTree_Listed& l_x_Device : l_ax_Devices) {
        if (l_x_Device.m_x_InstanceId == l_x_Child) {
            EXPECT_EQ(l_x_Device.m_ax_HardwareIds,
                      (std::vector<std::string>{"USB\\VID_2F3A&PID_0140&REV_0100&MI_00",
                                                "USB\\VID_2F3A&PID_0140&MI_00"}));
            EXPECT_EQ(l_x_Device.m_x_PortName, "COM233");
        } else {
            EXPECT_EQ(l_x_Device.m_x_InstanceId, l_x_Parent);
            EXPECT_EQ(l_x_Device.m_x_Service, "usbccgp");
            EXPECT_EQ(l_x_Device.m_x_PortName, "");
        }
    }
    // The parent is where the parent lookup searches: USB setup class, under its enumerator.
    const GUID l_x_Usb = {0x36fc9e60, 0xc465, 0x11cf, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0, 0}};
    HDEVINFO l_h_Set = SetupDiGetClassDevsA(&l_x_Usb, "USB\\VID_2F3A&PID_0140", nullptr,
                                            DIGCF_PRESENT | DIGCF_PROFILE);
    ASSERT_NE(l_h_Set, INVALID_HANDLE_VALUE);
    std::vector<std::string> l_ax_Ids;
    for (DWORD l_ul_Index = 0;; ++l_ul_Index) {
        SP_DEVINFO_DATA l_x_Element;
        l_x_Element.cbSize = sizeof(l_x_Element);
        if (!SetupDiEnumDeviceInfo(l_h_Set, l_ul_Index, &l_x_Element)) {
            break;
        }
        char l_ac_Id[512];
        ASSERT_TRUE(
            SetupDiGetDeviceInstanceIdA(l_h_Set, &l_x_Element, l_ac_Id, sizeof(l_ac_Id), nullptr));
        l_ax_Ids.emplace_back(l_ac_Id);
    }
    SetupDiDestroyDeviceInfoList(l_h_Set);
    EXPECT_EQ(l_ax_Ids, std::vector<std::string>{l_x_Parent});
}

TEST_F(DevTreeToolTest, PortAndInterfaceNotificationsArriveIntact) {
    CRecordingWindow l_x_Window(m_x_WindowClass);
    ASSERT_NE(l_x_Window.Window(), nullptr);
    ASSERT_EQ(Tool("arrival --port COM234" + WindowOption()), 0u);
    ASSERT_EQ(Tool("removal --port COM234" + WindowOption()), 0u);
    ASSERT_EQ(Tool("arrival --interface \"USB\\VID_2F3A&PID_0101\\SN7\"" + WindowOption()), 0u);
    ASSERT_EQ(Tool("removal --interface \"\\\\?\\USB#X#Y#{z}\"" + WindowOption()), 0u);
    const std::vector<SReceived> l_ax_Received = Received();
    ASSERT_EQ(l_ax_Received.size(), 4u);
    for (const SReceived& l_x_Received : l_ax_Received) {
        EXPECT_EQ(l_x_Received.m_ui_Message, static_cast<UINT>(WM_DEVICECHANGE));
    }
    EXPECT_EQ(l_ax_Received[0].m_x_WParam, static_cast<WPARAM>(DBT_DEVICEARRIVAL));
    EXPECT_EQ(l_ax_Received[0].m_ul_DeviceType, static_cast<DWORD>(DBT_DEVTYP_PORT));
    EXPECT_EQ(l_ax_Received[0].m_x_Name, "COM234");
    EXPECT_EQ(l_ax_Received[1].m_x_WParam, static_cast<WPARAM>(DBT_DEVICEREMOVECOMPLETE));
    EXPECT_EQ(l_ax_Received[1].m_x_Name, "COM234");
    EXPECT_EQ(l_ax_Received[2].m_ul_DeviceType, static_cast<DWORD>(DBT_DEVTYP_DEVICEINTERFACE));
    EXPECT_EQ(l_ax_Received[2].m_x_Name,
              "\\\\?\\USB#VID_2F3A&PID_0101#SN7#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
    EXPECT_EQ(l_ax_Received[2].m_x_ClassGuid.Data1, 0xa5dcbf10u);
    EXPECT_EQ(l_ax_Received[3].m_x_WParam, static_cast<WPARAM>(DBT_DEVICEREMOVECOMPLETE));
    EXPECT_EQ(l_ax_Received[3].m_x_Name, "\\\\?\\USB#X#Y#{z}");
}

TEST_F(DevTreeToolTest, PowerEventsCarryTheirCodeAndData) {
    CRecordingWindow l_x_Window(m_x_WindowClass);
    ASSERT_NE(l_x_Window.Window(), nullptr);
    ASSERT_EQ(Tool("power querysuspend" + WindowOption()), 0u);
    ASSERT_EQ(Tool("power suspend --data 3" + WindowOption()), 0u);
    ASSERT_EQ(Tool("power resume" + WindowOption()), 0u);
    ASSERT_EQ(Tool("power resumeautomatic" + WindowOption()), 0u);
    ASSERT_EQ(Tool("power 0x9 --data 0x10" + WindowOption()), 0u);
    const std::vector<SReceived> l_ax_Received = Received();
    ASSERT_EQ(l_ax_Received.size(), 5u);
    const WPARAM l_ax_Events[] = {0, 4, 7, 0x12, 9};
    const LPARAM l_ax_Data[] = {0, 3, 0, 0, 0x10};
    for (size_t l_ul = 0; l_ul < 5; ++l_ul) {
        EXPECT_EQ(l_ax_Received[l_ul].m_ui_Message, static_cast<UINT>(WM_POWERBROADCAST));
        EXPECT_EQ(l_ax_Received[l_ul].m_x_WParam, l_ax_Events[l_ul]);
        EXPECT_EQ(l_ax_Received[l_ul].m_x_LParam, l_ax_Data[l_ul]);
    }
}

TEST_F(DevTreeToolTest, PlugAndUnplugAnnounceWhileTheDeviceIsListed) {
    CRecordingWindow l_x_Window(m_x_WindowClass);
    ASSERT_NE(l_x_Window.Window(), nullptr);
    ASSERT_EQ(
        Tool("plug --id \"USB\\VID_2F3A&PID_0101\\TLVDISCT3\" --port COM235" + WindowOption()), 0u);
    EXPECT_EQ(DevTree_FindByPort("COM235").size(), 1u);
    ASSERT_EQ(Tool("unplug --port COM235" + WindowOption()), 0u);
    EXPECT_TRUE(DevTree_FindByPort("COM235").empty());
    // Plugging an id again replaces the device; unplugging by id finds its port.
    ASSERT_EQ(
        Tool("plug --id \"USB\\VID_2F3A&PID_0101\\TLVDISCT3\" --port COM236" + WindowOption()), 0u);
    ASSERT_EQ(
        Tool("plug --id \"USB\\VID_2F3A&PID_0101\\TLVDISCT3\" --port COM236" + WindowOption()), 0u);
    ASSERT_EQ(Tool("unplug --id \"USB\\VID_2F3A&PID_0101\\TLVDISCT3\"" + WindowOption()), 0u);

    const std::vector<SReceived> l_ax_Received = Received();
    ASSERT_EQ(l_ax_Received.size(), 5u);
    const char* const l_apc_Ports[] = {"COM235", "COM235", "COM236", "COM236", "COM236"};
    const WPARAM l_ax_Events[] = {DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE, DBT_DEVICEARRIVAL,
                                  DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE};
    for (size_t l_ul = 0; l_ul < 5; ++l_ul) {
        EXPECT_EQ(l_ax_Received[l_ul].m_x_Name, l_apc_Ports[l_ul]);
        EXPECT_EQ(l_ax_Received[l_ul].m_x_WParam, l_ax_Events[l_ul]);
        EXPECT_TRUE(l_ax_Received[l_ul].m_b_SupportedPortListed) << l_ul;
    }
    EXPECT_TRUE(DevTree_List("TLVDISCT3").empty());
}

TEST_F(DevTreeToolTest, MissingWindowOrEventIsNotFound) {
    EXPECT_EQ(Tool("arrival --port COM237 --window TulvoNoSuchWindowClass"), 2u);
    EXPECT_EQ(Tool("power suspend --window TulvoNoSuchWindowClass --wait 50"), 2u);
    // The tree changes all the same.
    EXPECT_EQ(Tool("plug --id \"USB\\VID_2F3A&PID_0101\\TLVDISCT4\" --port COM237 "
                   "--window TulvoNoSuchWindowClass"),
              2u);
    EXPECT_EQ(DevTree_FindByPort("COM237").size(), 1u);
    EXPECT_EQ(Tool("stop --event TulvoNoSuchEventName"), 2u);
}

TEST_F(DevTreeToolTest, StopSetsTheNamedEvent) {
    const std::string l_x_Name = m_x_WindowClass + "Stop";
    HANDLE l_h_Event = CreateEventA(nullptr, TRUE, FALSE, l_x_Name.c_str());
    ASSERT_NE(l_h_Event, nullptr);
    ASSERT_EQ(Tool("stop --event " + l_x_Name), 0u);
    EXPECT_EQ(WaitForSingleObject(l_h_Event, 0), WAIT_OBJECT_0);
    CloseHandle(l_h_Event);
}

TEST_F(DevTreeToolTest, WaitWindowWaitsForTheWindowToAppear) {
    tulvo_test::CChildProcess l_x_Tool;
    ASSERT_TRUE(l_x_Tool.Start("\"" + tulvo_test::BinDirectory() +
                                   "tulvo_devtree.exe\" wait-window --wait 30000" + WindowOption(),
                               ""));
    // The window comes after the tool has started; whenever the tool looks, it must find it.
    CRecordingWindow l_x_Window(m_x_WindowClass);
    ASSERT_TRUE(l_x_Tool.WaitForExit(60000));
    EXPECT_EQ(l_x_Tool.ExitCode(), 0u) << l_x_Tool.Output();
}

// The tool also looks on the window station of installed services. A look that found nothing
// there must leave the thread on its own desktop, or a window that appears later beside it is
// never found.
TEST_F(DevTreeToolTest, AWindowAppearingAfterALookAtTheServicesDesktopIsFound) {
    HWINSTA l_h_Own = GetProcessWindowStation();
    HWINSTA l_h_Station =
        CreateWindowStationA("__wineservice_winstation", 0, WINSTA_ALL_ACCESS, nullptr);
    ASSERT_NE(l_h_Station, nullptr);
    ASSERT_TRUE(SetProcessWindowStation(l_h_Station));
    HDESK l_h_Desktop = CreateDesktopA("Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    ASSERT_TRUE(SetProcessWindowStation(l_h_Own));
    ASSERT_NE(l_h_Desktop, nullptr);
    std::thread([&] {
        EXPECT_EQ(DevTree_FindWindow(m_x_WindowClass, 0), nullptr);
        CRecordingWindow l_x_Window(m_x_WindowClass);
        EXPECT_NE(DevTree_FindWindow(m_x_WindowClass, 10000), nullptr);
    }).join();
    CloseDesktop(l_h_Desktop);
    CloseWindowStation(l_h_Station);
}

} // namespace
