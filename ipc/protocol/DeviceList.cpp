#include "ipc/protocol/DeviceList.h"

#include "ipc/protocol/GestIpcFormat.h"
#include "ipc/protocol/TulvoStatus.h"
#include "service/TraceLog.h"

#include <stdlib.h>
#include <string.h>

namespace {

const char* TextOrEmpty(const unsigned char* i_puc_Text) {
    return i_puc_Text != nullptr ? reinterpret_cast<const char*>(i_puc_Text) : "";
}

// The four texts of a record in the order they travel.
const char* FieldText(const TulvoEnum_DeviceProperties& i_x_Record, int i_i_Field) {
    switch (i_i_Field) {
    case 0:
        return TextOrEmpty(i_x_Record.m_puc_InstanceId);
    case 1:
        return TextOrEmpty(i_x_Record.m_puc_SerialNumber);
    case 2:
        return TextOrEmpty(i_x_Record.m_puc_FriendlyName);
    default:
        return TextOrEmpty(i_x_Record.m_puc_DevicePath);
    }
}

unsigned char** FieldSlot(TulvoEnum_DeviceProperties& io_x_Record, int i_i_Field) {
    switch (i_i_Field) {
    case 0:
        return &io_x_Record.m_puc_InstanceId;
    case 1:
        return &io_x_Record.m_puc_SerialNumber;
    case 2:
        return &io_x_Record.m_puc_FriendlyName;
    default:
        return &io_x_Record.m_puc_DevicePath;
    }
}

const int FIELD_COUNT = 4;

void FreeRecord(TulvoEnum_DeviceProperties& io_x_Record) {
    for (int l_i_Field = 0; l_i_Field < FIELD_COUNT; ++l_i_Field) {
        unsigned char** l_ppuc_Slot = FieldSlot(io_x_Record, l_i_Field);
        free(*l_ppuc_Slot);
        *l_ppuc_Slot = nullptr;
    }
}

} // namespace

int32_t GestIpcPublic_BuildEnumDeviceResponse(const TulvoEnum_DeviceProperties* i_px_List,
                                              uint32_t i_ul_Count, const uint8_t* i_puc_Request,
                                              uint32_t i_ul_RequestLength,
                                              uint8_t** o_ppuc_Response,
                                              uint32_t* o_pul_ResponseLength) {
    *o_ppuc_Response = nullptr;
    *o_pul_ResponseLength = 0;
    if (i_ul_Count > 0xFF || (i_ul_Count > 0 && i_px_List == nullptr)) {
        return TULVO_BAD_PARAMETER;
    }
    // Each text is bounded by the memory holding it; 255 devices of four texts each keep the
    // sum well inside 64 bits, and a size past 32 bits is refused.
    uint64_t l_ull_Size = ENUMDEVICES_OFFSET_DEVICES;
    for (uint32_t l_ul_Device = 0; l_ul_Device < i_ul_Count; ++l_ul_Device) {
        for (int l_i_Field = 0; l_i_Field < FIELD_COUNT; ++l_i_Field) {
            l_ull_Size += strlen(FieldText(i_px_List[l_ul_Device], l_i_Field)) + 1;
        }
    }
    if (l_ull_Size > 0xFFFFFFFFu) {
        return TULVO_BAD_PARAMETER;
    }
    const int32_t l_i_Status =
        GestIpc_AllocResponse(i_puc_Request, i_ul_RequestLength, o_ppuc_Response,
                              o_pul_ResponseLength, static_cast<uint32_t>(l_ull_Size), TULVO_OK);
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    uint8_t* l_puc_Out = *o_ppuc_Response;
    l_puc_Out[ENUMDEVICES_OFFSET_COUNT] = static_cast<uint8_t>(i_ul_Count);
    size_t l_st_Position = ENUMDEVICES_OFFSET_DEVICES;
    for (uint32_t l_ul_Device = 0; l_ul_Device < i_ul_Count; ++l_ul_Device) {
        for (int l_i_Field = 0; l_i_Field < FIELD_COUNT; ++l_i_Field) {
            const char* l_pc_Text = FieldText(i_px_List[l_ul_Device], l_i_Field);
            const size_t l_st_Length = strlen(l_pc_Text) + 1;
            memcpy(l_puc_Out + l_st_Position, l_pc_Text, l_st_Length);
            l_st_Position += l_st_Length;
        }
    }
    return TULVO_OK;
}

int32_t GestIpc_CopyTextFromList(unsigned char** o_ppuc_Text, const uint8_t* i_puc_List,
                                 uint32_t i_ul_ListLength, uint32_t* io_pul_Position) {
    *o_ppuc_Text = nullptr;
    const uint32_t l_ul_Position = *io_pul_Position;
    if (i_puc_List == nullptr || l_ul_Position >= i_ul_ListLength) {
        return TULVO_BAD_IPC_FORMAT;
    }
    const void* l_pv_Nul =
        memchr(i_puc_List + l_ul_Position, '\0', i_ul_ListLength - l_ul_Position);
    if (l_pv_Nul == nullptr) {
        return TULVO_BAD_IPC_FORMAT;
    }
    const size_t l_st_Size =
        static_cast<size_t>(static_cast<const uint8_t*>(l_pv_Nul) - (i_puc_List + l_ul_Position)) +
        1;
    unsigned char* l_puc_Text = static_cast<unsigned char*>(malloc(l_st_Size));
    if (l_puc_Text == nullptr) {
        TraceLog_SysError("TulvoCli_CopyAPropertyFromBuffer: malloc");
        return TULVO_NO_MEMORY;
    }
    memcpy(l_puc_Text, i_puc_List + l_ul_Position, l_st_Size);
    *o_ppuc_Text = l_puc_Text;
    *io_pul_Position = l_ul_Position + static_cast<uint32_t>(l_st_Size);
    return TULVO_OK;
}

int32_t GestIpc_DecodeDeviceList(const uint8_t* i_puc_List, uint32_t i_ul_ListLength,
                                 TulvoEnum_DeviceProperties** o_ppx_List, uint32_t* o_pul_Count) {
    *o_ppx_List = nullptr;
    *o_pul_Count = 0;
    if (i_puc_List == nullptr || i_ul_ListLength == 0) {
        return TULVO_BAD_IPC_FORMAT;
    }
    const uint32_t l_ul_Count = i_puc_List[0];
    if (l_ul_Count == 0) {
        return TULVO_OK;
    }
    // Every entry takes at least its four NULs; a count the list cannot hold is refused
    // before anything is allocated for it.
    if (static_cast<uint64_t>(l_ul_Count) * FIELD_COUNT > i_ul_ListLength - 1) {
        return TULVO_BAD_IPC_FORMAT;
    }
    TulvoEnum_DeviceProperties* l_px_List = static_cast<TulvoEnum_DeviceProperties*>(
        calloc(l_ul_Count, sizeof(TulvoEnum_DeviceProperties)));
    if (l_px_List == nullptr) {
        TraceLog_Printf("TulvoCli_EnumDevices : malloc Error\n");
        return TULVO_NO_MEMORY;
    }
    uint32_t l_ul_Position = 1;
    for (uint32_t l_ul_Device = 0; l_ul_Device < l_ul_Count; ++l_ul_Device) {
        for (int l_i_Field = 0; l_i_Field < FIELD_COUNT; ++l_i_Field) {
            const int32_t l_i_Status =
                GestIpc_CopyTextFromList(FieldSlot(l_px_List[l_ul_Device], l_i_Field), i_puc_List,
                                         i_ul_ListLength, &l_ul_Position);
            if (l_i_Status != TULVO_OK) {
                GestIpc_FreeDeviceList(&l_px_List, l_ul_Device + 1);
                return l_i_Status;
            }
        }
    }
    *o_ppx_List = l_px_List;
    *o_pul_Count = l_ul_Count;
    return TULVO_OK;
}

void GestIpc_FreeDeviceList(TulvoEnum_DeviceProperties** io_ppx_List, uint32_t i_ul_Count) {
    if (io_ppx_List == nullptr || *io_ppx_List == nullptr) {
        return;
    }
    for (uint32_t l_ul_Device = 0; l_ul_Device < i_ul_Count; ++l_ul_Device) {
        FreeRecord((*io_ppx_List)[l_ul_Device]);
    }
    free(*io_ppx_List);
    *io_ppx_List = nullptr;
}
