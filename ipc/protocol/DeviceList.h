// The device list of ENUMDEVICES: the service writes it from the device properties records of
// the attached devices, the client library reads it back into records of its own.
#ifndef TULVO_IPC_PROTOCOL_DEVICELIST_H
#define TULVO_IPC_PROTOCOL_DEVICELIST_H

// The record type is the discovery module's; only its layout is used here, so the protocol
// library does not link the discovery code.
#include "device/discovery/TulvoDeviceProperties.h"

#include <stdint.h>

// The device list holds at most this many devices; the response's count is one byte.
#define TULVO_MAX_DEVICES 100

#ifdef __cplusplus
extern "C" {
#endif

// Builds the ENUMDEVICES response: head with status 0, the count byte, then for each device the
// four texts with their NULs. A missing text travels as an empty one. 0, TULVO_NO_MEMORY, or
// TULVO_BAD_PARAMETER for a count that does not fit the count byte or a count without list.
int32_t GestIpcPublic_BuildEnumDeviceResponse(const TulvoEnum_DeviceProperties* i_px_List,
                                              uint32_t i_ul_Count, const uint8_t* i_puc_Request,
                                              uint32_t i_ul_RequestLength,
                                              uint8_t** o_ppuc_Response,
                                              uint32_t* o_pul_ResponseLength);

// Copies the NUL-terminated text at *io_pul_Position of the list into a new allocation and
// moves the position past its NUL. TULVO_BAD_IPC_FORMAT when no NUL comes before the end of
// the list (nothing is read past it); TULVO_NO_MEMORY (logged) when the copy cannot be made.
int32_t GestIpc_CopyTextFromList(unsigned char** o_ppuc_Text, const uint8_t* i_puc_List,
                                 uint32_t i_ul_ListLength, uint32_t* io_pul_Position);

// Decodes a device list as the client receives it (response bytes 7 to the end: the count
// byte, then the entries) into an array of records. On any failure the output is an empty list
// (no array, count 0) and nothing is leaked: TULVO_BAD_IPC_FORMAT when the texts or the count
// run past the end of the list, TULVO_NO_MEMORY when memory runs out (logged). Bytes after the
// last entry are ignored. Release the result with GestIpc_FreeDeviceList.
int32_t GestIpc_DecodeDeviceList(const uint8_t* i_puc_List, uint32_t i_ul_ListLength,
                                 TulvoEnum_DeviceProperties** o_ppx_List, uint32_t* o_pul_Count);

// Frees the four texts of the first i_ul_Count records and the array, and clears the reference.
void GestIpc_FreeDeviceList(TulvoEnum_DeviceProperties** io_ppx_List, uint32_t i_ul_Count);

#ifdef __cplusplus
}
#endif

#endif
