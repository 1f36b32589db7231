// Request validation and field extraction of both channels on hostile client bytes, and the
// client's readers of a response: every field handed out must lie inside the message.
#include "ipc/protocol/GestIpcFormat.h"
#include "ipc/protocol/TulvoStatus.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

bool Inside(const uint8_t* i_puc_Start, uint32_t i_ul_Length, const void* i_pv_Part,
            uint32_t i_ul_PartLength) {
    const uint8_t* l_puc_Part = static_cast<const uint8_t*>(i_pv_Part);
    return l_puc_Part >= i_puc_Start && l_puc_Part <= i_puc_Start + i_ul_Length &&
           i_ul_PartLength <= static_cast<uint32_t>(i_puc_Start + i_ul_Length - l_puc_Part);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* i_puc_Data, size_t i_st_Size) {
    if (i_st_Size > 0xFFFFFFu) {
        return 0;
    }
    const uint8_t* l_puc_Request = i_st_Size > 0 ? i_puc_Data : nullptr;
    const uint32_t l_ul_Length = static_cast<uint32_t>(i_st_Size);

    uint32_t l_ul_Command = 0;
    if (GestIpcPublic_GetCommande(l_puc_Request, l_ul_Length, &l_ul_Command) == TULVO_OK) {
        const bool l_b_Enum = GestIpcPublic_IsEnumDeviceRequest(l_puc_Request, l_ul_Length) == 0;
        const bool l_b_Infos = GestIpcPublic_IsServerInfos(l_puc_Request, l_ul_Length) == 0;
        if ((l_ul_Command == BYTE2_ENUMDEVICES) != l_b_Enum ||
            (l_ul_Command == BYTE2_SERVERINFOS) != l_b_Infos) {
            abort();
        }
        uint32_t l_ul_Type = 0, l_ul_Value = 0;
        if (l_b_Infos &&
            GestIpcPublic_ReadServerInfos(l_puc_Request, l_ul_Length, &l_ul_Type, &l_ul_Value)) {
            abort();
        }
    }

    GestIpc_PrivateRequest l_x_Fields;
    const int32_t l_i_Head = GestIpcPrivate_GetCommande(l_puc_Request, l_ul_Length, &l_ul_Command);
    const int32_t l_i_Read = GestIpcPrivate_ReadRequest(l_puc_Request, l_ul_Length, &l_x_Fields);
    if (l_i_Read == TULVO_OK) {
        if (l_i_Head != TULVO_OK || l_x_Fields.m_ul_Command != l_ul_Command) {
            abort();
        }
        if (l_x_Fields.m_puc_Frame != nullptr &&
            !Inside(l_puc_Request, l_ul_Length, l_x_Fields.m_puc_Frame,
                    l_x_Fields.m_ul_FrameLength)) {
            abort();
        }
        if (l_x_Fields.m_pc_DeviceKey != nullptr &&
            (!Inside(l_puc_Request, l_ul_Length, l_x_Fields.m_pc_DeviceKey,
                     l_x_Fields.m_ul_DeviceKeyLength + 1) ||
             strlen(l_x_Fields.m_pc_DeviceKey) != l_x_Fields.m_ul_DeviceKeyLength ||
             l_x_Fields.m_ul_DeviceKeyLength > DEVICE_KEY_MAX_LENGTH)) {
            abort();
        }
        // The service answers with the frame it read, as RECVBUFFER does.
        uint8_t* l_puc_Response = nullptr;
        uint32_t l_ul_ResponseLength = 0;
        if (GestIpc_AllocDataResponse(l_puc_Request, l_ul_Length, &l_puc_Response,
                                      &l_ul_ResponseLength, TULVO_OK, l_x_Fields.m_puc_Frame,
                                      l_x_Fields.m_ul_FrameLength) != TULVO_OK) {
            abort();
        }
        const uint8_t* l_puc_Data = nullptr;
        uint32_t l_ul_DataLength = 0;
        if (GestIpc_ReadResponseData(l_puc_Response, l_ul_ResponseLength, &l_puc_Data,
                                     &l_ul_DataLength) != TULVO_OK ||
            l_ul_DataLength != l_x_Fields.m_ul_FrameLength ||
            (l_ul_DataLength > 0 && memcmp(l_puc_Data, l_x_Fields.m_puc_Frame, l_ul_DataLength))) {
            abort();
        }
        GestIpc_FreeBuffer(l_puc_Response);
    } else if (l_i_Read != TULVO_BAD_IPC_FORMAT) {
        abort();
    }

    uint8_t* l_puc_Status = nullptr;
    uint32_t l_ul_StatusLength = 0;
    if (GestIpc_AllocStatusResponse(l_puc_Request, l_ul_Length, &l_puc_Status, &l_ul_StatusLength,
                                    TULVO_BAD_IPC_FORMAT) != TULVO_OK ||
        l_ul_StatusLength != RESPONSE_HEAD_SIZE) {
        abort();
    }
    GestIpc_FreeBuffer(l_puc_Status);

    // The same bytes as a response the client received.
    int32_t l_i_Status = 0;
    GestIpc_ReadResponseHead(l_puc_Request, l_ul_Length, &l_ul_Command, &l_i_Status);
    const uint8_t* l_puc_Data = nullptr;
    uint32_t l_ul_DataLength = 0;
    if (GestIpc_ReadResponseData(l_puc_Request, l_ul_Length, &l_puc_Data, &l_ul_DataLength) ==
            TULVO_OK &&
        !Inside(l_puc_Request, l_ul_Length, l_puc_Data, l_ul_DataLength)) {
        abort();
    }
    return 0;
}
