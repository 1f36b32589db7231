// tulvo_devtree: fake devices in the device tree and device notifications to the service's
// monitor window, for test machines without sensors and for the system tests.
#include "tools/devtree/DevTree.h"

#include <dbt.h>
#include <fcntl.h>
#include <io.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

const char g_ac_Usage[] =
    "tulvo_devtree - fake sensors in the device tree and device notifications for the\n"
    "VEK USB Service, on machines (or Wine prefixes) without sensors.\n"
    "\n"
    "Usage: tulvo_devtree COMMAND [OPTIONS]\n"
    "\n"
    "Device tree (changes the registry only; no service needs to run):\n"
    "  add --id ID [DEVICE OPTIONS]     add a fake device\n"
    "  remove --id ID | --port COMn | --match TEXT\n"
    "                                   remove devices and their SERIALCOMM entries\n"
    "  list [--match TEXT]              one line per device, tab-separated: instance id,\n"
    "                                   class=, service=, port=, desc=, friendly=, hwid=\n"
    "                                   (hardware ids joined by ';')\n"
    "  serialcomm [--set NAME=COMn | --delete NAME]\n"
    "                                   list (or change) HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM\n"
    "\n"
    "Notifications to the monitor window (class \"TulvoServDeviceMonitor\"):\n"
    "  arrival --port COMn              WM_DEVICECHANGE DBT_DEVICEARRIVAL, DBT_DEVTYP_PORT\n"
    "  removal --port COMn              WM_DEVICECHANGE DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_PORT\n"
    "  arrival|removal --interface ID|PATH\n"
    "                                   the same with DBT_DEVTYP_DEVICEINTERFACE of the USB\n"
    "                                   device interface class; an instance id is turned into\n"
    "                                   its interface path\n"
    "  power EVENT [--data N]           WM_POWERBROADCAST; EVENT is querysuspend (0),\n"
    "                                   suspend (4), resume (7), resumeautomatic (0x12) or a\n"
    "                                   number; N is the event data (default 0)\n"
    "  wait-window                      wait (see --wait) until the window exists\n"
    "\n"
    "Both at once (what a plug or unplug looks like to the service):\n"
    "  plug --id ID --port COMn [DEVICE OPTIONS]\n"
    "                                   add (replacing a device of the same id), then arrival\n"
    "  unplug --id ID | --port COMn     removal, then remove the device: the monitor looks\n"
    "                                   the port up while it handles the notification\n"
    "  Without the window the tree is changed all the same and the exit code is 2.\n"
    "\n"
    "Service:\n"
    "  stop [--event NAME]              set the named event \"VEK USB Service\", which stops\n"
    "                                   the service started with \"debug\"\n"
    "\n"
    "Device options:\n"
    "  --port COMn              \"PortName\" value of the hardware key, stored as given\n"
    "                           (com3 stays com3), and a SERIALCOMM entry for it\n"
    "  --hwid ID                a hardware id; repeat for several, the first one counts for\n"
    "                           the service (default: from --id, with &REV_0100 first)\n"
    "  --no-hwid                no hardware ids\n"
    "  --service NAME           driver service (default usbser); --no-service for none\n"
    "  --desc TEXT              device description, what clients see as the name\n"
    "                           (default \"USB Serial Device\"); --no-desc for none\n"
    "  --friendly TEXT          friendly name (default \"<desc> (<port>)\"); --no-friendly\n"
    "  --no-portname            no \"PortName\" value (the SERIALCOMM entry stays)\n"
    "  --portname-type sz|expand|multi|binary   type of the PortName value (default sz)\n"
    "  --portname-unterminated  store the PortName text without its terminating zero\n"
    "  --serialcomm-name NAME   SERIALCOMM value name (default \\Device\\USBSERnnn)\n"
    "  --no-serialcomm          no SERIALCOMM entry\n"
    "  --class ports|usb        setup class (default ports)\n"
    "  --parent ID              the device is an interface child of a composite device\n"
    "                           (id ...&MI_00\\...); its parent ID is added as a USB-class\n"
    "                           device (service usbccgp) unless present. Wine's\n"
    "                           CM_Get_Parent cannot find it: see the tests' stand-in\n"
    "  --replace                replace a device of the same instance id (add)\n"
    "\n"
    "Window options:\n"
    "  --window CLASS           window class to send to (default TulvoServDeviceMonitor)\n"
    "  --wait MS                wait up to MS for the window to appear (default 0)\n"
    "  --send-timeout MS        limit for the window to handle one message (default 60000;\n"
    "                           the monitor pauses 3 s while it handles a resume)\n"
    "\n"
    "Exit codes: 0 done; 1 usage; 2 not found (device, window, event) or, for add, already\n"
    "present; 3 a system call failed or timed out.\n"
    "\n"
    "Examples:\n"
    "  tulvo_devtree plug --id \"USB\\VID_2F3A&PID_0101\\SN0001\" --port COM5 --wait 10000\n"
    "  tulvo_devtree add --id \"USB\\VID_2F3A&PID_0140&MI_00\\7&1A2B&0&0000\" --port COM6 \\\n"
    "                    --parent \"USB\\VID_2F3A&PID_0140\\SN0002\"\n"
    "  tulvo_devtree power suspend && tulvo_devtree power resume\n"
    "  tulvo_devtree unplug --port COM5\n"
    "  tulvo_devtree stop\n";

struct SOptions {
    std::string m_x_Command;
    DevTree_Device m_x_Device;
    bool m_b_Replace = false;
    bool m_b_HavePort = false;
    std::string m_x_Match;
    std::string m_x_Interface;
    std::string m_x_Event = DEVTREE_STOP_EVENT;
    std::string m_x_Window = DEVTREE_MONITOR_WINDOW;
    std::string m_x_PowerEvent;
    std::string m_x_SerialCommSet;
    std::string m_x_SerialCommDelete;
    LPARAM m_x_PowerData = 0;
    DWORD m_ul_WaitMs = 0;
    DWORD m_ul_SendTimeoutMs = 60000;
};

int Usage(const char* i_pc_Problem) {
    fprintf(stderr, "tulvo_devtree: %s\nRun tulvo_devtree --help for the commands.\n",
            i_pc_Problem);
    return DEVTREE_USAGE;
}

bool ParseNumber(const char* i_pc_Text, unsigned long long* o_pull_Value) {
    if (i_pc_Text == nullptr || *i_pc_Text == '\0') {
        return false;
    }
    char* l_pc_End = nullptr;
    *o_pull_Value = strtoull(i_pc_Text, &l_pc_End, 0);
    return *l_pc_End == '\0';
}

bool ParsePortNameType(const std::string& i_x_Text, DWORD* o_pul_Type) {
    if (i_x_Text == "sz") {
        *o_pul_Type = REG_SZ;
    } else if (i_x_Text == "expand") {
        *o_pul_Type = REG_EXPAND_SZ;
    } else if (i_x_Text == "multi") {
        *o_pul_Type = REG_MULTI_SZ;
    } else if (i_x_Text == "binary") {
        *o_pul_Type = REG_BINARY;
    } else {
        return false;
    }
    return true;
}

bool ParsePowerEvent(const std::string& i_x_Text, WPARAM* o_px_Event) {
    if (i_x_Text == "querysuspend") {
        *o_px_Event = PBT_APMQUERYSUSPEND;
    } else if (i_x_Text == "suspend") {
        *o_px_Event = PBT_APMSUSPEND;
    } else if (i_x_Text == "resume") {
        *o_px_Event = PBT_APMRESUMESUSPEND;
    } else if (i_x_Text == "resumeautomatic") {
        *o_px_Event = PBT_APMRESUMEAUTOMATIC;
    } else {
        unsigned long long l_ull_Value = 0;
        if (!ParseNumber(i_x_Text.c_str(), &l_ull_Value)) {
            return false;
        }
        *o_px_Event = static_cast<WPARAM>(l_ull_Value);
    }
    return true;
}

// Returns DEVTREE_OK or a usage problem (already reported).
int ParseOptions(int i_i_Argc, char** i_ppc_Argv, SOptions* o_px_Options) {
    DevTree_Device& l_x_Device = o_px_Options->m_x_Device;
    for (int l_i = 2; l_i < i_i_Argc; ++l_i) {
        const std::string l_x_Option = i_ppc_Argv[l_i];
        const char* l_pc_Value = l_i + 1 < i_i_Argc ? i_ppc_Argv[l_i + 1] : nullptr;
        // Options that take no value.
        if (l_x_Option == "--no-hwid") {
            l_x_Device.m_b_NoHardwareIds = true;
        } else if (l_x_Option == "--no-service") {
            l_x_Device.m_b_NoService = true;
        } else if (l_x_Option == "--no-desc") {
            l_x_Device.m_b_NoDescription = true;
        } else if (l_x_Option == "--no-friendly") {
            l_x_Device.m_b_NoFriendlyName = true;
        } else if (l_x_Option == "--no-portname") {
            l_x_Device.m_b_NoPortName = true;
        } else if (l_x_Option == "--portname-unterminated") {
            l_x_Device.m_b_PortNameUnterminated = true;
        } else if (l_x_Option == "--no-serialcomm") {
            l_x_Device.m_b_NoSerialComm = true;
        } else if (l_x_Option == "--replace") {
            o_px_Options->m_b_Replace = true;
        } else if (l_x_Option.compare(0, 2, "--") != 0) {
            if (o_px_Options->m_x_Command == "power" && o_px_Options->m_x_PowerEvent.empty()) {
                o_px_Options->m_x_PowerEvent = l_x_Option;
                continue;
            }
            return Usage(("unexpected argument " + l_x_Option).c_str());
        } else {
            // Options that take one value.
            if (l_pc_Value == nullptr) {
                return Usage((l_x_Option + " needs a value").c_str());
            }
            ++l_i;
            unsigned long long l_ull_Number = 0;
            if (l_x_Option == "--id") {
                l_x_Device.m_x_InstanceId = l_pc_Value;
            } else if (l_x_Option == "--port") {
                l_x_Device.m_x_PortName = l_pc_Value;
                o_px_Options->m_b_HavePort = true;
            } else if (l_x_Option == "--hwid") {
                l_x_Device.m_ax_HardwareIds.emplace_back(l_pc_Value);
            } else if (l_x_Option == "--service") {
                l_x_Device.m_x_Service = l_pc_Value;
            } else if (l_x_Option == "--desc") {
                l_x_Device.m_x_Description = l_pc_Value;
            } else if (l_x_Option == "--friendly") {
                l_x_Device.m_x_FriendlyName = l_pc_Value;
            } else if (l_x_Option == "--portname-type") {
                if (!ParsePortNameType(l_pc_Value, &l_x_Device.m_ul_PortNameType)) {
                    return Usage("--portname-type takes sz, expand, multi or binary");
                }
            } else if (l_x_Option == "--serialcomm-name") {
                l_x_Device.m_x_SerialCommName = l_pc_Value;
            } else if (l_x_Option == "--class") {
                if (strcmp(l_pc_Value, "ports") == 0) {
                    l_x_Device.m_e_Class = DEVTREE_CLASS_PORTS;
                } else if (strcmp(l_pc_Value, "usb") == 0) {
                    l_x_Device.m_e_Class = DEVTREE_CLASS_USB;
                } else {
                    return Usage("--class takes ports or usb");
                }
            } else if (l_x_Option == "--parent") {
                l_x_Device.m_x_ParentId = l_pc_Value;
            } else if (l_x_Option == "--match") {
                o_px_Options->m_x_Match = l_pc_Value;
            } else if (l_x_Option == "--interface") {
                o_px_Options->m_x_Interface = l_pc_Value;
            } else if (l_x_Option == "--event") {
                o_px_Options->m_x_Event = l_pc_Value;
            } else if (l_x_Option == "--window") {
                o_px_Options->m_x_Window = l_pc_Value;
            } else if (l_x_Option == "--set") {
                o_px_Options->m_x_SerialCommSet = l_pc_Value;
            } else if (l_x_Option == "--delete") {
                o_px_Options->m_x_SerialCommDelete = l_pc_Value;
            } else if (l_x_Option == "--data") {
                if (!ParseNumber(l_pc_Value, &l_ull_Number)) {
                    return Usage("--data takes a number");
                }
                o_px_Options->m_x_PowerData = static_cast<LPARAM>(l_ull_Number);
            } else if (l_x_Option == "--wait" || l_x_Option == "--send-timeout") {
                if (!ParseNumber(l_pc_Value, &l_ull_Number) || l_ull_Number > 0xFFFFFFFFull) {
                    return Usage((l_x_Option + " takes milliseconds").c_str());
                }
                (l_x_Option == "--wait" ? o_px_Options->m_ul_WaitMs
                                        : o_px_Options->m_ul_SendTimeoutMs) =
                    static_cast<DWORD>(l_ull_Number);
            } else {
                return Usage(("unknown option " + l_x_Option).c_str());
            }
        }
    }
    return DEVTREE_OK;
}

int Report(int i_i_Status, const std::string& i_x_Error) {
    if (i_i_Status != DEVTREE_OK && !i_x_Error.empty()) {
        fprintf(stderr, "tulvo_devtree: %s\n", i_x_Error.c_str());
    }
    return i_i_Status;
}

HWND FindMonitor(const SOptions& i_x_Options) {
    HWND l_h_Window = DevTree_FindWindow(i_x_Options.m_x_Window, i_x_Options.m_ul_WaitMs);
    if (l_h_Window == nullptr) {
        fprintf(stderr, "tulvo_devtree: no window of class \"%s\"\n",
                i_x_Options.m_x_Window.c_str());
    }
    return l_h_Window;
}

int SendPortOrInterface(const SOptions& i_x_Options, bool i_b_Arrival,
                        const std::string& i_x_Port) {
    HWND l_h_Window = FindMonitor(i_x_Options);
    if (l_h_Window == nullptr) {
        return DEVTREE_NOT_FOUND;
    }
    int l_i_Status;
    if (!i_x_Port.empty()) {
        l_i_Status = DevTree_SendPortEvent(l_h_Window, i_b_Arrival, i_x_Port,
                                           i_x_Options.m_ul_SendTimeoutMs);
    } else {
        const std::string& l_x_Interface = i_x_Options.m_x_Interface;
        const std::string l_x_Path = l_x_Interface.compare(0, 4, "\\\\?\\") == 0
                                         ? l_x_Interface
                                         : DevTree_InterfacePath(l_x_Interface);
        l_i_Status = DevTree_SendInterfaceEvent(l_h_Window, i_b_Arrival, l_x_Path,
                                                i_x_Options.m_ul_SendTimeoutMs);
    }
    return Report(l_i_Status,
                  l_i_Status == DEVTREE_OK ? "" : "the window did not take the message");
}

// The instance ids a remove or unplug names: --id, or every device with that port.
std::vector<std::string> TargetIds(const SOptions& i_x_Options) {
    if (!i_x_Options.m_x_Device.m_x_InstanceId.empty()) {
        return {i_x_Options.m_x_Device.m_x_InstanceId};
    }
    return DevTree_FindByPort(i_x_Options.m_x_Device.m_x_PortName);
}

int RunList(const SOptions& i_x_Options) {
    for (const DevTree_Listed& l_x_Device : DevTree_List(i_x_Options.m_x_Match)) {
        std::string l_x_Ids;
        for (const std::string& l_x_Id : l_x_Device.m_ax_HardwareIds) {
            l_x_Ids += (l_x_Ids.empty() ? "" : ";") + l_x_Id;
        }
        printf("%s\tclass=%s\tservice=%s\tport=%s\tdesc=%s\tfriendly=%s\thwid=%s\n",
               l_x_Device.m_x_InstanceId.c_str(), l_x_Device.m_x_ClassName.c_str(),
               l_x_Device.m_x_Service.c_str(), l_x_Device.m_x_PortName.c_str(),
               l_x_Device.m_x_Description.c_str(), l_x_Device.m_x_FriendlyName.c_str(),
               l_x_Ids.c_str());
    }
    return DEVTREE_OK;
}

int RunSerialComm(const SOptions& i_x_Options) {
    if (!i_x_Options.m_x_SerialCommSet.empty()) {
        const size_t l_ul_Equal = i_x_Options.m_x_SerialCommSet.find('=');
        if (l_ul_Equal == std::string::npos) {
            return Usage("--set takes NAME=COMn");
        }
        return Report(DevTree_SetSerialComm(i_x_Options.m_x_SerialCommSet.substr(0, l_ul_Equal),
                                            i_x_Options.m_x_SerialCommSet.substr(l_ul_Equal + 1)),
                      "cannot write the SERIALCOMM entry");
    }
    if (!i_x_Options.m_x_SerialCommDelete.empty()) {
        return Report(DevTree_DeleteSerialComm(i_x_Options.m_x_SerialCommDelete),
                      "no such SERIALCOMM entry");
    }
    for (const std::string& l_x_Line : DevTree_ListSerialComm()) {
        printf("%s\n", l_x_Line.c_str());
    }
    return DEVTREE_OK;
}

int RunRemove(const SOptions& i_x_Options, bool i_b_Notify) {
    if (!i_x_Options.m_x_Match.empty() && !i_b_Notify) {
        int l_i_Count = 0;
        std::string l_x_Error;
        const int l_i_Status =
            DevTree_RemoveMatching(i_x_Options.m_x_Match, &l_i_Count, &l_x_Error);
        printf("removed %d\n", l_i_Count);
        return Report(l_i_Status, l_x_Error);
    }
    if (i_x_Options.m_x_Device.m_x_InstanceId.empty() && !i_x_Options.m_b_HavePort) {
        return Usage(i_b_Notify ? "unplug needs --id or --port"
                                : "remove needs --id, --port or --match");
    }
    const std::vector<std::string> l_ax_Ids = TargetIds(i_x_Options);
    if (l_ax_Ids.empty()) {
        return Report(DEVTREE_NOT_FOUND,
                      "no device with port " + i_x_Options.m_x_Device.m_x_PortName);
    }
    int l_i_Result = DEVTREE_OK;
    if (i_b_Notify) {
        std::string l_x_Port = i_x_Options.m_x_Device.m_x_PortName;
        if (l_x_Port.empty()) {
            const std::vector<DevTree_Listed> l_ax_Devices = DevTree_List(l_ax_Ids[0]);
            for (const DevTree_Listed& l_x_Device : l_ax_Devices) {
                if (l_x_Device.m_x_InstanceId.size() == l_ax_Ids[0].size()) {
                    l_x_Port = l_x_Device.m_x_PortName;
                }
            }
        }
        if (l_x_Port.empty()) {
            return Report(DEVTREE_NOT_FOUND, "the device has no port name to announce");
        }
        l_i_Result = SendPortOrInterface(i_x_Options, false, l_x_Port);
    }
    for (const std::string& l_x_Id : l_ax_Ids) {
        std::string l_x_Error;
        const int l_i_Status = DevTree_Remove(l_x_Id, &l_x_Error);
        if (l_i_Status != DEVTREE_OK) {
            return Report(l_i_Status, l_x_Error);
        }
    }
    return l_i_Result;
}

int RunAdd(const SOptions& i_x_Options, bool i_b_Notify) {
    if (i_x_Options.m_x_Device.m_x_InstanceId.empty()) {
        return Usage("add needs --id");
    }
    if (i_b_Notify && i_x_Options.m_x_Device.m_x_PortName.empty()) {
        return Usage("plug needs --port");
    }
    std::string l_x_Error;
    const int l_i_Status =
        DevTree_Add(i_x_Options.m_x_Device, i_x_Options.m_b_Replace || i_b_Notify, &l_x_Error);
    if (l_i_Status != DEVTREE_OK || !i_b_Notify) {
        return Report(l_i_Status, l_x_Error);
    }
    return SendPortOrInterface(i_x_Options, true, i_x_Options.m_x_Device.m_x_PortName);
}

int RunNotify(const SOptions& i_x_Options, bool i_b_Arrival) {
    if (i_x_Options.m_x_Device.m_x_PortName.empty() == i_x_Options.m_x_Interface.empty()) {
        return Usage("arrival and removal need either --port or --interface");
    }
    return SendPortOrInterface(i_x_Options, i_b_Arrival, i_x_Options.m_x_Device.m_x_PortName);
}

int RunPower(const SOptions& i_x_Options) {
    WPARAM l_x_Event = 0;
    if (!ParsePowerEvent(i_x_Options.m_x_PowerEvent, &l_x_Event)) {
        return Usage("power needs an event: querysuspend, suspend, resume, resumeautomatic or "
                     "a number");
    }
    HWND l_h_Window = FindMonitor(i_x_Options);
    if (l_h_Window == nullptr) {
        return DEVTREE_NOT_FOUND;
    }
    return Report(DevTree_SendPowerEvent(l_h_Window, l_x_Event, i_x_Options.m_x_PowerData,
                                         i_x_Options.m_ul_SendTimeoutMs),
                  "the window did not take the message");
}

} // namespace

int main(int argc, char** argv) {
    // Scripts read the listings: plain LF line ends, as a Unix tool writes them.
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc < 2) {
        return Usage("no command");
    }
    const std::string l_x_Command = argv[1];
    if (l_x_Command == "--help" || l_x_Command == "-h" || l_x_Command == "help" ||
        l_x_Command == "/?") {
        fputs(g_ac_Usage, stdout);
        return DEVTREE_OK;
    }
    SOptions l_x_Options;
    l_x_Options.m_x_Command = l_x_Command;
    for (int l_i = 2; l_i < argc; ++l_i) {
        if (strcmp(argv[l_i], "--help") == 0) {
            fputs(g_ac_Usage, stdout);
            return DEVTREE_OK;
        }
    }
    const int l_i_Parsed = ParseOptions(argc, argv, &l_x_Options);
    if (l_i_Parsed != DEVTREE_OK) {
        return l_i_Parsed;
    }
    if (l_x_Command == "add") {
        return RunAdd(l_x_Options, false);
    }
    if (l_x_Command == "plug") {
        return RunAdd(l_x_Options, true);
    }
    if (l_x_Command == "remove") {
        return RunRemove(l_x_Options, false);
    }
    if (l_x_Command == "unplug") {
        return RunRemove(l_x_Options, true);
    }
    if (l_x_Command == "list") {
        return RunList(l_x_Options);
    }
    if (l_x_Command == "serialcomm") {
        return RunSerialComm(l_x_Options);
    }
    if (l_x_Command == "arrival" || l_x_Command == "removal") {
        return RunNotify(l_x_Options, l_x_Command == "arrival");
    }
    if (l_x_Command == "power") {
        return RunPower(l_x_Options);
    }
    if (l_x_Command == "wait-window") {
        return FindMonitor(l_x_Options) != nullptr ? DEVTREE_OK : DEVTREE_NOT_FOUND;
    }
    if (l_x_Command == "stop") {
        std::string l_x_Error;
        return Report(DevTree_SetNamedEvent(l_x_Options.m_x_Event, &l_x_Error), l_x_Error);
    }
    return Usage(("unknown command " + l_x_Command).c_str());
}
