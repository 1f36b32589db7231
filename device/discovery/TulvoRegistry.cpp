#include "device/discovery/TulvoRegistry.h"

#include "service/TraceLog.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// Name and data buffers of one registry value in the dump; longer ones are left out.
constexpr DWORD g_ul_DumpNameSize = 1024;
constexpr DWORD g_ul_DumpDataSize = 1024;

// A block for data of the given size and the zeros that end it.
unsigned char* AllocateReadBuffer(DWORD i_ul_DataSize) {
    return static_cast<unsigned char*>(
        malloc(static_cast<size_t>(i_ul_DataSize) + TULVOREG_BUFFER_SLACK));
}

// What a block of that size can take of the data, leaving room for the zeros.
DWORD DataRoom(const unsigned char* i_puc_Buffer, DWORD i_ul_BlockSize) {
    return i_puc_Buffer != nullptr && i_ul_BlockSize > TULVOREG_BUFFER_SLACK
               ? i_ul_BlockSize - TULVOREG_BUFFER_SLACK
               : 0;
}

// Zero bytes right after the data; the caller has made sure they fit the block.
void TerminateReadData(unsigned char* io_puc_Buffer, DWORD i_ul_DataSize) {
    if (io_puc_Buffer != nullptr) {
        memset(io_puc_Buffer + i_ul_DataSize, 0, TULVOREG_BUFFER_SLACK);
    }
}

// The loop both SetupAPI reads share: read into what the block can take besides the zeros,
// grow while the call asks for more, read again. A call that asks for no more than it had
// would loop forever, so that ends as a failure.
template <typename TRead>
bool ReadWithGrowingBuffer(TRead i_x_Read, unsigned char** io_ppuc_Buffer, DWORD* io_pul_Size,
                           const char* i_pc_MallocCaption, const char* i_pc_ReadCaption) {
    DWORD l_ul_Room = DataRoom(*io_ppuc_Buffer, *io_pul_Size);
    DWORD l_ul_Needed = 0;
    BOOL l_b_Ok = i_x_Read(l_ul_Room > 0 ? *io_ppuc_Buffer : nullptr, l_ul_Room, &l_ul_Needed);
    while (!l_b_Ok && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        if (l_ul_Needed <= l_ul_Room) {
            break;
        }
        free(*io_ppuc_Buffer);
        *io_ppuc_Buffer = AllocateReadBuffer(l_ul_Needed);
        if (*io_ppuc_Buffer == nullptr) {
            *io_pul_Size = 0;
            TraceLog_SysError(i_pc_MallocCaption);
            return false;
        }
        *io_pul_Size = l_ul_Needed + TULVOREG_BUFFER_SLACK;
        l_ul_Room = l_ul_Needed;
        l_ul_Needed = 0;
        l_b_Ok = i_x_Read(*io_ppuc_Buffer, l_ul_Room, &l_ul_Needed);
    }
    if (!l_b_Ok) {
        if (GetLastError() != ERROR_INVALID_DATA) {
            TraceLog_SysError(i_pc_ReadCaption);
        }
        return false;
    }
    // Text properties end with their zero, but a value written without one must not run
    // past the data.
    if (l_ul_Room > 0) {
        TerminateReadData(*io_ppuc_Buffer, l_ul_Needed < l_ul_Room ? l_ul_Needed : l_ul_Room);
    }
    return true;
}

// Replaces the dump text by a new allocation holding the old text and one formatted line.
// On an allocation failure the old text stays and the dump stops.
bool AppendLine(char** io_ppc_Text, DWORD* io_pul_Size, const char* i_pc_Format, ...) {
    va_list l_x_Args;
    va_start(l_x_Args, i_pc_Format);
    const int l_i_LineLength = vsnprintf(nullptr, 0, i_pc_Format, l_x_Args);
    va_end(l_x_Args);
    if (l_i_LineLength < 0) {
        return false;
    }
    const size_t l_ul_OldLength = *io_ppc_Text != nullptr ? strlen(*io_ppc_Text) : 0;
    const size_t l_ul_NewSize = l_ul_OldLength + static_cast<size_t>(l_i_LineLength) + 1;
    char* l_pc_New = static_cast<char*>(malloc(l_ul_NewSize));
    if (l_pc_New == nullptr) {
        return false;
    }
    if (l_ul_OldLength > 0) {
        memcpy(l_pc_New, *io_ppc_Text, l_ul_OldLength);
    }
    va_start(l_x_Args, i_pc_Format);
    vsnprintf(l_pc_New + l_ul_OldLength, static_cast<size_t>(l_i_LineLength) + 1, i_pc_Format,
              l_x_Args);
    va_end(l_x_Args);
    free(*io_ppc_Text);
    *io_ppc_Text = l_pc_New;
    *io_pul_Size = static_cast<DWORD>(l_ul_NewSize);
    return true;
}

const char* RootKeyName(HKEY i_h_Root) {
    if (i_h_Root == HKEY_CLASSES_ROOT) {
        return "HKEY_CLASSES_ROOT";
    }
    if (i_h_Root == HKEY_CURRENT_USER) {
        return "HKEY_CURRENT_USER";
    }
    if (i_h_Root == HKEY_LOCAL_MACHINE) {
        return "HKEY_LOCAL_MACHINE";
    }
    if (i_h_Root == HKEY_USERS) {
        return "HKEY_USERS";
    }
    if (i_h_Root == HKEY_CURRENT_CONFIG) {
        return "HKEY_CURRENT_CONFIG";
    }
    return "Unknown Key";
}

bool DumpValues(HKEY i_h_Key, char** io_ppc_Text, DWORD* io_pul_Size) {
    DWORD l_ul_Values = 0;
    if (RegQueryInfoKeyA(i_h_Key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         &l_ul_Values, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        return true;
    }
    char l_ac_Name[g_ul_DumpNameSize];
    unsigned char l_auc_Data[g_ul_DumpDataSize + TULVOREG_BUFFER_SLACK];
    for (DWORD l_ul_Index = 0; l_ul_Index < l_ul_Values; ++l_ul_Index) {
        DWORD l_ul_NameLength = g_ul_DumpNameSize;
        DWORD l_ul_DataSize = g_ul_DumpDataSize;
        DWORD l_ul_Type = 0;
        if (RegEnumValueA(i_h_Key, l_ul_Index, l_ac_Name, &l_ul_NameLength, nullptr, &l_ul_Type,
                          l_auc_Data, &l_ul_DataSize) != ERROR_SUCCESS) {
            continue;
        }
        bool l_b_Appended;
        if (l_ul_Type == REG_SZ || l_ul_Type == REG_EXPAND_SZ || l_ul_Type == REG_MULTI_SZ) {
            TerminateReadData(l_auc_Data, l_ul_DataSize);
            l_b_Appended = AppendLine(io_ppc_Text, io_pul_Size, "\"%s\"=%s\n", l_ac_Name,
                                      reinterpret_cast<const char*>(l_auc_Data));
        } else {
            l_b_Appended = AppendLine(io_ppc_Text, io_pul_Size, "\"%s\"=bin\n", l_ac_Name);
        }
        if (!l_b_Appended) {
            return false;
        }
    }
    return true;
}

// Registry status of opening the key; ERROR_NOT_ENOUGH_MEMORY when the dump had to stop.
LONG DumpKey(HKEY i_h_Root, const char* i_pc_Path, char** io_ppc_Text, DWORD* io_pul_Size) {
    if (!AppendLine(io_ppc_Text, io_pul_Size, "[%s\\%s]\n", RootKeyName(i_h_Root), i_pc_Path)) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    HKEY l_h_Key = nullptr;
    const LONG l_l_Status = RegOpenKeyExA(i_h_Root, i_pc_Path, 0, KEY_READ, &l_h_Key);
    if (l_l_Status != ERROR_SUCCESS) {
        return l_l_Status;
    }
    DWORD l_ul_SubKeys = 0;
    DWORD l_ul_Values = 0;
    if (RegQueryInfoKeyA(l_h_Key, nullptr, nullptr, nullptr, &l_ul_SubKeys, nullptr, nullptr,
                         &l_ul_Values, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        l_ul_SubKeys = 0;
        l_ul_Values = 0;
    }
    bool l_b_Going = true;
    if (l_ul_Values > 0) {
        HKEY l_h_ValueKey = nullptr;
        if (RegOpenKeyExA(i_h_Root, i_pc_Path, 0, KEY_READ, &l_h_ValueKey) == ERROR_SUCCESS) {
            l_b_Going = DumpValues(l_h_ValueKey, io_ppc_Text, io_pul_Size);
            RegCloseKey(l_h_ValueKey);
        }
    }
    for (DWORD l_ul_Index = 0; l_b_Going && l_ul_Index < l_ul_SubKeys; ++l_ul_Index) {
        char l_ac_Name[g_ul_DumpNameSize];
        DWORD l_ul_NameLength = g_ul_DumpNameSize;
        if (RegEnumKeyExA(l_h_Key, l_ul_Index, l_ac_Name, &l_ul_NameLength, nullptr, nullptr,
                          nullptr, nullptr) != ERROR_SUCCESS) {
            continue;
        }
        const size_t l_ul_PathSize = strlen(i_pc_Path) + 1 + strlen(l_ac_Name) + 1;
        char* l_pc_SubPath = static_cast<char*>(malloc(l_ul_PathSize));
        if (l_pc_SubPath == nullptr) {
            break;
        }
        snprintf(l_pc_SubPath, l_ul_PathSize, "%s\\%s", i_pc_Path, l_ac_Name);
        l_b_Going =
            DumpKey(i_h_Root, l_pc_SubPath, io_ppc_Text, io_pul_Size) != ERROR_NOT_ENOUGH_MEMORY;
        free(l_pc_SubPath);
    }
    RegCloseKey(l_h_Key);
    return l_b_Going ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
}

} // namespace

bool MyRegQueryValueEx(HKEY i_h_Key, const char* i_pc_ValueName, unsigned char** io_ppuc_Buffer,
                       DWORD* io_pul_Size) {
    DWORD l_ul_ValueSize = 0;
    LONG l_l_Status =
        RegQueryValueExA(i_h_Key, i_pc_ValueName, nullptr, nullptr, nullptr, &l_ul_ValueSize);
    if (l_l_Status != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(l_l_Status));
        return false;
    }
    DWORD l_ul_Room = DataRoom(*io_ppuc_Buffer, *io_pul_Size);
    if (l_ul_Room < l_ul_ValueSize) {
        free(*io_ppuc_Buffer);
        *io_ppuc_Buffer = AllocateReadBuffer(l_ul_ValueSize);
        if (*io_ppuc_Buffer == nullptr) {
            *io_pul_Size = 0;
            TraceLog_SysError("MyRegQueryValueEx: malloc: *PropertyBuffer");
            return false;
        }
        l_ul_Room = l_ul_ValueSize;
    }
    DWORD l_ul_Read = l_ul_Room;
    l_l_Status = RegQueryValueExA(i_h_Key, i_pc_ValueName, nullptr, nullptr,
                                  l_ul_Room > 0 ? *io_ppuc_Buffer : nullptr, &l_ul_Read);
    if (l_l_Status == ERROR_SUCCESS && l_ul_Read > l_ul_Room) {
        l_l_Status = ERROR_MORE_DATA; // grew between the two calls
    }
    if (l_l_Status != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(l_l_Status));
        return false;
    }
    *io_pul_Size = l_ul_Read;
    if (l_ul_Room > 0) {
        TerminateReadData(*io_ppuc_Buffer, l_ul_Read);
    }
    return true;
}

bool MySetupDiGetDeviceRegistryProperty(HDEVINFO i_h_DevInfo, SP_DEVINFO_DATA* i_px_DevInfoData,
                                        DWORD i_ul_Property, unsigned char** io_ppuc_Buffer,
                                        DWORD* io_pul_Size) {
    return ReadWithGrowingBuffer(
        [&](unsigned char* i_puc_Buffer, DWORD i_ul_Size, DWORD* o_pul_Needed) {
            return SetupDiGetDeviceRegistryPropertyA(i_h_DevInfo, i_px_DevInfoData, i_ul_Property,
                                                     nullptr, i_puc_Buffer, i_ul_Size,
                                                     o_pul_Needed);
        },
        io_ppuc_Buffer, io_pul_Size, "MySetupDiGetDeviceRegistryProperty: malloc: *PropertyBuffer",
        "MySetupDiGetDeviceRegistryProperty: SetupDiGetDeviceRegistryProperty");
}

bool MySetupDiGetDeviceInstanceId(HDEVINFO i_h_DevInfo, SP_DEVINFO_DATA* i_px_DevInfoData,
                                  unsigned char** io_ppuc_Buffer, DWORD* io_pul_Size) {
    return ReadWithGrowingBuffer(
        [&](unsigned char* i_puc_Buffer, DWORD i_ul_Size, DWORD* o_pul_Needed) {
            return SetupDiGetDeviceInstanceIdA(i_h_DevInfo, i_px_DevInfoData,
                                               reinterpret_cast<PSTR>(i_puc_Buffer), i_ul_Size,
                                               o_pul_Needed);
        },
        io_ppuc_Buffer, io_pul_Size,
        "MySetupDiGetDeviceInstanceId: malloc: *o_ppx_DeviceInstanceId",
        "MySetupDiGetDeviceInstanceId: SetupDiGetDeviceRegistryProperty");
}

void RegistryDump(HKEY i_h_Root, const char* i_pc_Path) {
    char* l_pc_Text = nullptr;
    DWORD l_ul_Size = 0;
    if (!AppendLine(&l_pc_Text, &l_ul_Size, "%s", "Registry dump :\n")) {
        return;
    }
    DumpKey(i_h_Root, i_pc_Path != nullptr ? i_pc_Path : "", &l_pc_Text, &l_ul_Size);
    TraceLog_Printf("%s", l_pc_Text);
    free(l_pc_Text);
}

LONG RegistryDumpKey(HKEY i_h_Root, const char* i_pc_Path, char** io_ppc_Text, DWORD* io_pul_Size) {
    return DumpKey(i_h_Root, i_pc_Path != nullptr ? i_pc_Path : "", io_ppc_Text, io_pul_Size);
}

void RegistryDumpValues(HKEY i_h_Key, char** io_ppc_Text, DWORD* io_pul_Size) {
    DumpValues(i_h_Key, io_ppc_Text, io_pul_Size);
}
