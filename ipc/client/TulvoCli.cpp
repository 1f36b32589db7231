#include "ipc/client/TulvoCli.h"

#include <stdlib.h>

// The client end of the transport comes with the client library; until then no client can
// reach a service, so the exchange answers exactly as it does when none runs.
int32_t TulvoCli_GetServerInfos(uint32_t i_ul_InfoType, uint32_t i_ul_Value, uint8_t** o_ppuc_Data,
                                uint32_t* o_pul_DataLen) {
    (void)i_ul_InfoType;
    (void)i_ul_Value;
    if (o_ppuc_Data != nullptr) {
        *o_ppuc_Data = nullptr;
    }
    if (o_pul_DataLen != nullptr) {
        *o_pul_DataLen = 0;
    }
    return TULVO_TS_SERVER_NOT_RUNNING;
}

int32_t TulvoCli_FreeBuffer(uint8_t** io_ppuc_Buffer) {
    if (io_ppuc_Buffer != nullptr) {
        free(*io_ppuc_Buffer);
        *io_ppuc_Buffer = nullptr;
    }
    return 0;
}
