// Fake devices in the system's device tree and the notifications a device monitor gets when
// they come and go: what a test machine without sensors needs to exercise the service. Used by
// the tulvo_devtree tool and by tests that build device trees directly. Win32 only.
#ifndef TULVO_TOOLS_DEVTREE_DEVTREE_H
#define TULVO_TOOLS_DEVTREE_DEVTREE_H

#include <windows.h>

#include <string>
#include <vector>

// Results of the DevTree_ operations (also the tool's exit codes).
#define DEVTREE_OK 0
#define DEVTREE_USAGE 1
#define DEVTREE_NOT_FOUND 2 // device, window or event absent; device already present on add
#define DEVTREE_FAILED 3    // a system call failed or timed out

#define DEVTREE_MONITOR_WINDOW "TulvoServDeviceMonitor"
#define DEVTREE_STOP_EVENT "VEK USB Service"
#define DEVTREE_SERIALCOMM_KEY "HARDWARE\\DEVICEMAP\\SERIALCOMM"

enum DevTree_Class { DEVTREE_CLASS_PORTS, DEVTREE_CLASS_USB };

// One fake device. Empty texts take the defaults noted; the m_b_No... flags leave a property
// out entirely.
struct DevTree_Device {
    std::string m_x_InstanceId; // USB\VID_vvvv&PID_pppp\SERIAL or ...&MI_00\7&1a2b&0&0000
    DevTree_Class m_e_Class = DEVTREE_CLASS_PORTS;
    // Default: "<id without instance>&REV_0100" then "<id without instance>" (&REV_0100 goes
    // before &MI_xx for an interface child).
    std::vector<std::string> m_ax_HardwareIds;
    bool m_b_NoHardwareIds = false;
    std::string m_x_Service; // default "usbser" ("usbccgp" for the USB class)
    bool m_b_NoService = false;
    std::string m_x_Description; // default "USB Serial Device" ("USB Composite Device")
    bool m_b_NoDescription = false;
    std::string m_x_FriendlyName; // default "<description> (<port>)" when there is a port
    bool m_b_NoFriendlyName = false;
    std::string m_x_PortName;    // "PortName" of the hardware key, as given; empty: none
    bool m_b_NoPortName = false; // a port (SERIALCOMM, friendly name) but no "PortName" value
    DWORD m_ul_PortNameType = REG_SZ;
    bool m_b_PortNameUnterminated = false; // store the text without its terminating zero
    // SERIALCOMM entry for the port: value name default "\Device\USBSERnnn" (nnn from COMnnn).
    std::string m_x_SerialCommName;
    bool m_b_NoSerialComm = false;
    // For an interface child of a composite device: the parent's instance id. The parent is
    // added as a USB-class device (service "usbccgp") unless it is already there.
    std::string m_x_ParentId;
};

// One device of the tree as the tool lists it.
struct DevTree_Listed {
    std::string m_x_InstanceId;
    std::string m_x_ClassName;
    std::string m_x_Service;
    std::string m_x_PortName;
    std::string m_x_Description;
    std::string m_x_FriendlyName;
    std::vector<std::string> m_ax_HardwareIds;
};

// Adds the device (and its composite parent). DEVTREE_NOT_FOUND when a device with that
// instance id already exists (i_b_Replace removes it first). o_px_Error gets a reason.
int DevTree_Add(const DevTree_Device& i_x_Device, bool i_b_Replace, std::string* o_px_Error);

// Removes the device with that instance id, and the SERIALCOMM entries for its port name.
int DevTree_Remove(const std::string& i_x_InstanceId, std::string* o_px_Error);

// Removes every device whose instance id contains the text (ASCII case ignored); the count
// removed goes to o_pi_Count.
int DevTree_RemoveMatching(const std::string& i_x_Text, int* o_pi_Count, std::string* o_px_Error);

// Devices of all classes whose instance id contains the text (all with an empty text), in
// the order the system enumerates them.
std::vector<DevTree_Listed> DevTree_List(const std::string& i_x_Text);

// Instance ids of the devices whose "PortName" equals the port (ASCII case ignored).
std::vector<std::string> DevTree_FindByPort(const std::string& i_x_PortName);

// Writes or deletes one value of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM.
int DevTree_SetSerialComm(const std::string& i_x_Name, const std::string& i_x_PortName);
int DevTree_DeleteSerialComm(const std::string& i_x_Name);
// "name=port" lines of the SERIALCOMM key.
std::vector<std::string> DevTree_ListSerialComm();

// Default SERIALCOMM value name for a port: "\Device\USBSER005" for COM5.
std::string DevTree_DefaultSerialCommName(const std::string& i_x_PortName);
// Default hardware ids for an instance id (see DevTree_Device).
std::vector<std::string> DevTree_DefaultHardwareIds(const std::string& i_x_InstanceId);
// Device-interface path of a USB device: \\?\USB#VID_vvvv&PID_pppp#SERIAL#{a5dcbf10-...}.
std::string DevTree_InterfacePath(const std::string& i_x_InstanceId);

// The monitor window (by class name), waiting up to i_ul_WaitMs for it to appear.
HWND DevTree_FindWindow(const std::string& i_x_ClassName, DWORD i_ul_WaitMs);

// WM_DEVICECHANGE with DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE and a
// DEV_BROADCAST_PORT_A naming the port. Sent (the call returns once the window has handled
// it), waiting at most i_ul_SendTimeoutMs for the window procedure.
int DevTree_SendPortEvent(HWND i_h_Window, bool i_b_Arrival, const std::string& i_x_PortName,
                          DWORD i_ul_SendTimeoutMs);
// The same with a DEV_BROADCAST_DEVICEINTERFACE_A of GUID_DEVINTERFACE_USB_DEVICE.
int DevTree_SendInterfaceEvent(HWND i_h_Window, bool i_b_Arrival, const std::string& i_x_Path,
                               DWORD i_ul_SendTimeoutMs);
// WM_POWERBROADCAST (event, data).
int DevTree_SendPowerEvent(HWND i_h_Window, WPARAM i_x_Event, LPARAM i_x_Data,
                           DWORD i_ul_SendTimeoutMs);

// Sets the named event (the service's stop event in debug mode).
int DevTree_SetNamedEvent(const std::string& i_x_Name, std::string* o_px_Error);

#endif
