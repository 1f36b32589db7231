// One request of a receive loop, the same on the public and the private channels: its length,
// its body (read by the handler), the handling, and the response when the handler made one.
//
// The length comes from another process. It is held against what the channel can carry before
// anything is allocated, the body's buffer grows only with what has arrived, and the whole
// body must arrive within its deadline: a client that announces much and sends little holds
// neither memory nor its thread for long.
#include "ipc/protocol/GestIpcFormat.h"
#include "ipc/protocol/TulvoStatus.h"
#include "ipc/server/GestIpcServer.h"
#include "service/TraceLog.h"

int32_t GestIpcServer_ReadRequest(ToolShare_Channel* io_px_Channel, HANDLE i_h_Cancel,
                                  uint32_t i_ul_Length, uint8_t** o_ppuc_Request) {
    const uint32_t l_ul_Deadline =
        GESTIPC_TRANSFER_TIMEOUT_MS + i_ul_Length / GESTIPC_REQUEST_BYTES_PER_MS;
    return ToolShare_ReadDataAlloc(io_px_Channel, i_ul_Length, o_ppuc_Request, i_h_Cancel,
                                   GESTIPC_TRANSFER_TIMEOUT_MS, l_ul_Deadline);
}

int32_t GestIpcServer_ServeOneRequest(ToolShare_Channel* io_px_Channel, HANDLE i_h_Cancel,
                                      const char* i_pc_Loop, uint32_t i_ul_MaxLength,
                                      GestIpcServer_Handler i_pf_Handle, void* i_pv_Context) {
    uint32_t l_ul_Length = 0;
    int32_t l_i_Status = ToolShare_ReadLenData(io_px_Channel, &l_ul_Length, i_h_Cancel,
                                               GESTIPC_TRANSFER_TIMEOUT_MS, i_ul_MaxLength);
    if (l_i_Status != TULVO_OK) {
        TraceLog_Printf("%s : ToolShare_ReadLenData() Error : %d\n", i_pc_Loop,
                        static_cast<int>(l_i_Status));
        return l_i_Status;
    }
    uint8_t* l_puc_Response = nullptr;
    uint32_t l_ul_ResponseLength = 0;
    l_i_Status = i_pf_Handle(i_pv_Context, l_ul_Length, &l_puc_Response, &l_ul_ResponseLength);
    // A handler that fails makes no response; one that answers has the write's status. Without
    // a cancel event: the response to DESTROYCONX goes out after it was set.
    if (l_puc_Response != nullptr && l_ul_ResponseLength != 0) {
        l_i_Status =
            ToolShare_WriteLenDataAndData(io_px_Channel, l_puc_Response, l_ul_ResponseLength,
                                          nullptr, GESTIPC_TRANSFER_TIMEOUT_MS, true);
        // A client whose wait ended before this answer was ready has written its next
        // request: the answer would erase it and be read as the answer to it.
        if (l_i_Status == TOOLSHARE_PEER_WROTE_FIRST) {
            TraceLog_Printf("%s : response 0x%02X dropped: the next request came first\n",
                            i_pc_Loop,
                            l_ul_ResponseLength > COMMANDE_OFFSET_COMMANDE
                                ? static_cast<unsigned>(l_puc_Response[COMMANDE_OFFSET_COMMANDE])
                                : 0u);
            l_i_Status = TULVO_OK;
        }
    }
    GestIpc_FreeBuffer(l_puc_Response);
    return l_i_Status;
}
