// Client library: the calls an application makes to the service.
#ifndef TULVO_IPC_CLIENT_TULVOCLI_H
#define TULVO_IPC_CLIENT_TULVOCLI_H

#include "ipc/protocol/TulvoStatus.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// One SERVERINFOS exchange on a short public conversation. For info type 0 the service's
// version comes back as an owned NUL-terminated text in o_ppuc_Data (free it with
// TulvoCli_FreeBuffer).
int32_t TulvoCli_GetServerInfos(uint32_t i_ul_InfoType, uint32_t i_ul_Value, uint8_t** o_ppuc_Data,
                                uint32_t* o_pul_DataLen);

// Frees a buffer handed out by the library and clears the caller's pointer; accepts NULL.
int32_t TulvoCli_FreeBuffer(uint8_t** io_ppuc_Buffer);

#ifdef __cplusplus
}
#endif

#endif
