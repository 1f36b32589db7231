// The client's decoding of an ENUMDEVICES list on hostile service bytes. An accepted list must
// encode back to exactly the bytes it was read from.
#include "ipc/protocol/DeviceList.h"
#include "ipc/protocol/GestIpcFormat.h"
#include "ipc/protocol/TulvoStatus.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* i_puc_Data, size_t i_st_Size) {
    if (i_st_Size > 0xFFFFFFu) {
        return 0;
    }
    TulvoEnum_DeviceProperties* l_px_List = nullptr;
    uint32_t l_ul_Count = 0;
    const int32_t l_i_Status =
        GestIpc_DecodeDeviceList(i_st_Size > 0 ? i_puc_Data : nullptr,
                                 static_cast<uint32_t>(i_st_Size), &l_px_List, &l_ul_Count);
    if (l_i_Status != TULVO_OK) {
        if (l_i_Status != TULVO_BAD_IPC_FORMAT || l_px_List != nullptr || l_ul_Count != 0) {
            abort();
        }
        return 0;
    }
    if (l_ul_Count != i_puc_Data[0] || (l_ul_Count > 0) != (l_px_List != nullptr)) {
        abort();
    }
    const uint8_t l_auc_Request[] = {REQUEST_CLASS_COMMAND, 0x00, BYTE2_ENUMDEVICES};
    uint8_t* l_puc_Response = nullptr;
    uint32_t l_ul_Length = 0;
    if (GestIpcPublic_BuildEnumDeviceResponse(l_px_List, l_ul_Count, l_auc_Request, 3,
                                              &l_puc_Response, &l_ul_Length) != TULVO_OK) {
        abort();
    }
    const uint32_t l_ul_ListLength = l_ul_Length - ENUMDEVICES_OFFSET_COUNT;
    // Bytes after the last entry are ignored on reading, so the rebuilt list is a prefix.
    if (l_ul_ListLength > i_st_Size ||
        memcmp(l_puc_Response + ENUMDEVICES_OFFSET_COUNT, i_puc_Data, l_ul_ListLength) != 0) {
        abort();
    }
    GestIpc_FreeBuffer(l_puc_Response);
    GestIpc_FreeDeviceList(&l_px_List, l_ul_Count);
    return 0;
}
