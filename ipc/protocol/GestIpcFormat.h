// Byte layouts of the client protocol: the requests clients send on the public channel
// ("VEK_TulvoServer") and on their private channels, and the responses the service sends back.
// Every multi-byte integer is big-endian; statuses are signed 32-bit. The service validates
// requests here and the client library builds them here, so both ends share one definition.
// Buffers handed out are malloc'ed; release them with GestIpc_FreeBuffer.
#ifndef TULVO_IPC_PROTOCOL_GESTIPCFORMAT_H
#define TULVO_IPC_PROTOCOL_GESTIPCFORMAT_H

#include <stdint.h>

// Request head: class, 0x00, command code.
#define REQUEST_CLASS_COMMAND 0x01
#define REQUEST_CLASS_PRIVATECONNECT 0x00
#define REQUEST_HEAD_SIZE 3
#define COMMANDE_OFFSET_COMMANDE 2

// Command codes (byte 2 of every request).
#define BYTE2_CREATEPRIVATECHANNEL 0x07
#define BYTE2_ENUMDEVICES 0x08
#define BYTE2_SERVERINFOS 0x09
#define BYTE2_LINKPRIVATECONX 0x10
#define BYTE2_LOCKPIPE 0x11
#define BYTE2_UNLOCKPIPE 0x12
#define BYTE2_SENDBUFFER 0x13
#define BYTE2_RECVBUFFER 0x14
#define BYTE2_WAITFORREBOOT 0x15
#define BYTE2_DESTROYCONX 0x16

// Pipe indices of LINKPRIVATECONX (byte 3): a device has pipes 0, 1 and 2. The device
// manager takes these names from here.
#define TULVOSERV_NORMALPIPE 0
#define TULVOSERV_REALTIMELOGPIPE 2

// Response head: the request's 3 head bytes, then the status.
#define RESPONSE_OFFSET_STATUS 3
#define RESPONSE_HEAD_SIZE 7
// Data response (SERVERINFOS, RECVBUFFER): head, data length, data.
#define DATARESPONSE_OFFSET_LENGTH 7
#define DATARESPONSE_OFFSET_DATA 11
// Device list response (ENUMDEVICES): head, one count byte, the entries.
#define ENUMDEVICES_OFFSET_COUNT 7
#define ENUMDEVICES_OFFSET_DEVICES 8

// Public requests.
#define PRIVATECONNECT_REQUEST_SIZE 15
#define ENUMDEVICES_REQUEST_SIZE 3
#define SERVERINFOS_REQUEST_SIZE 15
#define SERVERINFOS_OFFSET_INFOTYPE 7
#define SERVERINFOS_OFFSET_VALUE 11
#define SERVERINFOS_TYPE_VERSION 0
#define SERVERINFOS_TYPE_LOG 1
// Who holds which pipe lock: the data is the pipe-lock list of PipeLocks.h.
#define SERVERINFOS_TYPE_PIPELOCKS 2
// Which processes hold private channels: a 4-byte count N, then N 4-byte process ids, one per
// channel in use (a process holds at most 32).
#define SERVERINFOS_TYPE_CHANNELS 3
#define SERVERINFOS_LOG_OFF 0
#define SERVERINFOS_LOG_ON 1
#define SERVERINFOS_LOG_DELETE_MARKER 2
#define SERVERINFOS_LOG_CREATE_MARKER 3

// Private requests. The time-out of LOCKPIPE, SENDBUFFER, RECVBUFFER and WAITFORREBOOT sits
// right after the head.
#define REQUEST_OFFSET_TIMEOUT 3
#define LINKPRIVATECONX_OFFSET_PIPE 3
#define LINKPRIVATECONX_OFFSET_KEY 4
#define LINKPRIVATECONX_MIN_SIZE 5
#define DEVICE_KEY_MAX_LENGTH 99
#define LOCKPIPE_REQUEST_SIZE 7
#define UNLOCKPIPE_REQUEST_SIZE 3
#define RECVBUFFER_REQUEST_SIZE 7
#define SENDBUFFER_OFFSET_CMD_LENBUFFER 7
#define SENDBUFFER_OFFSET_FRAME 11
#define WAITFORREBOOT_OFFSET_REBOOTWAIT 7
#define WAITFORREBOOT_OFFSET_LENBUFFER 11
#define WAITFORREBOOT_OFFSET_FRAME 15
#define DESTROYCONX_REQUEST_SIZE 23

#ifdef __cplusplus
extern "C" {
#endif

uint32_t GestIpc_GetU32(const uint8_t* i_puc_Bytes);
void GestIpc_PutU32(uint8_t* o_puc_Bytes, uint32_t i_ul_Value);

void GestIpc_FreeBuffer(void* i_pv_Buffer);

// Names of the commands in the servers' trace lines ("PUBLIC_IPC_UNKNOWN" and
// "PRIVATE_IPC_UNKNOWN" for codes of the other channel or of no command).
const char* GestIpcPublic_CommandName(uint32_t i_ul_Command);
const char* GestIpcPrivate_CommandName(uint32_t i_ul_Command);

// ---- Service side: responses ----

// Allocates a response of i_ul_Size bytes (at least 7), copies the request's head into it
// (a head shorter than 3 bytes is completed with zeros), writes the status and zeroes the rest.
// TULVO_NO_MEMORY with no response ("GestIpc_AllocResponse Malloc Err\n" logged).
int32_t GestIpc_AllocResponse(const uint8_t* i_puc_Request, uint32_t i_ul_RequestLength,
                              uint8_t** o_ppuc_Response, uint32_t* o_pul_ResponseLength,
                              uint32_t i_ul_Size, int32_t i_i_Status);
int32_t GestIpc_AllocStatusResponse(const uint8_t* i_puc_Request, uint32_t i_ul_RequestLength,
                                    uint8_t** o_ppuc_Response, uint32_t* o_pul_ResponseLength,
                                    int32_t i_i_Status);
// Data response: head with the status, data length, data (SERVERINFOS, RECVBUFFER).
int32_t GestIpc_AllocDataResponse(const uint8_t* i_puc_Request, uint32_t i_ul_RequestLength,
                                  uint8_t** o_ppuc_Response, uint32_t* o_pul_ResponseLength,
                                  int32_t i_i_Status, const uint8_t* i_puc_Data,
                                  uint32_t i_ul_DataLength);

// ---- Service side: request validation ----

// Public channel, first match wins: 15 bytes 00 00 07.. is CREATEPRIVATECHANNEL; exactly
// 01 00 08 is ENUMDEVICES; 01 00 09 and at least 15 bytes is SERVERINFOS; anything else is
// TULVO_BAD_IPC_FORMAT. Silent: the public server logs its own lines.
int32_t GestIpcPublic_GetCommande(const uint8_t* i_puc_Request, uint32_t i_ul_Length,
                                  uint32_t* o_pul_Command);
// 0 when the request is ENUMDEVICES / SERVERINFOS, else TULVO_BAD_IPC_FORMAT (an absent or
// empty request is logged).
int32_t GestIpcPublic_IsEnumDeviceRequest(const uint8_t* i_puc_Request, uint32_t i_ul_Length);
int32_t GestIpcPublic_IsServerInfos(const uint8_t* i_puc_Request, uint32_t i_ul_Length);
// The info type and value of a request that GestIpcPublic_IsServerInfos accepted.
int32_t GestIpcPublic_ReadServerInfos(const uint8_t* i_puc_Request, uint32_t i_ul_Length,
                                      uint32_t* o_pul_InfoType, uint32_t* o_pul_Value);

// Private channel: 0 and the command code (0x10 to 0x16) when the head is valid, else
// TULVO_BAD_IPC_FORMAT with the service's log lines.
int32_t GestIpcPrivate_GetCommande(const uint8_t* i_puc_Request, uint32_t i_ul_Length,
                                   uint32_t* o_pul_Command);

// The fields of one private request; pointers point into the request.
typedef struct GestIpc_PrivateRequest {
    uint32_t m_ul_Command;
    uint32_t m_ul_PipeIndex;       // LINKPRIVATECONX
    const char* m_pc_DeviceKey;    // LINKPRIVATECONX: NUL-terminated within the request
    uint32_t m_ul_DeviceKeyLength; // without its NUL, at most DEVICE_KEY_MAX_LENGTH
    uint32_t m_ul_TimeOut;         // LOCKPIPE, RECVBUFFER, SENDBUFFER, WAITFORREBOOT (write)
    uint32_t m_ul_RebootWait;      // WAITFORREBOOT
    uint32_t m_ul_FrameLength;     // SENDBUFFER, WAITFORREBOOT
    const uint8_t* m_puc_Frame;    // SENDBUFFER, WAITFORREBOOT; NULL when the length is 0
} GestIpc_PrivateRequest;

// Silent field extraction: TULVO_BAD_IPC_FORMAT for a bad head, a request shorter than its
// command's fixed part, a frame length running past the end, or a device key without its NUL
// or longer than DEVICE_KEY_MAX_LENGTH characters. Bytes after the fields are ignored.
int32_t GestIpcPrivate_ReadRequest(const uint8_t* i_puc_Request, uint32_t i_ul_Length,
                                   GestIpc_PrivateRequest* o_px_Request);

// ---- Client side: requests ----
// Each allocates the whole request: 0, TULVO_NO_MEMORY, or TULVO_BAD_PARAMETER for arguments
// that cannot be sent (a device key above 99 characters, a frame without bytes, a request
// whose size does not fit in 32 bits).
int32_t GestIpc_BuildEnumDevicesRequest(uint8_t** o_ppuc_Request, uint32_t* o_pul_Length);
int32_t GestIpc_BuildServerInfosRequest(uint32_t i_ul_InfoType, uint32_t i_ul_Value,
                                        uint8_t** o_ppuc_Request, uint32_t* o_pul_Length);
int32_t GestIpc_BuildLinkRequest(uint32_t i_ul_PipeIndex, const char* i_pc_DeviceKey,
                                 uint8_t** o_ppuc_Request, uint32_t* o_pul_Length);
int32_t GestIpc_BuildLockPipeRequest(uint32_t i_ul_TimeOut, uint8_t** o_ppuc_Request,
                                     uint32_t* o_pul_Length);
int32_t GestIpc_BuildUnlockPipeRequest(uint8_t** o_ppuc_Request, uint32_t* o_pul_Length);
int32_t GestIpc_BuildSendBufferRequest(uint32_t i_ul_TimeOut, const uint8_t* i_puc_Frame,
                                       uint32_t i_ul_FrameLength, uint8_t** o_ppuc_Request,
                                       uint32_t* o_pul_Length);
int32_t GestIpc_BuildRecvBufferRequest(uint32_t i_ul_TimeOut, uint8_t** o_ppuc_Request,
                                       uint32_t* o_pul_Length);
int32_t GestIpc_BuildWaitForRebootRequest(uint32_t i_ul_WriteTimeOut, uint32_t i_ul_RebootWait,
                                          const uint8_t* i_puc_Frame, uint32_t i_ul_FrameLength,
                                          uint8_t** o_ppuc_Request, uint32_t* o_pul_Length);
int32_t GestIpc_BuildDestroyConxRequest(uint8_t** o_ppuc_Request, uint32_t* o_pul_Length);

// ---- Client side: responses ----

// The echoed command code and the status; TULVO_BAD_IPC_FORMAT for a response shorter than
// its head.
int32_t GestIpc_ReadResponseHead(const uint8_t* i_puc_Response, uint32_t i_ul_Length,
                                 uint32_t* o_pul_Command, int32_t* o_pi_Status);
// The data of a data response (pointing into it); TULVO_BAD_IPC_FORMAT when the response is
// shorter than 11 bytes or announces more data than it carries.
int32_t GestIpc_ReadResponseData(const uint8_t* i_puc_Response, uint32_t i_ul_Length,
                                 const uint8_t** o_ppuc_Data, uint32_t* o_pul_DataLength);

#ifdef __cplusplus
}
#endif

#endif
