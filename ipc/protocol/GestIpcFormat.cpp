#include "ipc/protocol/GestIpcFormat.h"

#include "ipc/protocol/TulvoStatus.h"
#include "service/TraceLog.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

namespace {

// The wire layouts as records of bytes: no padding can creep in, and the offsets the code
// uses are checked against them at build time.
struct RequestHead {
    uint8_t m_uc_Class;
    uint8_t m_uc_Zero;
    uint8_t m_uc_Command;
};
struct ResponseHead {
    RequestHead m_x_Echo;
    uint8_t m_auc_Status[4];
};
struct DataResponse {
    ResponseHead m_x_Head;
    uint8_t m_auc_DataLength[4];
};
struct EnumDevicesResponse {
    ResponseHead m_x_Head;
    uint8_t m_uc_Count;
};
struct ServerInfosRequest {
    RequestHead m_x_Head;
    uint8_t m_auc_Unused[4];
    uint8_t m_auc_InfoType[4];
    uint8_t m_auc_Value[4];
};
struct LinkRequest {
    RequestHead m_x_Head;
    uint8_t m_uc_PipeIndex;
    char m_ac_DeviceKey[1]; // at least the NUL
};
struct TimeOutRequest { // LOCKPIPE, RECVBUFFER
    RequestHead m_x_Head;
    uint8_t m_auc_TimeOut[4];
};
struct SendBufferRequest {
    RequestHead m_x_Head;
    uint8_t m_auc_TimeOut[4];
    uint8_t m_auc_FrameLength[4];
};
struct WaitForRebootRequest {
    RequestHead m_x_Head;
    uint8_t m_auc_WriteTimeOut[4];
    uint8_t m_auc_RebootWait[4];
    uint8_t m_auc_FrameLength[4];
};
struct DestroyConxRequest {
    RequestHead m_x_Head;
    uint8_t m_auc_Unused[20];
};

static_assert(sizeof(RequestHead) == REQUEST_HEAD_SIZE, "request head");
static_assert(offsetof(RequestHead, m_uc_Command) == COMMANDE_OFFSET_COMMANDE, "command byte");
static_assert(sizeof(ResponseHead) == RESPONSE_HEAD_SIZE, "response head");
static_assert(offsetof(ResponseHead, m_auc_Status) == RESPONSE_OFFSET_STATUS, "status");
static_assert(offsetof(DataResponse, m_auc_DataLength) == DATARESPONSE_OFFSET_LENGTH, "length");
static_assert(sizeof(DataResponse) == DATARESPONSE_OFFSET_DATA, "data");
static_assert(offsetof(EnumDevicesResponse, m_uc_Count) == ENUMDEVICES_OFFSET_COUNT, "count");
static_assert(sizeof(EnumDevicesResponse) == ENUMDEVICES_OFFSET_DEVICES, "entries");
static_assert(sizeof(ServerInfosRequest) == SERVERINFOS_REQUEST_SIZE, "serverinfos size");
static_assert(offsetof(ServerInfosRequest, m_auc_InfoType) == SERVERINFOS_OFFSET_INFOTYPE,
              "info type");
static_assert(offsetof(ServerInfosRequest, m_auc_Value) == SERVERINFOS_OFFSET_VALUE, "value");
static_assert(offsetof(LinkRequest, m_uc_PipeIndex) == LINKPRIVATECONX_OFFSET_PIPE, "pipe");
static_assert(offsetof(LinkRequest, m_ac_DeviceKey) == LINKPRIVATECONX_OFFSET_KEY, "key");
static_assert(sizeof(LinkRequest) == LINKPRIVATECONX_MIN_SIZE, "link size");
static_assert(offsetof(TimeOutRequest, m_auc_TimeOut) == REQUEST_OFFSET_TIMEOUT, "time-out");
static_assert(sizeof(TimeOutRequest) == LOCKPIPE_REQUEST_SIZE, "lockpipe size");
static_assert(sizeof(TimeOutRequest) == RECVBUFFER_REQUEST_SIZE, "recvbuffer size");
static_assert(offsetof(SendBufferRequest, m_auc_TimeOut) == REQUEST_OFFSET_TIMEOUT, "time-out");
static_assert(offsetof(SendBufferRequest, m_auc_FrameLength) == SENDBUFFER_OFFSET_CMD_LENBUFFER,
              "sendbuffer length");
static_assert(sizeof(SendBufferRequest) == SENDBUFFER_OFFSET_FRAME, "sendbuffer frame");
static_assert(offsetof(WaitForRebootRequest, m_auc_WriteTimeOut) == REQUEST_OFFSET_TIMEOUT,
              "write time-out");
static_assert(offsetof(WaitForRebootRequest, m_auc_RebootWait) == WAITFORREBOOT_OFFSET_REBOOTWAIT,
              "reboot wait");
static_assert(offsetof(WaitForRebootRequest, m_auc_FrameLength) == WAITFORREBOOT_OFFSET_LENBUFFER,
              "reboot length");
static_assert(sizeof(WaitForRebootRequest) == WAITFORREBOOT_OFFSET_FRAME, "reboot frame");
static_assert(sizeof(DestroyConxRequest) == DESTROYCONX_REQUEST_SIZE, "destroy size");

bool HasHead(const uint8_t* i_puc_Request, uint32_t i_ul_Length, uint8_t i_uc_Class,
             uint8_t i_uc_Command) {
    return i_ul_Length >= REQUEST_HEAD_SIZE && i_puc_Request[0] == i_uc_Class &&
           i_puc_Request[1] == 0x00 && i_puc_Request[COMMANDE_OFFSET_COMMANDE] == i_uc_Command;
}

// A zero-filled request of that size with its head written.
int32_t AllocRequest(uint8_t i_uc_Command, uint64_t i_ull_Size, uint8_t** o_ppuc_Request,
                     uint32_t* o_pul_Length) {
    *o_ppuc_Request = nullptr;
    *o_pul_Length = 0;
    if (i_ull_Size > 0xFFFFFFFFu) {
        return TULVO_BAD_PARAMETER;
    }
    uint8_t* l_puc_Request = static_cast<uint8_t*>(calloc(1, static_cast<size_t>(i_ull_Size)));
    if (l_puc_Request == nullptr) {
        return TULVO_NO_MEMORY;
    }
    l_puc_Request[0] = REQUEST_CLASS_COMMAND;
    l_puc_Request[1] = 0x00;
    l_puc_Request[COMMANDE_OFFSET_COMMANDE] = i_uc_Command;
    *o_ppuc_Request = l_puc_Request;
    *o_pul_Length = static_cast<uint32_t>(i_ull_Size);
    return TULVO_OK;
}

int32_t BuildTimeOutRequest(uint8_t i_uc_Command, uint32_t i_ul_TimeOut, uint8_t** o_ppuc_Request,
                            uint32_t* o_pul_Length) {
    const int32_t l_i_Status =
        AllocRequest(i_uc_Command, sizeof(TimeOutRequest), o_ppuc_Request, o_pul_Length);
    if (l_i_Status == TULVO_OK) {
        GestIpc_PutU32(*o_ppuc_Request + REQUEST_OFFSET_TIMEOUT, i_ul_TimeOut);
    }
    return l_i_Status;
}

} // namespace

uint32_t GestIpc_GetU32(const uint8_t* i_puc_Bytes) {
    return (static_cast<uint32_t>(i_puc_Bytes[0]) << 24) |
           (static_cast<uint32_t>(i_puc_Bytes[1]) << 16) |
           (static_cast<uint32_t>(i_puc_Bytes[2]) << 8) | static_cast<uint32_t>(i_puc_Bytes[3]);
}

void GestIpc_PutU32(uint8_t* o_puc_Bytes, uint32_t i_ul_Value) {
    o_puc_Bytes[0] = static_cast<uint8_t>(i_ul_Value >> 24);
    o_puc_Bytes[1] = static_cast<uint8_t>(i_ul_Value >> 16);
    o_puc_Bytes[2] = static_cast<uint8_t>(i_ul_Value >> 8);
    o_puc_Bytes[3] = static_cast<uint8_t>(i_ul_Value);
}

void GestIpc_FreeBuffer(void* i_pv_Buffer) {
    free(i_pv_Buffer);
}

const char* GestIpcPublic_CommandName(uint32_t i_ul_Command) {
    switch (i_ul_Command) {
    case BYTE2_ENUMDEVICES:
        return "ENUMDEVICES";
    case BYTE2_SERVERINFOS:
        return "SERVERINFOS";
    case BYTE2_CREATEPRIVATECHANNEL:
        return "CREATEPRIVATECHANNEL";
    default:
        return "PUBLIC_IPC_UNKNOWN";
    }
}

const char* GestIpcPrivate_CommandName(uint32_t i_ul_Command) {
    switch (i_ul_Command) {
    case BYTE2_LINKPRIVATECONX:
        return "LINKPRIVATECONX";
    case BYTE2_LOCKPIPE:
        return "LOCKPIPE";
    case BYTE2_UNLOCKPIPE:
        return "UNLOCKPIPE";
    case BYTE2_SENDBUFFER:
        return "SENDBUFFER";
    case BYTE2_RECVBUFFER:
        return "RECVBUFFER";
    case BYTE2_WAITFORREBOOT:
        return "WAITFORREBOOT";
    case BYTE2_DESTROYCONX:
        return "DESTROYCONX";
    default:
        return "PRIVATE_IPC_UNKNOWN";
    }
}

int32_t GestIpc_AllocResponse(const uint8_t* i_puc_Request, uint32_t i_ul_RequestLength,
                              uint8_t** o_ppuc_Response, uint32_t* o_pul_ResponseLength,
                              uint32_t i_ul_Size, int32_t i_i_Status) {
    *o_ppuc_Response = nullptr;
    *o_pul_ResponseLength = 0;
    const uint32_t l_ul_Size = i_ul_Size < RESPONSE_HEAD_SIZE ? RESPONSE_HEAD_SIZE : i_ul_Size;
    uint8_t* l_puc_Response = static_cast<uint8_t*>(calloc(1, l_ul_Size));
    if (l_puc_Response == nullptr) {
        TraceLog_Printf("GestIpc_AllocResponse Malloc Err\n");
        return TULVO_NO_MEMORY;
    }
    // A request too short to have a whole head gets its bytes echoed and zeros after them.
    if (i_puc_Request != nullptr) {
        const uint32_t l_ul_Echo =
            i_ul_RequestLength < REQUEST_HEAD_SIZE ? i_ul_RequestLength : REQUEST_HEAD_SIZE;
        memcpy(l_puc_Response, i_puc_Request, l_ul_Echo);
    }
    GestIpc_PutU32(l_puc_Response + RESPONSE_OFFSET_STATUS, static_cast<uint32_t>(i_i_Status));
    *o_ppuc_Response = l_puc_Response;
    *o_pul_ResponseLength = l_ul_Size;
    return TULVO_OK;
}

int32_t GestIpc_AllocStatusResponse(const uint8_t* i_puc_Request, uint32_t i_ul_RequestLength,
                                    uint8_t** o_ppuc_Response, uint32_t* o_pul_ResponseLength,
                                    int32_t i_i_Status) {
    return GestIpc_AllocResponse(i_puc_Request, i_ul_RequestLength, o_ppuc_Response,
                                 o_pul_ResponseLength, RESPONSE_HEAD_SIZE, i_i_Status);
}

int32_t GestIpc_AllocDataResponse(const uint8_t* i_puc_Request, uint32_t i_ul_RequestLength,
                                  uint8_t** o_ppuc_Response, uint32_t* o_pul_ResponseLength,
                                  int32_t i_i_Status, const uint8_t* i_puc_Data,
                                  uint32_t i_ul_DataLength) {
    if (i_ul_DataLength > 0xFFFFFFFFu - DATARESPONSE_OFFSET_DATA ||
        (i_ul_DataLength > 0 && i_puc_Data == nullptr)) {
        *o_ppuc_Response = nullptr;
        *o_pul_ResponseLength = 0;
        return TULVO_BAD_PARAMETER;
    }
    const int32_t l_i_Status = GestIpc_AllocResponse(
        i_puc_Request, i_ul_RequestLength, o_ppuc_Response, o_pul_ResponseLength,
        DATARESPONSE_OFFSET_DATA + i_ul_DataLength, i_i_Status);
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    GestIpc_PutU32(*o_ppuc_Response + DATARESPONSE_OFFSET_LENGTH, i_ul_DataLength);
    if (i_ul_DataLength > 0) {
        memcpy(*o_ppuc_Response + DATARESPONSE_OFFSET_DATA, i_puc_Data, i_ul_DataLength);
    }
    return TULVO_OK;
}

int32_t GestIpcPublic_GetCommande(const uint8_t* i_puc_Request, uint32_t i_ul_Length,
                                  uint32_t* o_pul_Command) {
    if (i_puc_Request != nullptr) {
        if (i_ul_Length == PRIVATECONNECT_REQUEST_SIZE &&
            HasHead(i_puc_Request, i_ul_Length, REQUEST_CLASS_PRIVATECONNECT,
                    BYTE2_CREATEPRIVATECHANNEL)) {
            *o_pul_Command = BYTE2_CREATEPRIVATECHANNEL;
            return TULVO_OK;
        }
        if (i_ul_Length == ENUMDEVICES_REQUEST_SIZE &&
            HasHead(i_puc_Request, i_ul_Length, REQUEST_CLASS_COMMAND, BYTE2_ENUMDEVICES)) {
            *o_pul_Command = BYTE2_ENUMDEVICES;
            return TULVO_OK;
        }
        if (i_ul_Length >= SERVERINFOS_REQUEST_SIZE &&
            HasHead(i_puc_Request, i_ul_Length, REQUEST_CLASS_COMMAND, BYTE2_SERVERINFOS)) {
            *o_pul_Command = BYTE2_SERVERINFOS;
            return TULVO_OK;
        }
    }
    return TULVO_BAD_IPC_FORMAT;
}

int32_t GestIpcPublic_IsEnumDeviceRequest(const uint8_t* i_puc_Request, uint32_t i_ul_Length) {
    if (i_puc_Request == nullptr || i_ul_Length == 0) {
        TraceLog_Printf("GestIpcPublic_IsEnumDeviceRequest : TULVO_BAD_IPC_FORMAT "
                        "(i_pc_DataRequest == NULL) || (i_i_LenRequest == 0)\n");
        return TULVO_BAD_IPC_FORMAT;
    }
    return i_ul_Length == ENUMDEVICES_REQUEST_SIZE &&
                   HasHead(i_puc_Request, i_ul_Length, REQUEST_CLASS_COMMAND, BYTE2_ENUMDEVICES)
               ? TULVO_OK
               : TULVO_BAD_IPC_FORMAT;
}

int32_t GestIpcPublic_IsServerInfos(const uint8_t* i_puc_Request, uint32_t i_ul_Length) {
    if (i_puc_Request == nullptr || i_ul_Length == 0) {
        TraceLog_Printf("GestIpcPublic_IsServerInfos : TULVO_BAD_IPC_FORMAT "
                        "(i_pc_DataRequest == NULL) || (i_i_LenRequest == 0)\n");
        return TULVO_BAD_IPC_FORMAT;
    }
    return i_ul_Length >= SERVERINFOS_REQUEST_SIZE &&
                   HasHead(i_puc_Request, i_ul_Length, REQUEST_CLASS_COMMAND, BYTE2_SERVERINFOS)
               ? TULVO_OK
               : TULVO_BAD_IPC_FORMAT;
}

int32_t GestIpcPublic_ReadServerInfos(const uint8_t* i_puc_Request, uint32_t i_ul_Length,
                                      uint32_t* o_pul_InfoType, uint32_t* o_pul_Value) {
    if (i_puc_Request == nullptr || i_ul_Length < SERVERINFOS_REQUEST_SIZE ||
        !HasHead(i_puc_Request, i_ul_Length, REQUEST_CLASS_COMMAND, BYTE2_SERVERINFOS)) {
        return TULVO_BAD_IPC_FORMAT;
    }
    *o_pul_InfoType = GestIpc_GetU32(i_puc_Request + SERVERINFOS_OFFSET_INFOTYPE);
    *o_pul_Value = GestIpc_GetU32(i_puc_Request + SERVERINFOS_OFFSET_VALUE);
    return TULVO_OK;
}

int32_t GestIpcPrivate_GetCommande(const uint8_t* i_puc_Request, uint32_t i_ul_Length,
                                   uint32_t* o_pul_Command) {
    if (i_puc_Request == nullptr || i_ul_Length == 0) {
        TraceLog_Printf("GestIpcPrivate_GetCommande : TULVO_BAD_IPC_FORMAT "
                        "(i_pc_DataRequest == NULL) || (i_i_LenRequest == 0)\n");
    }
    if (i_ul_Length < REQUEST_HEAD_SIZE) {
        TraceLog_Printf("GestIpcPrivate_GetCommande : TULVO_BAD_IPC_FORMAT "
                        "i_i_LenRequest < ( 3 )\n");
    }
    if (i_puc_Request == nullptr) {
        TraceLog_Printf("GestIpcPrivate_GetCommande : TULVO_BAD_IPC_FORMAT "
                        "i_pc_DataRequest[ COMMANDE_OFFSET_COMMANDE ] Unknown\n");
    }
    if (i_puc_Request != nullptr && i_ul_Length >= REQUEST_HEAD_SIZE &&
        i_puc_Request[0] == REQUEST_CLASS_COMMAND && i_puc_Request[1] == 0x00 &&
        i_puc_Request[COMMANDE_OFFSET_COMMANDE] >= BYTE2_LINKPRIVATECONX &&
        i_puc_Request[COMMANDE_OFFSET_COMMANDE] <= BYTE2_DESTROYCONX) {
        *o_pul_Command = i_puc_Request[COMMANDE_OFFSET_COMMANDE];
        return TULVO_OK;
    }
    TraceLog_Printf("GestIpcPrivate_IsLinkToVek Err 0x%02X\n",
                    static_cast<unsigned>(TULVO_BAD_IPC_FORMAT));
    return TULVO_BAD_IPC_FORMAT;
}

int32_t GestIpcPrivate_ReadRequest(const uint8_t* i_puc_Request, uint32_t i_ul_Length,
                                   GestIpc_PrivateRequest* o_px_Request) {
    memset(o_px_Request, 0, sizeof(*o_px_Request));
    if (i_puc_Request == nullptr || i_ul_Length < REQUEST_HEAD_SIZE ||
        i_puc_Request[0] != REQUEST_CLASS_COMMAND || i_puc_Request[1] != 0x00) {
        return TULVO_BAD_IPC_FORMAT;
    }
    const uint32_t l_ul_Command = i_puc_Request[COMMANDE_OFFSET_COMMANDE];
    o_px_Request->m_ul_Command = l_ul_Command;
    uint32_t l_ul_LengthOffset = 0; // where the frame length sits, when there is a frame
    switch (l_ul_Command) {
    case BYTE2_LINKPRIVATECONX: {
        if (i_ul_Length < LINKPRIVATECONX_MIN_SIZE) {
            return TULVO_BAD_IPC_FORMAT;
        }
        const char* l_pc_Key =
            reinterpret_cast<const char*>(i_puc_Request + LINKPRIVATECONX_OFFSET_KEY);
        const uint32_t l_ul_Room = i_ul_Length - LINKPRIVATECONX_OFFSET_KEY;
        const void* l_pv_Nul = memchr(l_pc_Key, '\0', l_ul_Room);
        if (l_pv_Nul == nullptr) {
            return TULVO_BAD_IPC_FORMAT;
        }
        const uint32_t l_ul_KeyLength =
            static_cast<uint32_t>(static_cast<const char*>(l_pv_Nul) - l_pc_Key);
        // The channel keeps the key in a 100-byte field; a longer one cannot name a device.
        if (l_ul_KeyLength > DEVICE_KEY_MAX_LENGTH) {
            return TULVO_BAD_IPC_FORMAT;
        }
        o_px_Request->m_ul_PipeIndex = i_puc_Request[LINKPRIVATECONX_OFFSET_PIPE];
        o_px_Request->m_pc_DeviceKey = l_pc_Key;
        o_px_Request->m_ul_DeviceKeyLength = l_ul_KeyLength;
        return TULVO_OK;
    }
    case BYTE2_LOCKPIPE:
    case BYTE2_RECVBUFFER:
        if (i_ul_Length < LOCKPIPE_REQUEST_SIZE) {
            return TULVO_BAD_IPC_FORMAT;
        }
        o_px_Request->m_ul_TimeOut = GestIpc_GetU32(i_puc_Request + REQUEST_OFFSET_TIMEOUT);
        return TULVO_OK;
    case BYTE2_UNLOCKPIPE:
    case BYTE2_DESTROYCONX:
        return TULVO_OK;
    case BYTE2_SENDBUFFER:
        if (i_ul_Length < SENDBUFFER_OFFSET_FRAME) {
            return TULVO_BAD_IPC_FORMAT;
        }
        l_ul_LengthOffset = SENDBUFFER_OFFSET_CMD_LENBUFFER;
        break;
    case BYTE2_WAITFORREBOOT:
        if (i_ul_Length < WAITFORREBOOT_OFFSET_FRAME) {
            return TULVO_BAD_IPC_FORMAT;
        }
        o_px_Request->m_ul_RebootWait =
            GestIpc_GetU32(i_puc_Request + WAITFORREBOOT_OFFSET_REBOOTWAIT);
        l_ul_LengthOffset = WAITFORREBOOT_OFFSET_LENBUFFER;
        break;
    default:
        return TULVO_BAD_IPC_FORMAT;
    }
    const uint32_t l_ul_FrameOffset = l_ul_LengthOffset + 4;
    const uint32_t l_ul_FrameLength = GestIpc_GetU32(i_puc_Request + l_ul_LengthOffset);
    if (l_ul_FrameLength > i_ul_Length - l_ul_FrameOffset) {
        return TULVO_BAD_IPC_FORMAT;
    }
    o_px_Request->m_ul_TimeOut = GestIpc_GetU32(i_puc_Request + REQUEST_OFFSET_TIMEOUT);
    o_px_Request->m_ul_FrameLength = l_ul_FrameLength;
    o_px_Request->m_puc_Frame = l_ul_FrameLength > 0 ? i_puc_Request + l_ul_FrameOffset : nullptr;
    return TULVO_OK;
}

int32_t GestIpc_BuildEnumDevicesRequest(uint8_t** o_ppuc_Request, uint32_t* o_pul_Length) {
    return AllocRequest(BYTE2_ENUMDEVICES, ENUMDEVICES_REQUEST_SIZE, o_ppuc_Request, o_pul_Length);
}

int32_t GestIpc_BuildServerInfosRequest(uint32_t i_ul_InfoType, uint32_t i_ul_Value,
                                        uint8_t** o_ppuc_Request, uint32_t* o_pul_Length) {
    const int32_t l_i_Status =
        AllocRequest(BYTE2_SERVERINFOS, sizeof(ServerInfosRequest), o_ppuc_Request, o_pul_Length);
    if (l_i_Status == TULVO_OK) {
        GestIpc_PutU32(*o_ppuc_Request + SERVERINFOS_OFFSET_INFOTYPE, i_ul_InfoType);
        GestIpc_PutU32(*o_ppuc_Request + SERVERINFOS_OFFSET_VALUE, i_ul_Value);
    }
    return l_i_Status;
}

int32_t GestIpc_BuildLinkRequest(uint32_t i_ul_PipeIndex, const char* i_pc_DeviceKey,
                                 uint8_t** o_ppuc_Request, uint32_t* o_pul_Length) {
    const char* l_pc_Key = i_pc_DeviceKey != nullptr ? i_pc_DeviceKey : "";
    const size_t l_st_KeyLength = strlen(l_pc_Key);
    if (l_st_KeyLength > DEVICE_KEY_MAX_LENGTH || i_ul_PipeIndex > 0xFF) {
        *o_ppuc_Request = nullptr;
        *o_pul_Length = 0;
        return TULVO_BAD_PARAMETER;
    }
    const int32_t l_i_Status =
        AllocRequest(BYTE2_LINKPRIVATECONX, LINKPRIVATECONX_OFFSET_KEY + l_st_KeyLength + 1,
                     o_ppuc_Request, o_pul_Length);
    if (l_i_Status == TULVO_OK) {
        (*o_ppuc_Request)[LINKPRIVATECONX_OFFSET_PIPE] = static_cast<uint8_t>(i_ul_PipeIndex);
        memcpy(*o_ppuc_Request + LINKPRIVATECONX_OFFSET_KEY, l_pc_Key, l_st_KeyLength + 1);
    }
    return l_i_Status;
}

int32_t GestIpc_BuildLockPipeRequest(uint32_t i_ul_TimeOut, uint8_t** o_ppuc_Request,
                                     uint32_t* o_pul_Length) {
    return BuildTimeOutRequest(BYTE2_LOCKPIPE, i_ul_TimeOut, o_ppuc_Request, o_pul_Length);
}

int32_t GestIpc_BuildUnlockPipeRequest(uint8_t** o_ppuc_Request, uint32_t* o_pul_Length) {
    return AllocRequest(BYTE2_UNLOCKPIPE, UNLOCKPIPE_REQUEST_SIZE, o_ppuc_Request, o_pul_Length);
}

int32_t GestIpc_BuildSendBufferRequest(uint32_t i_ul_TimeOut, const uint8_t* i_puc_Frame,
                                       uint32_t i_ul_FrameLength, uint8_t** o_ppuc_Request,
                                       uint32_t* o_pul_Length) {
    if (i_ul_FrameLength > 0 && i_puc_Frame == nullptr) {
        *o_ppuc_Request = nullptr;
        *o_pul_Length = 0;
        return TULVO_BAD_PARAMETER;
    }
    const int32_t l_i_Status = AllocRequest(
        BYTE2_SENDBUFFER, static_cast<uint64_t>(SENDBUFFER_OFFSET_FRAME) + i_ul_FrameLength,
        o_ppuc_Request, o_pul_Length);
    if (l_i_Status == TULVO_OK) {
        GestIpc_PutU32(*o_ppuc_Request + REQUEST_OFFSET_TIMEOUT, i_ul_TimeOut);
        GestIpc_PutU32(*o_ppuc_Request + SENDBUFFER_OFFSET_CMD_LENBUFFER, i_ul_FrameLength);
        if (i_ul_FrameLength > 0) {
            memcpy(*o_ppuc_Request + SENDBUFFER_OFFSET_FRAME, i_puc_Frame, i_ul_FrameLength);
        }
    }
    return l_i_Status;
}

int32_t GestIpc_BuildRecvBufferRequest(uint32_t i_ul_TimeOut, uint8_t** o_ppuc_Request,
                                       uint32_t* o_pul_Length) {
    return BuildTimeOutRequest(BYTE2_RECVBUFFER, i_ul_TimeOut, o_ppuc_Request, o_pul_Length);
}

int32_t GestIpc_BuildWaitForRebootRequest(uint32_t i_ul_WriteTimeOut, uint32_t i_ul_RebootWait,
                                          const uint8_t* i_puc_Frame, uint32_t i_ul_FrameLength,
                                          uint8_t** o_ppuc_Request, uint32_t* o_pul_Length) {
    if (i_ul_FrameLength > 0 && i_puc_Frame == nullptr) {
        *o_ppuc_Request = nullptr;
        *o_pul_Length = 0;
        return TULVO_BAD_PARAMETER;
    }
    const int32_t l_i_Status = AllocRequest(
        BYTE2_WAITFORREBOOT, static_cast<uint64_t>(WAITFORREBOOT_OFFSET_FRAME) + i_ul_FrameLength,
        o_ppuc_Request, o_pul_Length);
    if (l_i_Status == TULVO_OK) {
        GestIpc_PutU32(*o_ppuc_Request + REQUEST_OFFSET_TIMEOUT, i_ul_WriteTimeOut);
        GestIpc_PutU32(*o_ppuc_Request + WAITFORREBOOT_OFFSET_REBOOTWAIT, i_ul_RebootWait);
        GestIpc_PutU32(*o_ppuc_Request + WAITFORREBOOT_OFFSET_LENBUFFER, i_ul_FrameLength);
        if (i_ul_FrameLength > 0) {
            memcpy(*o_ppuc_Request + WAITFORREBOOT_OFFSET_FRAME, i_puc_Frame, i_ul_FrameLength);
        }
    }
    return l_i_Status;
}

int32_t GestIpc_BuildDestroyConxRequest(uint8_t** o_ppuc_Request, uint32_t* o_pul_Length) {
    return AllocRequest(BYTE2_DESTROYCONX, DESTROYCONX_REQUEST_SIZE, o_ppuc_Request, o_pul_Length);
}

int32_t GestIpc_ReadResponseHead(const uint8_t* i_puc_Response, uint32_t i_ul_Length,
                                 uint32_t* o_pul_Command, int32_t* o_pi_Status) {
    if (i_puc_Response == nullptr || i_ul_Length < RESPONSE_HEAD_SIZE) {
        return TULVO_BAD_IPC_FORMAT;
    }
    *o_pul_Command = i_puc_Response[COMMANDE_OFFSET_COMMANDE];
    *o_pi_Status = static_cast<int32_t>(GestIpc_GetU32(i_puc_Response + RESPONSE_OFFSET_STATUS));
    return TULVO_OK;
}

int32_t GestIpc_ReadResponseData(const uint8_t* i_puc_Response, uint32_t i_ul_Length,
                                 const uint8_t** o_ppuc_Data, uint32_t* o_pul_DataLength) {
    if (i_puc_Response == nullptr || i_ul_Length < DATARESPONSE_OFFSET_DATA) {
        return TULVO_BAD_IPC_FORMAT;
    }
    const uint32_t l_ul_DataLength = GestIpc_GetU32(i_puc_Response + DATARESPONSE_OFFSET_LENGTH);
    if (l_ul_DataLength > i_ul_Length - DATARESPONSE_OFFSET_DATA) {
        return TULVO_BAD_IPC_FORMAT;
    }
    *o_ppuc_Data = i_puc_Response + DATARESPONSE_OFFSET_DATA;
    *o_pul_DataLength = l_ul_DataLength;
    return TULVO_OK;
}
