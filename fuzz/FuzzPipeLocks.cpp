// tulvo_cli's decoding of a pipe-lock list (SERVERINFOS info type 2) on hostile service bytes.
// An accepted list must encode back to exactly the bytes it was read from.
#include "ipc/protocol/GestIpcFormat.h"
#include "ipc/protocol/PipeLocks.h"
#include "ipc/protocol/TulvoStatus.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* i_puc_Data, size_t i_st_Size) {
    if (i_st_Size > 0xFFFFFFu) {
        return 0;
    }
    GestIpc_PipeLock* l_px_Locks = nullptr;
    uint32_t l_ul_Count = 0;
    const int32_t l_i_Status =
        GestIpc_DecodePipeLocks(i_st_Size > 0 ? i_puc_Data : nullptr,
                                static_cast<uint32_t>(i_st_Size), &l_px_Locks, &l_ul_Count);
    if (l_i_Status != TULVO_OK) {
        if (l_i_Status != TULVO_BAD_IPC_FORMAT || l_px_Locks != nullptr || l_ul_Count != 0) {
            abort();
        }
        return 0;
    }
    if ((l_ul_Count > 0) != (l_px_Locks != nullptr)) {
        abort();
    }
    uint8_t* l_puc_Data = nullptr;
    uint32_t l_ul_Length = 0;
    if (GestIpc_BuildPipeLocks(l_px_Locks, l_ul_Count, &l_puc_Data, &l_ul_Length) != TULVO_OK) {
        abort();
    }
    // Bytes after the last record are ignored on reading, so the rebuilt list is a prefix.
    if (l_ul_Length > i_st_Size || memcmp(l_puc_Data, i_puc_Data, l_ul_Length) != 0) {
        abort();
    }
    GestIpc_FreeBuffer(l_puc_Data);
    GestIpc_FreeBuffer(l_px_Locks);
    return 0;
}
