#include "tools/devtree/DevTree.h"

#include "service/AsciiText.h"

#include <dbt.h>
#include <setupapi.h>

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const GUID g_x_GuidDevClassPorts = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const GUID g_x_GuidDevClassUsb = {
    0x36fc9e60, 0xc465, 0x11cf, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
const GUID g_x_GuidDevInterfaceUsbDevice = {
    0xa5dcbf10, 0x6530, 0x11d2, {0x90, 0x1f, 0x00, 0xc0, 0x4f, 0xb9, 0x51, 0xed}};

// Closes a device information set on every path out.
class CDevInfoSet {
public:
    explicit CDevInfoSet(HDEVINFO i_h_Set) : m_h_Set(i_h_Set) {}
    CDevInfoSet(const CDevInfoSet&) = delete;
    CDevInfoSet& operator=(const CDevInfoSet&) = delete;
    ~CDevInfoSet() {
        if (IsValid()) {
            SetupDiDestroyDeviceInfoList(m_h_Set);
        }
    }
    bool IsValid() const { return m_h_Set != nullptr && m_h_Set != INVALID_HANDLE_VALUE; }
    HDEVINFO Get() const { return m_h_Set; }

private:
    HDEVINFO m_h_Set;
};

std::string SystemErrorText(const char* i_pc_What, DWORD i_ul_Error) {
    char l_ac_Text[256];
    snprintf(l_ac_Text, sizeof(l_ac_Text), "%s failed, error %lu (0x%lX)", i_pc_What,
             static_cast<unsigned long>(i_ul_Error), static_cast<unsigned long>(i_ul_Error));
    return l_ac_Text;
}

void SetError(std::string* o_px_Error, const std::string& i_x_Text) {
    if (o_px_Error != nullptr) {
        *o_px_Error = i_x_Text;
    }
}

bool ContainsNoCase(const std::string& i_x_Text, const std::string& i_x_Part) {
    if (i_x_Part.empty()) {
        return true;
    }
    for (size_t l_ul = 0; l_ul + i_x_Part.size() <= i_x_Text.size(); ++l_ul) {
        bool l_b_Match = true;
        for (size_t l_ul_K = 0; l_ul_K < i_x_Part.size() && l_b_Match; ++l_ul_K) {
            l_b_Match =
                Tulvo_AsciiLower(i_x_Text[l_ul + l_ul_K]) == Tulvo_AsciiLower(i_x_Part[l_ul_K]);
        }
        if (l_b_Match) {
            return true;
        }
    }
    return false;
}

bool EqualNoCase(const std::string& i_x_A, const std::string& i_x_B) {
    return Tulvo_AsciiEqualNoCase(i_x_A.c_str(), i_x_B.c_str()) != 0;
}

std::vector<unsigned char> ReadProperty(HDEVINFO i_h_Set, SP_DEVINFO_DATA* i_px_Element,
                                        DWORD i_ul_Property, bool* o_pb_Present) {
    std::vector<unsigned char> l_auc_Data(256);
    for (;;) {
        DWORD l_ul_Needed = 0;
        if (SetupDiGetDeviceRegistryPropertyA(
                i_h_Set, i_px_Element, i_ul_Property, nullptr, l_auc_Data.data(),
                static_cast<DWORD>(l_auc_Data.size()) - 2, &l_ul_Needed)) {
            *o_pb_Present = true;
            l_auc_Data.resize(l_ul_Needed + 2, 0);
            l_auc_Data[l_ul_Needed] = 0;
            l_auc_Data[l_ul_Needed + 1] = 0;
            return l_auc_Data;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || l_ul_Needed + 2 <= l_auc_Data.size()) {
            *o_pb_Present = false;
            return {};
        }
        l_auc_Data.assign(l_ul_Needed + 2, 0);
    }
}

std::string ReadTextProperty(HDEVINFO i_h_Set, SP_DEVINFO_DATA* i_px_Element, DWORD i_ul_Property) {
    bool l_b_Present = false;
    const std::vector<unsigned char> l_auc_Data =
        ReadProperty(i_h_Set, i_px_Element, i_ul_Property, &l_b_Present);
    return l_b_Present ? std::string(reinterpret_cast<const char*>(l_auc_Data.data()))
                       : std::string();
}

std::vector<std::string> ReadMultiTextProperty(HDEVINFO i_h_Set, SP_DEVINFO_DATA* i_px_Element,
                                               DWORD i_ul_Property) {
    bool l_b_Present = false;
    const std::vector<unsigned char> l_auc_Data =
        ReadProperty(i_h_Set, i_px_Element, i_ul_Property, &l_b_Present);
    std::vector<std::string> l_ax_Texts;
    for (const char* l_pc = reinterpret_cast<const char*>(l_auc_Data.data());
         l_b_Present && *l_pc != '\0'; l_pc += strlen(l_pc) + 1) {
        l_ax_Texts.emplace_back(l_pc);
    }
    return l_ax_Texts;
}

std::string ReadInstanceId(HDEVINFO i_h_Set, SP_DEVINFO_DATA* i_px_Element) {
    char l_ac_Id[1024];
    if (!SetupDiGetDeviceInstanceIdA(i_h_Set, i_px_Element, l_ac_Id, sizeof(l_ac_Id), nullptr)) {
        return std::string();
    }
    return l_ac_Id;
}

std::string ReadPortName(HDEVINFO i_h_Set, SP_DEVINFO_DATA* i_px_Element) {
    HKEY l_h_Key =
        SetupDiOpenDevRegKey(i_h_Set, i_px_Element, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (l_h_Key == INVALID_HANDLE_VALUE) {
        return std::string();
    }
    char l_ac_Value[512] = {0};
    DWORD l_ul_Size = sizeof(l_ac_Value) - 1;
    DWORD l_ul_Type = 0;
    std::string l_x_Port;
    if (RegQueryValueExA(l_h_Key, "PortName", nullptr, &l_ul_Type,
                         reinterpret_cast<BYTE*>(l_ac_Value), &l_ul_Size) == ERROR_SUCCESS) {
        l_ac_Value[l_ul_Size] = '\0';
        l_x_Port = l_ac_Value;
    }
    RegCloseKey(l_h_Key);
    return l_x_Port;
}

bool SetTextProperty(HDEVINFO i_h_Set, SP_DEVINFO_DATA* i_px_Element, DWORD i_ul_Property,
                     const std::string& i_x_Text) {
    return SetupDiSetDeviceRegistryPropertyA(i_h_Set, i_px_Element, i_ul_Property,
                                             reinterpret_cast<const BYTE*>(i_x_Text.c_str()),
                                             static_cast<DWORD>(i_x_Text.size() + 1)) != FALSE;
}

bool SetMultiTextProperty(HDEVINFO i_h_Set, SP_DEVINFO_DATA* i_px_Element, DWORD i_ul_Property,
                          const std::vector<std::string>& i_ax_Texts) {
    std::string l_x_Multi;
    for (const std::string& l_x_Text : i_ax_Texts) {
        l_x_Multi += l_x_Text;
        l_x_Multi += '\0';
    }
    l_x_Multi += '\0';
    return SetupDiSetDeviceRegistryPropertyA(i_h_Set, i_px_Element, i_ul_Property,
                                             reinterpret_cast<const BYTE*>(l_x_Multi.data()),
                                             static_cast<DWORD>(l_x_Multi.size())) != FALSE;
}

// Finds the device with that instance id among the devices of all classes: the view the
// service has (SetupDiOpenDeviceInfo refuses some devices that enumeration still lists).
bool FindDevice(CDevInfoSet& i_x_Set, const std::string& i_x_InstanceId,
                SP_DEVINFO_DATA* o_px_Element) {
    if (!i_x_Set.IsValid()) {
        return false;
    }
    for (DWORD l_ul_Index = 0;; ++l_ul_Index) {
        o_px_Element->cbSize = sizeof(*o_px_Element);
        if (!SetupDiEnumDeviceInfo(i_x_Set.Get(), l_ul_Index, o_px_Element)) {
            return false;
        }
        if (EqualNoCase(ReadInstanceId(i_x_Set.Get(), o_px_Element), i_x_InstanceId)) {
            return true;
        }
    }
}

HDEVINFO AllDevices() {
    return SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
}

bool DeviceExists(const std::string& i_x_InstanceId) {
    CDevInfoSet l_x_Set(AllDevices());
    SP_DEVINFO_DATA l_x_Element;
    return FindDevice(l_x_Set, i_x_InstanceId, &l_x_Element);
}

int AddOne(const DevTree_Device& i_x_Device, std::string* o_px_Error) {
    const bool l_b_Usb = i_x_Device.m_e_Class == DEVTREE_CLASS_USB;
    const GUID& l_x_Class = l_b_Usb ? g_x_GuidDevClassUsb : g_x_GuidDevClassPorts;
    CDevInfoSet l_x_Set(SetupDiCreateDeviceInfoList(&l_x_Class, nullptr));
    if (!l_x_Set.IsValid()) {
        SetError(o_px_Error, SystemErrorText("SetupDiCreateDeviceInfoList", GetLastError()));
        return DEVTREE_FAILED;
    }
    const std::string l_x_Description =
        !i_x_Device.m_x_Description.empty()
            ? i_x_Device.m_x_Description
            : std::string(l_b_Usb ? "USB Composite Device" : "USB Serial Device");
    SP_DEVINFO_DATA l_x_Element;
    l_x_Element.cbSize = sizeof(l_x_Element);
    if (!SetupDiCreateDeviceInfoA(l_x_Set.Get(), i_x_Device.m_x_InstanceId.c_str(), &l_x_Class,
                                  nullptr, nullptr, 0, &l_x_Element)) {
        const DWORD l_ul_Error = GetLastError();
        SetError(o_px_Error, SystemErrorText("SetupDiCreateDeviceInfo", l_ul_Error));
        return l_ul_Error == ERROR_DEVINST_ALREADY_EXISTS ? DEVTREE_NOT_FOUND : DEVTREE_FAILED;
    }
    if (!SetupDiRegisterDeviceInfo(l_x_Set.Get(), &l_x_Element, 0, nullptr, nullptr, nullptr)) {
        SetError(o_px_Error, SystemErrorText("SetupDiRegisterDeviceInfo", GetLastError()));
        return DEVTREE_FAILED;
    }

    bool l_b_Ok = true;
    const char* l_pc_Failed = "";
    if (!i_x_Device.m_b_NoHardwareIds) {
        const std::vector<std::string> l_ax_Ids =
            i_x_Device.m_ax_HardwareIds.empty()
                ? DevTree_DefaultHardwareIds(i_x_Device.m_x_InstanceId)
                : i_x_Device.m_ax_HardwareIds;
        if (!SetMultiTextProperty(l_x_Set.Get(), &l_x_Element, SPDRP_HARDWAREID, l_ax_Ids)) {
            l_b_Ok = false;
            l_pc_Failed = "SetupDiSetDeviceRegistryProperty SPDRP_HARDWAREID";
        }
    }
    if (l_b_Ok && !i_x_Device.m_b_NoService) {
        const std::string l_x_Service = !i_x_Device.m_x_Service.empty()
                                            ? i_x_Device.m_x_Service
                                            : std::string(l_b_Usb ? "usbccgp" : "usbser");
        if (!SetTextProperty(l_x_Set.Get(), &l_x_Element, SPDRP_SERVICE, l_x_Service)) {
            l_b_Ok = false;
            l_pc_Failed = "SetupDiSetDeviceRegistryProperty SPDRP_SERVICE";
        }
    }
    if (l_b_Ok && !i_x_Device.m_b_NoDescription &&
        !SetTextProperty(l_x_Set.Get(), &l_x_Element, SPDRP_DEVICEDESC, l_x_Description)) {
        l_b_Ok = false;
        l_pc_Failed = "SetupDiSetDeviceRegistryProperty SPDRP_DEVICEDESC";
    }
    std::string l_x_Friendly = i_x_Device.m_x_FriendlyName;
    if (l_x_Friendly.empty() && !i_x_Device.m_x_PortName.empty()) {
        l_x_Friendly = l_x_Description + " (" + i_x_Device.m_x_PortName + ")";
    }
    if (l_b_Ok && !i_x_Device.m_b_NoFriendlyName && !l_x_Friendly.empty() &&
        !SetTextProperty(l_x_Set.Get(), &l_x_Element, SPDRP_FRIENDLYNAME, l_x_Friendly)) {
        l_b_Ok = false;
        l_pc_Failed = "SetupDiSetDeviceRegistryProperty SPDRP_FRIENDLYNAME";
    }
    if (l_b_Ok && !i_x_Device.m_x_PortName.empty() && !i_x_Device.m_b_NoPortName) {
        HKEY l_h_Key = SetupDiCreateDevRegKeyA(l_x_Set.Get(), &l_x_Element, DICS_FLAG_GLOBAL, 0,
                                               DIREG_DEV, nullptr, nullptr);
        if (l_h_Key == INVALID_HANDLE_VALUE) {
            l_b_Ok = false;
            l_pc_Failed = "SetupDiCreateDevRegKey";
        } else {
            const DWORD l_ul_Size = static_cast<DWORD>(
                i_x_Device.m_x_PortName.size() + (i_x_Device.m_b_PortNameUnterminated ? 0 : 1));
            const LONG l_l_Status = RegSetValueExA(
                l_h_Key, "PortName", 0, i_x_Device.m_ul_PortNameType,
                reinterpret_cast<const BYTE*>(i_x_Device.m_x_PortName.c_str()), l_ul_Size);
            RegCloseKey(l_h_Key);
            if (l_l_Status != ERROR_SUCCESS) {
                SetLastError(static_cast<DWORD>(l_l_Status));
                l_b_Ok = false;
                l_pc_Failed = "RegSetValueEx PortName";
            }
        }
    }
    if (!l_b_Ok) {
        SetError(o_px_Error, SystemErrorText(l_pc_Failed, GetLastError()));
        SetupDiRemoveDevice(l_x_Set.Get(), &l_x_Element);
        return DEVTREE_FAILED;
    }
    return DEVTREE_OK;
}

// The SERIALCOMM key is volatile on Windows; Wine may have none yet.
HKEY OpenSerialComm(REGSAM i_x_Access) {
    HKEY l_h_Key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, DEVTREE_SERIALCOMM_KEY, 0, nullptr, REG_OPTION_VOLATILE,
                        i_x_Access, nullptr, &l_h_Key, nullptr) == ERROR_SUCCESS) {
        return l_h_Key;
    }
    return nullptr;
}

// Which device each SERIALCOMM entry of ours belongs to (value name -> instance id), so that
// removing a device also removes an entry whose port it no longer names.
const char g_ac_OwnersKey[] = "Software\\Tulvo\\DevTree\\SerialComm";

void RecordSerialCommOwner(const std::string& i_x_Name, const std::string& i_x_InstanceId) {
    HKEY l_h_Key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, g_ac_OwnersKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &l_h_Key, nullptr) == ERROR_SUCCESS) {
        RegSetValueExA(l_h_Key, i_x_Name.c_str(), 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(i_x_InstanceId.c_str()),
                       static_cast<DWORD>(i_x_InstanceId.size() + 1));
        RegCloseKey(l_h_Key);
    }
}

// Names of the values of an open key whose text data satisfies the test.
template <typename TTest> std::vector<std::string> ValuesWhere(HKEY i_h_Key, TTest i_x_Test) {
    std::vector<std::string> l_ax_Names;
    for (DWORD l_ul_Index = 0;; ++l_ul_Index) {
        char l_ac_Name[1024];
        DWORD l_ul_NameLength = sizeof(l_ac_Name);
        char l_ac_Data[1024] = {0};
        DWORD l_ul_DataSize = sizeof(l_ac_Data) - 1;
        DWORD l_ul_Type = 0;
        const LONG l_l_Status =
            RegEnumValueA(i_h_Key, l_ul_Index, l_ac_Name, &l_ul_NameLength, nullptr, &l_ul_Type,
                          reinterpret_cast<BYTE*>(l_ac_Data), &l_ul_DataSize);
        if (l_l_Status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (l_l_Status == ERROR_SUCCESS && l_ul_Type == REG_SZ && i_x_Test(l_ac_Data)) {
            l_ax_Names.emplace_back(l_ac_Name);
        }
    }
    return l_ax_Names;
}

// Deletes the SERIALCOMM entries recorded for the device and those naming its port.
void DeleteSerialCommOf(const std::string& i_x_InstanceId, const std::string& i_x_PortName) {
    std::vector<std::string> l_ax_Names;
    HKEY l_h_Owners = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, g_ac_OwnersKey, 0, KEY_READ | KEY_SET_VALUE,
                      &l_h_Owners) == ERROR_SUCCESS) {
        l_ax_Names = ValuesWhere(l_h_Owners, [&](const char* i_pc_Owner) {
            return EqualNoCase(i_pc_Owner, i_x_InstanceId);
        });
        for (const std::string& l_x_Name : l_ax_Names) {
            RegDeleteValueA(l_h_Owners, l_x_Name.c_str());
        }
        RegCloseKey(l_h_Owners);
    }
    HKEY l_h_Key = OpenSerialComm(KEY_READ | KEY_SET_VALUE);
    if (l_h_Key == nullptr) {
        return;
    }
    if (!i_x_PortName.empty()) {
        for (const std::string& l_x_Name : ValuesWhere(l_h_Key, [&](const char* i_pc_Port) {
                 return EqualNoCase(i_pc_Port, i_x_PortName);
             })) {
            l_ax_Names.push_back(l_x_Name);
        }
    }
    for (const std::string& l_x_Name : l_ax_Names) {
        RegDeleteValueA(l_h_Key, l_x_Name.c_str());
    }
    RegCloseKey(l_h_Key);
}

// Deletes the SERIALCOMM entries recorded for devices whose id contains the text, also when
// the device itself is already gone.
void SweepSerialCommOwners(const std::string& i_x_Text) {
    HKEY l_h_Owners = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, g_ac_OwnersKey, 0, KEY_READ | KEY_SET_VALUE,
                      &l_h_Owners) != ERROR_SUCCESS) {
        return;
    }
    const std::vector<std::string> l_ax_Names = ValuesWhere(
        l_h_Owners, [&](const char* i_pc_Owner) { return ContainsNoCase(i_pc_Owner, i_x_Text); });
    HKEY l_h_Key = OpenSerialComm(KEY_SET_VALUE);
    for (const std::string& l_x_Name : l_ax_Names) {
        RegDeleteValueA(l_h_Owners, l_x_Name.c_str());
        if (l_h_Key != nullptr) {
            RegDeleteValueA(l_h_Key, l_x_Name.c_str());
        }
    }
    if (l_h_Key != nullptr) {
        RegCloseKey(l_h_Key);
    }
    RegCloseKey(l_h_Owners);
}

int SendDeviceChange(HWND i_h_Window, bool i_b_Arrival, void* i_pv_Data, DWORD i_ul_TimeoutMs) {
    DWORD_PTR l_x_Result = 0;
    if (!SendMessageTimeoutA(
            i_h_Window, WM_DEVICECHANGE, i_b_Arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE,
            reinterpret_cast<LPARAM>(i_pv_Data), SMTO_NORMAL, i_ul_TimeoutMs, &l_x_Result)) {
        return DEVTREE_FAILED;
    }
    return DEVTREE_OK;
}

} // namespace

std::vector<std::string> DevTree_DefaultHardwareIds(const std::string& i_x_InstanceId) {
    const size_t l_ul_Last = i_x_InstanceId.rfind('\\');
    const std::string l_x_Base =
        l_ul_Last == std::string::npos ? i_x_InstanceId : i_x_InstanceId.substr(0, l_ul_Last);
    std::string l_x_WithRevision = l_x_Base;
    const size_t l_ul_Interface = l_x_Base.find("&MI_");
    if (l_ul_Interface != std::string::npos) {
        l_x_WithRevision.insert(l_ul_Interface, "&REV_0100");
    } else {
        l_x_WithRevision += "&REV_0100";
    }
    return {l_x_WithRevision, l_x_Base};
}

std::string DevTree_DefaultSerialCommName(const std::string& i_x_PortName) {
    if (i_x_PortName.size() > 3 && EqualNoCase(i_x_PortName.substr(0, 3), "COM") &&
        i_x_PortName.find_first_not_of("0123456789", 3) == std::string::npos) {
        char l_ac_Name[64];
        snprintf(l_ac_Name, sizeof(l_ac_Name), "\\Device\\USBSER%03d",
                 atoi(i_x_PortName.c_str() + 3));
        return l_ac_Name;
    }
    return "\\Device\\USBSER_" + i_x_PortName;
}

std::string DevTree_InterfacePath(const std::string& i_x_InstanceId) {
    std::string l_x_Path = "\\\\?\\" + i_x_InstanceId;
    for (size_t l_ul = 4; l_ul < l_x_Path.size(); ++l_ul) {
        if (l_x_Path[l_ul] == '\\') {
            l_x_Path[l_ul] = '#';
        }
    }
    return l_x_Path + "#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
}

int DevTree_Add(const DevTree_Device& i_x_Device, bool i_b_Replace, std::string* o_px_Error) {
    if (i_x_Device.m_x_InstanceId.empty()) {
        SetError(o_px_Error, "no instance id");
        return DEVTREE_USAGE;
    }
    if (DeviceExists(i_x_Device.m_x_InstanceId)) {
        if (!i_b_Replace) {
            SetError(o_px_Error, "a device with this instance id is already present");
            return DEVTREE_NOT_FOUND;
        }
        const int l_i_Status = DevTree_Remove(i_x_Device.m_x_InstanceId, o_px_Error);
        if (l_i_Status != DEVTREE_OK) {
            return l_i_Status;
        }
    }
    if (!i_x_Device.m_x_ParentId.empty() && !DeviceExists(i_x_Device.m_x_ParentId)) {
        DevTree_Device l_x_Parent;
        l_x_Parent.m_x_InstanceId = i_x_Device.m_x_ParentId;
        l_x_Parent.m_e_Class = DEVTREE_CLASS_USB;
        const int l_i_Status = AddOne(l_x_Parent, o_px_Error);
        if (l_i_Status != DEVTREE_OK) {
            return l_i_Status;
        }
    }
    const int l_i_Status = AddOne(i_x_Device, o_px_Error);
    if (l_i_Status != DEVTREE_OK) {
        return l_i_Status;
    }
    if (!i_x_Device.m_x_PortName.empty() && !i_x_Device.m_b_NoSerialComm) {
        const std::string l_x_Name = !i_x_Device.m_x_SerialCommName.empty()
                                         ? i_x_Device.m_x_SerialCommName
                                         : DevTree_DefaultSerialCommName(i_x_Device.m_x_PortName);
        if (DevTree_SetSerialComm(l_x_Name, i_x_Device.m_x_PortName) != DEVTREE_OK) {
            SetError(o_px_Error, SystemErrorText("SERIALCOMM entry", GetLastError()));
            return DEVTREE_FAILED;
        }
        RecordSerialCommOwner(l_x_Name, i_x_Device.m_x_InstanceId);
    }
    return DEVTREE_OK;
}

int DevTree_Remove(const std::string& i_x_InstanceId, std::string* o_px_Error) {
    CDevInfoSet l_x_Set(AllDevices());
    if (!l_x_Set.IsValid()) {
        SetError(o_px_Error, SystemErrorText("SetupDiGetClassDevs", GetLastError()));
        return DEVTREE_FAILED;
    }
    SP_DEVINFO_DATA l_x_Element;
    if (!FindDevice(l_x_Set, i_x_InstanceId, &l_x_Element)) {
        SetError(o_px_Error, "no device " + i_x_InstanceId);
        return DEVTREE_NOT_FOUND;
    }
    const std::string l_x_Port = ReadPortName(l_x_Set.Get(), &l_x_Element);
    if (!SetupDiRemoveDevice(l_x_Set.Get(), &l_x_Element)) {
        SetError(o_px_Error, SystemErrorText("SetupDiRemoveDevice", GetLastError()));
        return DEVTREE_FAILED;
    }
    DeleteSerialCommOf(i_x_InstanceId, l_x_Port);
    return DEVTREE_OK;
}

int DevTree_RemoveMatching(const std::string& i_x_Text, int* o_pi_Count, std::string* o_px_Error) {
    int l_i_Count = 0;
    int l_i_Status = DEVTREE_OK;
    if (!i_x_Text.empty()) {
        for (const DevTree_Listed& l_x_Device : DevTree_List(i_x_Text)) {
            const int l_i_One = DevTree_Remove(l_x_Device.m_x_InstanceId, o_px_Error);
            if (l_i_One == DEVTREE_OK) {
                ++l_i_Count;
            } else if (l_i_One != DEVTREE_NOT_FOUND) {
                l_i_Status = l_i_One;
            }
        }
        SweepSerialCommOwners(i_x_Text);
    }
    if (o_pi_Count != nullptr) {
        *o_pi_Count = l_i_Count;
    }
    return l_i_Status;
}

std::vector<DevTree_Listed> DevTree_List(const std::string& i_x_Text) {
    std::vector<DevTree_Listed> l_ax_Devices;
    CDevInfoSet l_x_Set(AllDevices());
    if (!l_x_Set.IsValid()) {
        return l_ax_Devices;
    }
    for (DWORD l_ul_Index = 0;; ++l_ul_Index) {
        SP_DEVINFO_DATA l_x_Element;
        l_x_Element.cbSize = sizeof(l_x_Element);
        if (!SetupDiEnumDeviceInfo(l_x_Set.Get(), l_ul_Index, &l_x_Element)) {
            break;
        }
        DevTree_Listed l_x_Device;
        l_x_Device.m_x_InstanceId = ReadInstanceId(l_x_Set.Get(), &l_x_Element);
        if (!ContainsNoCase(l_x_Device.m_x_InstanceId, i_x_Text)) {
            continue;
        }
        l_x_Device.m_x_ClassName = ReadTextProperty(l_x_Set.Get(), &l_x_Element, SPDRP_CLASS);
        l_x_Device.m_x_Service = ReadTextProperty(l_x_Set.Get(), &l_x_Element, SPDRP_SERVICE);
        l_x_Device.m_x_PortName = ReadPortName(l_x_Set.Get(), &l_x_Element);
        l_x_Device.m_x_Description =
            ReadTextProperty(l_x_Set.Get(), &l_x_Element, SPDRP_DEVICEDESC);
        l_x_Device.m_x_FriendlyName =
            ReadTextProperty(l_x_Set.Get(), &l_x_Element, SPDRP_FRIENDLYNAME);
        l_x_Device.m_ax_HardwareIds =
            ReadMultiTextProperty(l_x_Set.Get(), &l_x_Element, SPDRP_HARDWAREID);
        l_ax_Devices.push_back(l_x_Device);
    }
    return l_ax_Devices;
}

std::vector<std::string> DevTree_FindByPort(const std::string& i_x_PortName) {
    std::vector<std::string> l_ax_Ids;
    for (const DevTree_Listed& l_x_Device : DevTree_List(std::string())) {
        if (!l_x_Device.m_x_PortName.empty() &&
            EqualNoCase(l_x_Device.m_x_PortName, i_x_PortName)) {
            l_ax_Ids.push_back(l_x_Device.m_x_InstanceId);
        }
    }
    return l_ax_Ids;
}

int DevTree_SetSerialComm(const std::string& i_x_Name, const std::string& i_x_PortName) {
    HKEY l_h_Key = OpenSerialComm(KEY_SET_VALUE);
    if (l_h_Key == nullptr) {
        return DEVTREE_FAILED;
    }
    const LONG l_l_Status = RegSetValueExA(l_h_Key, i_x_Name.c_str(), 0, REG_SZ,
                                           reinterpret_cast<const BYTE*>(i_x_PortName.c_str()),
                                           static_cast<DWORD>(i_x_PortName.size() + 1));
    RegCloseKey(l_h_Key);
    if (l_l_Status != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(l_l_Status));
        return DEVTREE_FAILED;
    }
    return DEVTREE_OK;
}

int DevTree_DeleteSerialComm(const std::string& i_x_Name) {
    HKEY l_h_Key = OpenSerialComm(KEY_SET_VALUE);
    if (l_h_Key == nullptr) {
        return DEVTREE_FAILED;
    }
    const LONG l_l_Status = RegDeleteValueA(l_h_Key, i_x_Name.c_str());
    RegCloseKey(l_h_Key);
    return l_l_Status == ERROR_SUCCESS ? DEVTREE_OK : DEVTREE_NOT_FOUND;
}

std::vector<std::string> DevTree_ListSerialComm() {
    std::vector<std::string> l_ax_Lines;
    HKEY l_h_Key = OpenSerialComm(KEY_READ);
    if (l_h_Key == nullptr) {
        return l_ax_Lines;
    }
    for (DWORD l_ul_Index = 0;; ++l_ul_Index) {
        char l_ac_Name[1024];
        DWORD l_ul_NameLength = sizeof(l_ac_Name);
        char l_ac_Data[1024] = {0};
        DWORD l_ul_DataSize = sizeof(l_ac_Data) - 1;
        const LONG l_l_Status =
            RegEnumValueA(l_h_Key, l_ul_Index, l_ac_Name, &l_ul_NameLength, nullptr, nullptr,
                          reinterpret_cast<BYTE*>(l_ac_Data), &l_ul_DataSize);
        if (l_l_Status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (l_l_Status == ERROR_SUCCESS) {
            l_ax_Lines.push_back(std::string(l_ac_Name) + "=" + l_ac_Data);
        }
    }
    RegCloseKey(l_h_Key);
    return l_ax_Lines;
}

namespace {

// An installed service's windows are not on the desktop of the programs a user starts: wine
// starts services on a window station of their own (as Windows keeps them in session 0), where
// the system itself would deliver their device notifications. Standing in for the system, the
// tool looks there too: the calling thread moves to that desktop when the window is found on
// it (the thread must own no window, which this tool's never do).
HWND FindOnServicesDesktop(const std::string& i_x_ClassName) {
    HWINSTA l_h_Station = OpenWindowStationA("__wineservice_winstation", FALSE, WINSTA_ALL_ACCESS);
    if (l_h_Station == nullptr) {
        return nullptr;
    }
    HWINSTA l_h_Own = GetProcessWindowStation();
    // Put back (after the window station, or wine refuses it) when the window is not there: the
    // next look must search our own desktop again.
    HDESK l_h_OwnDesktop = GetThreadDesktop(GetCurrentThreadId());
    HWND l_h_Window = nullptr;
    if (SetProcessWindowStation(l_h_Station)) {
        HDESK l_h_Desktop = OpenDesktopA("Default", 0, FALSE, GENERIC_ALL);
        if (l_h_Desktop != nullptr && SetThreadDesktop(l_h_Desktop)) {
            l_h_Window = FindWindowA(i_x_ClassName.c_str(), nullptr);
        }
        if (l_h_Window == nullptr) {
            SetProcessWindowStation(l_h_Own);
            SetThreadDesktop(l_h_OwnDesktop);
            if (l_h_Desktop != nullptr) {
                CloseDesktop(l_h_Desktop);
            }
        }
    }
    if (l_h_Window == nullptr) {
        CloseWindowStation(l_h_Station);
    }
    return l_h_Window;
}

} // namespace

HWND DevTree_FindWindow(const std::string& i_x_ClassName, DWORD i_ul_WaitMs) {
    const ULONGLONG l_ull_Deadline = GetTickCount64() + i_ul_WaitMs;
    for (;;) {
        HWND l_h_Window = FindWindowA(i_x_ClassName.c_str(), nullptr);
        if (l_h_Window == nullptr) {
            l_h_Window = FindOnServicesDesktop(i_x_ClassName);
        }
        if (l_h_Window != nullptr || GetTickCount64() >= l_ull_Deadline) {
            return l_h_Window;
        }
        Sleep(20);
    }
}

int DevTree_SendPortEvent(HWND i_h_Window, bool i_b_Arrival, const std::string& i_x_PortName,
                          DWORD i_ul_SendTimeoutMs) {
    const size_t l_ul_Size = offsetof(DEV_BROADCAST_PORT_A, dbcp_name) + i_x_PortName.size() + 1;
    std::vector<unsigned char> l_auc_Buffer(
        l_ul_Size < sizeof(DEV_BROADCAST_PORT_A) ? sizeof(DEV_BROADCAST_PORT_A) : l_ul_Size, 0);
    DEV_BROADCAST_PORT_A* l_px_Port = reinterpret_cast<DEV_BROADCAST_PORT_A*>(l_auc_Buffer.data());
    l_px_Port->dbcp_size = static_cast<DWORD>(l_ul_Size);
    l_px_Port->dbcp_devicetype = DBT_DEVTYP_PORT;
    l_px_Port->dbcp_reserved = 0;
    memcpy(l_px_Port->dbcp_name, i_x_PortName.c_str(), i_x_PortName.size() + 1);
    return SendDeviceChange(i_h_Window, i_b_Arrival, l_px_Port, i_ul_SendTimeoutMs);
}

int DevTree_SendInterfaceEvent(HWND i_h_Window, bool i_b_Arrival, const std::string& i_x_Path,
                               DWORD i_ul_SendTimeoutMs) {
    const size_t l_ul_Size =
        offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + i_x_Path.size() + 1;
    std::vector<unsigned char> l_auc_Buffer(l_ul_Size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_A)
                                                ? sizeof(DEV_BROADCAST_DEVICEINTERFACE_A)
                                                : l_ul_Size,
                                            0);
    DEV_BROADCAST_DEVICEINTERFACE_A* l_px_Interface =
        reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(l_auc_Buffer.data());
    l_px_Interface->dbcc_size = static_cast<DWORD>(l_ul_Size);
    l_px_Interface->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    l_px_Interface->dbcc_reserved = 0;
    l_px_Interface->dbcc_classguid = g_x_GuidDevInterfaceUsbDevice;
    memcpy(l_px_Interface->dbcc_name, i_x_Path.c_str(), i_x_Path.size() + 1);
    return SendDeviceChange(i_h_Window, i_b_Arrival, l_px_Interface, i_ul_SendTimeoutMs);
}

int DevTree_SendPowerEvent(HWND i_h_Window, WPARAM i_x_Event, LPARAM i_x_Data,
                           DWORD i_ul_SendTimeoutMs) {
    DWORD_PTR l_x_Result = 0;
    if (!SendMessageTimeoutA(i_h_Window, WM_POWERBROADCAST, i_x_Event, i_x_Data, SMTO_NORMAL,
                             i_ul_SendTimeoutMs, &l_x_Result)) {
        return DEVTREE_FAILED;
    }
    return DEVTREE_OK;
}

int DevTree_SetNamedEvent(const std::string& i_x_Name, std::string* o_px_Error) {
    HANDLE l_h_Event = OpenEventA(EVENT_MODIFY_STATE, FALSE, i_x_Name.c_str());
    if (l_h_Event == nullptr) {
        const DWORD l_ul_Error = GetLastError();
        SetError(o_px_Error, SystemErrorText("OpenEvent", l_ul_Error));
        return l_ul_Error == ERROR_FILE_NOT_FOUND ? DEVTREE_NOT_FOUND : DEVTREE_FAILED;
    }
    const BOOL l_b_Set = SetEvent(l_h_Event);
    const DWORD l_ul_Error = GetLastError();
    CloseHandle(l_h_Event);
    if (!l_b_Set) {
        SetError(o_px_Error, SystemErrorText("SetEvent", l_ul_Error));
        return DEVTREE_FAILED;
    }
    return DEVTREE_OK;
}
