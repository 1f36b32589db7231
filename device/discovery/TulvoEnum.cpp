#include "device/discovery/TulvoEnum.h"

#include "ipc/protocol/TulvoStatus.h"
#include "service/AsciiText.h"
#include "service/TraceLog.h"

#include <atomic>
#include <stdlib.h>
#include <string.h>

namespace {

// GUID_DEVCLASS_USB, spelled out so that no translation unit has to instantiate devguid.h.
const GUID g_x_GuidDevClassUsb = {
    0x36fc9e60, 0xc465, 0x11cf, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

std::atomic<TulvoEnum_PfGetParent> g_pf_GetParentSeam{nullptr};

bool IsValidSet(HDEVINFO i_h_DevInfo) {
    return i_h_DevInfo != nullptr && i_h_DevInfo != INVALID_HANDLE_VALUE;
}

int IsAnsiLeadByte(unsigned char i_uc_Byte) {
    return IsDBCSLeadByte(i_uc_Byte) ? 1 : 0;
}

const char* AsText(const unsigned char* i_puc_Text) {
    return reinterpret_cast<const char*>(i_puc_Text);
}

void RewriteFriendlyName(HDEVINFO i_h_DevInfo, SP_DEVINFO_DATA* i_px_DevInfoData, int i_i_Row,
                         const char* i_pc_FriendlyName) {
    char l_ac_NewName[TULVOENUM_FRIENDLYNAME_SIZE];
    const TulvoEnum_RewriteChoice l_e_Choice =
        TulvoEnum_BuildFriendlyName(i_i_Row, i_pc_FriendlyName, IsAnsiLeadByte, l_ac_NewName);
    if (l_e_Choice == TULVOENUM_REWRITE_TOO_LONG) {
        TraceLog_Printf("TulvoEnum_FoundNextVek name too long, not updated : %s\n",
                        i_pc_FriendlyName);
        return;
    }
    if (l_e_Choice != TULVOENUM_REWRITE_DONE) {
        return;
    }
    TraceLog_Printf("TulvoEnum_FoundNextVek will update to %s\n", l_ac_NewName);
    if (!SetupDiSetDeviceRegistryPropertyA(i_h_DevInfo, i_px_DevInfoData, SPDRP_FRIENDLYNAME,
                                           reinterpret_cast<const BYTE*>(l_ac_NewName),
                                           static_cast<DWORD>(strlen(l_ac_NewName) + 1))) {
        TraceLog_Printf("SetupDiSetDeviceRegistryProperty failed withh err %d\n",
                        static_cast<int>(GetLastError()));
    }
}

// The test of one element. On success the port buffer holds its port name, upper-cased.
bool IsSupportedElement(HDEVINFO i_h_DevInfo, SP_DEVINFO_DATA* i_px_DevInfoData,
                        unsigned char** io_ppuc_Service, DWORD* io_pul_ServiceSize,
                        unsigned char** io_ppuc_PortName, DWORD* io_pul_PortNameSize) {
    if (!MySetupDiGetDeviceRegistryProperty(i_h_DevInfo, i_px_DevInfoData, SPDRP_SERVICE,
                                            io_ppuc_Service, io_pul_ServiceSize) ||
        !TulvoEnum_IsAcceptedService(AsText(*io_ppuc_Service))) {
        return false;
    }

    unsigned char* l_puc_HardwareIds = nullptr;
    DWORD l_ul_HardwareIdsSize = 0;
    if (!MySetupDiGetDeviceRegistryProperty(i_h_DevInfo, i_px_DevInfoData, SPDRP_HARDWAREID,
                                            &l_puc_HardwareIds, &l_ul_HardwareIdsSize) ||
        l_puc_HardwareIds == nullptr || l_puc_HardwareIds[0] == '\0') {
        free(l_puc_HardwareIds);
        return false;
    }
    // Only the first identifier of the list counts: the text up to its first zero.
    const int l_i_Row = IsSupportedDevice_VID_PID(AsText(l_puc_HardwareIds));
    if (l_i_Row < 0) {
        free(l_puc_HardwareIds);
        return false;
    }

    unsigned char* l_puc_FriendlyName = nullptr;
    DWORD l_ul_FriendlyNameSize = 0;
    if (MySetupDiGetDeviceRegistryProperty(i_h_DevInfo, i_px_DevInfoData, SPDRP_FRIENDLYNAME,
                                           &l_puc_FriendlyName, &l_ul_FriendlyNameSize) &&
        l_puc_FriendlyName != nullptr) {
        TraceLog_Printf("TulvoEnum_FoundNextVek deviceFriendlyName :  %s\n",
                        AsText(l_puc_FriendlyName));
        RewriteFriendlyName(i_h_DevInfo, i_px_DevInfoData, l_i_Row, AsText(l_puc_FriendlyName));
    }
    free(l_puc_FriendlyName);
    free(l_puc_HardwareIds);

    HKEY l_h_Key = SetupDiOpenDevRegKey(i_h_DevInfo, i_px_DevInfoData, DICS_FLAG_GLOBAL, 0,
                                        DIREG_DEV, KEY_READ);
    if (l_h_Key == INVALID_HANDLE_VALUE) {
        return false;
    }
    free(*io_ppuc_PortName);
    *io_ppuc_PortName = nullptr;
    *io_pul_PortNameSize = 0;
    const bool l_b_Read =
        MyRegQueryValueEx(l_h_Key, "PortName", io_ppuc_PortName, io_pul_PortNameSize);
    RegCloseKey(l_h_Key);
    if (!l_b_Read) {
        return false;
    }
    if (*io_ppuc_PortName == nullptr) {
        TraceLog_Printf("TulvoEnum_FoundNextVek Error MyRegQueryValueEx No PortName\n");
        return false;
    }
    TulvoEnum_UpperCase(reinterpret_cast<char*>(*io_ppuc_PortName), *io_pul_PortNameSize);
    return true;
}

bool IsParentElement(HDEVINFO i_h_DevInfo, SP_DEVINFO_DATA* i_px_DevInfoData, DEVINST i_x_Parent,
                     const char* i_pc_ParentId) {
    if (i_px_DevInfoData->DevInst == i_x_Parent) {
        return true;
    }
    // Wine hands out device instance handles per device information set, so the parent's
    // handle never equals one of a fresh set there; its identifier names the same device
    // node on every system.
    if (i_pc_ParentId == nullptr) {
        return false;
    }
    char l_ac_Id[MAX_DEVICE_ID_LEN + 1];
    if (!SetupDiGetDeviceInstanceIdA(i_h_DevInfo, i_px_DevInfoData, l_ac_Id, sizeof(l_ac_Id),
                                     nullptr)) {
        return false;
    }
    return Tulvo_AsciiEqualNoCase(l_ac_Id, i_pc_ParentId) != 0;
}

TulvoEnum_PfGetParent ResolveGetParent() {
    TulvoEnum_PfGetParent l_pf_Seam = g_pf_GetParentSeam.load();
    if (l_pf_Seam != nullptr) {
        return l_pf_Seam;
    }
    HMODULE l_h_SetupApi = GetModuleHandleA("SetupApi.dll");
    if (l_h_SetupApi == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<TulvoEnum_PfGetParent>(
        reinterpret_cast<void (*)()>(GetProcAddress(l_h_SetupApi, "CM_Get_Parent")));
}

} // namespace

void TulvoEnum_SetGetParentSeam(TulvoEnum_PfGetParent i_pf_GetParent) {
    g_pf_GetParentSeam.store(i_pf_GetParent);
}

int TulvoEnum_FoundNextVek(HDEVINFO i_h_DevInfo, SP_DEVINFO_DATA* o_px_DevInfoData,
                           DWORD* io_pul_MemberIndex, unsigned char** io_ppuc_PortName,
                           DWORD* io_pul_PortNameSize) {
    if (!IsValidSet(i_h_DevInfo) || o_px_DevInfoData == nullptr || io_pul_MemberIndex == nullptr ||
        io_ppuc_PortName == nullptr || io_pul_PortNameSize == nullptr) {
        return 0;
    }
    unsigned char* l_puc_Service = nullptr;
    DWORD l_ul_ServiceSize = 0;
    o_px_DevInfoData->cbSize = sizeof(*o_px_DevInfoData);
    BOOL l_b_Element = SetupDiEnumDeviceInfo(i_h_DevInfo, *io_pul_MemberIndex, o_px_DevInfoData);
    while (l_b_Element) {
        if (IsSupportedElement(i_h_DevInfo, o_px_DevInfoData, &l_puc_Service, &l_ul_ServiceSize,
                               io_ppuc_PortName, io_pul_PortNameSize)) {
            free(l_puc_Service);
            ++*io_pul_MemberIndex;
            return 1;
        }
        ++*io_pul_MemberIndex;
        o_px_DevInfoData->cbSize = sizeof(*o_px_DevInfoData);
        l_b_Element = SetupDiEnumDeviceInfo(i_h_DevInfo, *io_pul_MemberIndex, o_px_DevInfoData);
    }
    free(l_puc_Service);
    return 0;
}

bool TulvoEnum_IsVekPort(char* io_pc_PortName, DWORD i_ul_Flags) {
    if (io_pc_PortName == nullptr) {
        return false;
    }
    TulvoEnum_UpperCase(io_pc_PortName, strlen(io_pc_PortName) + 1);
    HDEVINFO l_h_DevInfo =
        SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | i_ul_Flags);
    if (l_h_DevInfo == INVALID_HANDLE_VALUE) {
        return false;
    }
    SP_DEVINFO_DATA l_x_DevInfoData;
    DWORD l_ul_Index = 0;
    unsigned char* l_puc_PortName = nullptr;
    DWORD l_ul_PortNameSize = 0;
    bool l_b_Found = false;
    while (!l_b_Found && TulvoEnum_FoundNextVek(l_h_DevInfo, &l_x_DevInfoData, &l_ul_Index,
                                                &l_puc_PortName, &l_ul_PortNameSize) != 0) {
        l_b_Found = strcmp(AsText(l_puc_PortName), io_pc_PortName) == 0;
    }
    free(l_puc_PortName);
    SetupDiDestroyDeviceInfoList(l_h_DevInfo);
    return l_b_Found;
}

int TulvoEnum_GetPropertiesByPort(char* io_pc_PortName,
                                  TulvoEnum_DeviceProperties* o_px_Properties) {
    if (io_pc_PortName == nullptr || o_px_Properties == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    TulvoEnum_UpperCase(io_pc_PortName, strlen(io_pc_PortName) + 1);
    HDEVINFO l_h_DevInfo =
        SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (l_h_DevInfo == INVALID_HANDLE_VALUE) {
        return TULVO_DEVICE_NOT_PRESENT;
    }
    SP_DEVINFO_DATA l_x_DevInfoData;
    DWORD l_ul_Index = 0;
    unsigned char* l_puc_PortName = nullptr;
    DWORD l_ul_PortNameSize = 0;
    int l_i_Status = TULVO_DEVICE_NOT_PRESENT;
    while (TulvoEnum_FoundNextVek(l_h_DevInfo, &l_x_DevInfoData, &l_ul_Index, &l_puc_PortName,
                                  &l_ul_PortNameSize) != 0) {
        if (strcmp(AsText(l_puc_PortName), io_pc_PortName) == 0) {
            l_i_Status =
                TulvoEnum_FillDeviceProperties(l_h_DevInfo, &l_x_DevInfoData, o_px_Properties);
            break;
        }
    }
    free(l_puc_PortName);
    SetupDiDestroyDeviceInfoList(l_h_DevInfo);
    return l_i_Status;
}

int TulvoEnum_FillDeviceProperties(HDEVINFO i_h_DevInfo, SP_DEVINFO_DATA* i_px_DevInfoData,
                                   TulvoEnum_DeviceProperties* o_px_Properties) {
    if (!IsValidSet(i_h_DevInfo) || i_px_DevInfoData == nullptr) {
        return TULVO_PORT_NOT_OPEN;
    }
    if (o_px_Properties == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    memset(o_px_Properties, 0, sizeof(*o_px_Properties));
    DWORD l_ul_Size = 0;
    if (!MySetupDiGetDeviceInstanceId(i_h_DevInfo, i_px_DevInfoData,
                                      &o_px_Properties->m_puc_InstanceId, &l_ul_Size)) {
        return TULVO_SYSTEM_ERROR;
    }
    const int l_i_Status = TulvoEnum_GetSerialNumber(
        i_px_DevInfoData, o_px_Properties->m_puc_InstanceId, &o_px_Properties->m_puc_SerialNumber);
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    if (!TulvoEnum_GetPortName(i_h_DevInfo, i_px_DevInfoData, &o_px_Properties->m_puc_DevicePath)) {
        return TULVO_SYSTEM_ERROR;
    }
    l_ul_Size = 0;
    if (!MySetupDiGetDeviceRegistryProperty(i_h_DevInfo, i_px_DevInfoData, SPDRP_DEVICEDESC,
                                            &o_px_Properties->m_puc_FriendlyName, &l_ul_Size)) {
        return TULVO_SYSTEM_ERROR;
    }
    return TULVO_OK;
}

int TulvoEnum_GetSerialNumber(SP_DEVINFO_DATA* i_px_DevInfoData,
                              const unsigned char* i_puc_InstanceId,
                              unsigned char** o_ppuc_SerialNumber) {
    unsigned char* l_puc_Enumerator = nullptr;
    int l_i_Status = TulvoEnum_CopyCompositeEnumerator(i_puc_InstanceId, &l_puc_Enumerator);
    if (l_i_Status == 1) {
        return GetSerialNumber_(i_puc_InstanceId, o_ppuc_SerialNumber);
    }
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    unsigned char* l_puc_ParentId = nullptr;
    l_i_Status =
        TulvoEnum_GetParentInstanceId(i_px_DevInfoData, AsText(l_puc_Enumerator), &l_puc_ParentId);
    if (l_i_Status == TULVO_OK) {
        l_i_Status = GetSerialNumber_(l_puc_ParentId, o_ppuc_SerialNumber);
    }
    free(l_puc_ParentId);
    free(l_puc_Enumerator);
    return l_i_Status;
}

int TulvoEnum_GetParentInstanceId(SP_DEVINFO_DATA* i_px_DevInfoData, const char* i_pc_Enumerator,
                                  unsigned char** o_ppuc_ParentInstanceId) {
    if (i_px_DevInfoData == nullptr || o_ppuc_ParentInstanceId == nullptr) {
        return TULVO_SYSTEM_ERROR;
    }
    const TulvoEnum_PfGetParent l_pf_GetParent = ResolveGetParent();
    if (l_pf_GetParent == nullptr) {
        TraceLog_SysError("TulvoEnum_GetParentInstanceId: GetProcAddress CM_Get_Parent");
        return TULVO_SYSTEM_ERROR;
    }
    DEVINST l_x_Parent = 0;
    const CONFIGRET l_x_Result = l_pf_GetParent(&l_x_Parent, i_px_DevInfoData->DevInst, 0);
    if (l_x_Result != CR_SUCCESS) {
        // Without a parent handle there is nothing to compare with: the parent is not found.
        return TULVO_DEVICE_NOT_FOUND;
    }
    char l_ac_ParentId[MAX_DEVICE_ID_LEN + 1];
    const bool l_b_HaveParentId =
        CM_Get_Device_IDA(l_x_Parent, l_ac_ParentId, sizeof(l_ac_ParentId), 0) == CR_SUCCESS;

    HDEVINFO l_h_DevInfo = SetupDiGetClassDevsA(&g_x_GuidDevClassUsb, i_pc_Enumerator, nullptr,
                                                DIGCF_PRESENT | DIGCF_PROFILE);
    if (l_h_DevInfo == INVALID_HANDLE_VALUE) {
        TraceLog_SysError("Tulvo_EnumDevices: SetupDiGetClassDevs");
        return TULVO_SYSTEM_ERROR;
    }
    *o_ppuc_ParentInstanceId = nullptr;
    int l_i_Status = TULVO_OK;
    for (DWORD l_ul_Index = 0;; ++l_ul_Index) {
        SP_DEVINFO_DATA l_x_Element;
        l_x_Element.cbSize = sizeof(l_x_Element);
        if (!SetupDiEnumDeviceInfo(l_h_DevInfo, l_ul_Index, &l_x_Element)) {
            l_i_Status =
                GetLastError() == ERROR_NO_MORE_ITEMS ? TULVO_DEVICE_NOT_FOUND : TULVO_SYSTEM_ERROR;
            break;
        }
        if (IsParentElement(l_h_DevInfo, &l_x_Element, l_x_Parent,
                            l_b_HaveParentId ? l_ac_ParentId : nullptr)) {
            DWORD l_ul_Size = 0;
            l_i_Status = MySetupDiGetDeviceInstanceId(l_h_DevInfo, &l_x_Element,
                                                      o_ppuc_ParentInstanceId, &l_ul_Size)
                             ? TULVO_OK
                             : TULVO_SYSTEM_ERROR;
            break;
        }
    }
    SetupDiDestroyDeviceInfoList(l_h_DevInfo);
    return l_i_Status;
}

bool TulvoEnum_GetPortName(HDEVINFO i_h_DevInfo, SP_DEVINFO_DATA* i_px_DevInfoData,
                           unsigned char** io_ppuc_PortName) {
    HKEY l_h_Key = SetupDiOpenDevRegKey(i_h_DevInfo, i_px_DevInfoData, DICS_FLAG_GLOBAL, 0,
                                        DIREG_DEV, KEY_READ);
    if (l_h_Key == INVALID_HANDLE_VALUE) {
        TraceLog_SysError("TulvoEnum_GetPortName Error SetupDiOpenDevRegKey");
        return false;
    }
    unsigned char* l_puc_Value = nullptr;
    DWORD l_ul_Size = 0;
    bool l_b_Read = MyRegQueryValueEx(l_h_Key, "PortName", &l_puc_Value, &l_ul_Size);
    if (l_b_Read) {
        free(*io_ppuc_PortName);
        // Zero-filled: the copy is terminated even when the value was stored without its zero.
        *io_ppuc_PortName =
            static_cast<unsigned char*>(calloc(1, static_cast<size_t>(l_ul_Size) + 5));
        if (*io_ppuc_PortName == nullptr) {
            TraceLog_SysError("GetPortName: malloc: *o_ppx_DeviceInstanceId");
            l_b_Read = false;
        } else if (l_puc_Value != nullptr) {
            memcpy(*io_ppuc_PortName, l_puc_Value, l_ul_Size);
        }
    } else {
        TraceLog_SysError("TulvoEnum_GetPortName: MyRegQueryValueEx");
    }
    free(l_puc_Value);
    RegCloseKey(l_h_Key);
    return l_b_Read;
}
