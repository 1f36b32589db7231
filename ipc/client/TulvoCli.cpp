// The calls an application makes: connections to one device, device lists and server
// information, and the frame calls on the three pipes of a connection.
#include "ipc/client/TulvoCli.h"

#include "ipc/client/Client.h"
#include "ipc/protocol/DeviceList.h"
#include "ipc/protocol/GestIpcFormat.h"
#include "ipc/protocol/TulvoStatus.h"
#include "service/TraceLog.h"

#include <stdlib.h>
#include <string.h>

#include <array>
#include <new>

namespace {

// The lowest service version for which frames are sent on the real-time log pipe.
const char g_ac_RealTimeLogVersion[] = "1. 5. 0. 0";

Client_PipeConx* Pipe(TulvoCli_Connection* i_px_Connection, int i_i_Index) {
    return &i_px_Connection->m_ax_Pipes[i_i_Index];
}

// Byte by byte against the reference, within what the service sent and the reference with its
// NUL: the first difference decides, and no difference passes.
bool ServerIsRecentEnough(const TulvoCli_Connection* i_px_Connection) {
    const uint32_t l_ul_Count =
        i_px_Connection->m_ul_ServerVersionLength < sizeof(g_ac_RealTimeLogVersion)
            ? i_px_Connection->m_ul_ServerVersionLength
            : static_cast<uint32_t>(sizeof(g_ac_RealTimeLogVersion));
    for (uint32_t l_ul_Index = 0; l_ul_Index < l_ul_Count; ++l_ul_Index) {
        const uint8_t l_uc_Server = i_px_Connection->m_auc_ServerVersion[l_ul_Index];
        const uint8_t l_uc_Reference = static_cast<uint8_t>(g_ac_RealTimeLogVersion[l_ul_Index]);
        if (l_uc_Server != l_uc_Reference) {
            return l_uc_Server > l_uc_Reference;
        }
    }
    return true;
}

// Lock, send and, when asked for, receive on one pipe; always unlock. The status of the first
// step that failed; the unlock's own is not reported.
int32_t LockedSpan(Client_PipeConx* io_px_Pipe, uint32_t i_ul_TimeOut, const uint8_t* i_puc_Frame,
                   uint32_t i_ul_FrameLength, uint8_t** o_ppuc_Answer,
                   uint32_t* o_pul_AnswerLength) {
    int32_t l_i_Status = Client_LockCmd(io_px_Pipe, i_ul_TimeOut);
    if (l_i_Status == TULVO_OK) {
        l_i_Status = Client_WriteFrameCmd(io_px_Pipe, i_ul_TimeOut, i_puc_Frame, i_ul_FrameLength);
    }
    if (l_i_Status == TULVO_OK && o_ppuc_Answer != nullptr) {
        l_i_Status =
            Client_ReadFrameCmd(io_px_Pipe, i_ul_TimeOut, o_ppuc_Answer, o_pul_AnswerLength);
    }
    Client_UnLockCmd(io_px_Pipe);
    return l_i_Status;
}

// The record's four texts, in the order the service sends them.
std::array<unsigned char**, 4> Texts(TulvoCli_DeviceProperties* io_px_Device) {
    return {&io_px_Device->m_puc_InstanceId, &io_px_Device->m_puc_SerialNumber,
            &io_px_Device->m_puc_FriendlyName, &io_px_Device->m_puc_DevicePath};
}

void FreeTexts(TulvoCli_DeviceProperties* io_px_Device) {
    for (unsigned char** l_ppuc_Text : Texts(io_px_Device)) {
        free(*l_ppuc_Text);
        *l_ppuc_Text = nullptr;
    }
}

void ClearOut(uint8_t** o_ppuc_Data, uint32_t* o_pul_Length) {
    if (o_ppuc_Data != nullptr) {
        *o_ppuc_Data = nullptr;
    }
    if (o_pul_Length != nullptr) {
        *o_pul_Length = 0;
    }
}

// Takes the four texts of each entry; on any failure nothing is kept.
int32_t DecodeDeviceList(const uint8_t* i_puc_List, uint32_t i_ul_ListLength, uint32_t i_ul_Count,
                         TulvoCli_DeviceProperties** o_ppx_List, uint32_t* o_pul_Count) {
    if (i_ul_Count == 0) {
        return TULVO_OK;
    }
    // Every entry takes at least its four NULs: a count the list cannot hold is refused
    // before anything is allocated for it.
    if (static_cast<uint64_t>(i_ul_Count) * 4 > i_ul_ListLength - 1) {
        return TULVO_BAD_IPC_FORMAT;
    }
    TulvoCli_DeviceProperties* l_px_List = static_cast<TulvoCli_DeviceProperties*>(
        calloc(i_ul_Count, sizeof(TulvoCli_DeviceProperties)));
    if (l_px_List == nullptr) {
        TraceLog_Printf("TulvoCli_EnumDevices : malloc Error\n");
        return TULVO_NO_MEMORY;
    }
    uint32_t l_ul_Position = 1;
    for (uint32_t l_ul_Device = 0; l_ul_Device < i_ul_Count; ++l_ul_Device) {
        const int32_t l_i_Status = TulvoCli_CopyDeviceFromList(&l_px_List[l_ul_Device], i_puc_List,
                                                               i_ul_ListLength, &l_ul_Position);
        if (l_i_Status != TULVO_OK) {
            TulvoCli_FreeDeviceList(&l_px_List, l_ul_Device);
            return l_i_Status;
        }
    }
    *o_ppx_List = l_px_List;
    *o_pul_Count = i_ul_Count;
    return TULVO_OK;
}

} // namespace

int32_t TulvoCli_Connect(TulvoCli_Connection** o_ppx_Connection, const char* i_pc_SerialNumber) {
    if (o_ppx_Connection == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    *o_ppx_Connection = nullptr;
    const char* l_pc_Serial = i_pc_SerialNumber != nullptr ? i_pc_SerialNumber : "";
    // A longer serial number would be cut into some other device's key.
    if (strlen(l_pc_Serial) > TULVOCLI_MAX_SERIAL_NUMBER_LENGTH) {
        return TULVO_BAD_PARAMETER;
    }
    ToolShare_Channel l_x_Public;
    int32_t l_i_Status = Client_InitConnection(&l_x_Public);
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    TulvoCli_Connection* l_px_Conx = new (std::nothrow) TulvoCli_Connection();
    if (l_px_Conx == nullptr) {
        TraceLog_Printf("\t\tTulvoCli_Connect: malloc Error\n");
        l_i_Status = TULVO_NO_MEMORY;
    } else {
        strcpy(l_px_Conx->m_ac_SerialNumber, l_pc_Serial);
        for (int l_i_Index = 0; l_i_Index < CLIENT_PIPE_COUNT && l_i_Status == TULVO_OK;
             ++l_i_Index) {
            l_i_Status = Client_CreatePrivateConnections(&l_x_Public, l_px_Conx,
                                                         Pipe(l_px_Conx, l_i_Index), l_i_Index);
        }
        if (l_i_Status == TULVO_OK) {
            uint8_t* l_puc_Version = nullptr;
            uint32_t l_ul_VersionLength = 0;
            l_i_Status = Client_ServerInfosCmd(&l_x_Public, SERVERINFOS_TYPE_VERSION, 0,
                                               &l_puc_Version, &l_ul_VersionLength);
            // A longer answer would not fit the field; cut, it would read as another version.
            if (l_i_Status == TULVO_OK && l_ul_VersionLength > TULVOCLI_SERVER_VERSION_SIZE) {
                TraceLog_Printf("TulvoCli_Connect : server version of %u bytes refused\n",
                                static_cast<unsigned>(l_ul_VersionLength));
                l_i_Status = TULVO_BAD_IPC_FORMAT;
            }
            if (l_i_Status == TULVO_OK) {
                memcpy(l_px_Conx->m_auc_ServerVersion, l_puc_Version, l_ul_VersionLength);
                l_px_Conx->m_ul_ServerVersionLength = l_ul_VersionLength;
            }
            TulvoCli_FreeBuffer(&l_puc_Version);
        }
        // The service would keep the channels already set up until this process ends.
        if (l_i_Status != TULVO_OK) {
            Client_DestroyPrivateConnections(l_px_Conx);
            delete l_px_Conx;
            l_px_Conx = nullptr;
        }
    }
    Client_ClosePublicConnection(&l_x_Public);
    *o_ppx_Connection = l_px_Conx;
    return l_i_Status;
}

int32_t TulvoCli_Disconnect(TulvoCli_Connection** io_ppx_Connection) {
    if (io_ppx_Connection == nullptr || *io_ppx_Connection == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    // Without the public conversation (a service gone or busy) the pipes are destroyed all the
    // same: the caller could never free the connection otherwise.
    ToolShare_Channel l_x_Public;
    const int32_t l_i_Status = Client_InitConnection(&l_x_Public);
    Client_DestroyPrivateConnections(*io_ppx_Connection);
    if (l_i_Status == TULVO_OK) {
        Client_ClosePublicConnection(&l_x_Public);
    }
    delete *io_ppx_Connection;
    *io_ppx_Connection = nullptr;
    return l_i_Status;
}

int32_t TulvoCli_EnumDevices(TulvoCli_DeviceProperties** o_ppx_List, uint32_t* o_pul_Count) {
    if (o_ppx_List == nullptr || o_pul_Count == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    *o_ppx_List = nullptr;
    *o_pul_Count = 0;
    ToolShare_Channel l_x_Public;
    int32_t l_i_Status = Client_InitConnection(&l_x_Public);
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    uint8_t* l_puc_List = nullptr;
    uint32_t l_ul_ListLength = 0;
    uint32_t l_ul_Count = 0;
    l_i_Status = Client_EnumDevices(&l_x_Public, &l_puc_List, &l_ul_ListLength, &l_ul_Count);
    if (l_i_Status == TULVO_OK) {
        l_i_Status =
            DecodeDeviceList(l_puc_List, l_ul_ListLength, l_ul_Count, o_ppx_List, o_pul_Count);
    }
    TulvoCli_FreeBuffer(&l_puc_List);
    Client_ClosePublicConnection(&l_x_Public);
    return l_i_Status;
}

int32_t TulvoCli_FreeDeviceList(TulvoCli_DeviceProperties** io_ppx_List, uint32_t i_ul_Count) {
    if (io_ppx_List == nullptr || *io_ppx_List == nullptr) {
        return TULVO_OK;
    }
    for (uint32_t l_ul_Device = 0; l_ul_Device < i_ul_Count; ++l_ul_Device) {
        FreeTexts(&(*io_ppx_List)[l_ul_Device]);
    }
    free(*io_ppx_List);
    *io_ppx_List = nullptr;
    return TULVO_OK;
}

int32_t TulvoCli_CopyDeviceFromList(TulvoCli_DeviceProperties* o_px_Device,
                                    const uint8_t* i_puc_Buffer, uint32_t i_ul_BufferLength,
                                    uint32_t* io_pul_Position) {
    if (o_px_Device == nullptr || i_puc_Buffer == nullptr || io_pul_Position == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    memset(o_px_Device, 0, sizeof(*o_px_Device));
    for (unsigned char** l_ppuc_Text : Texts(o_px_Device)) {
        const int32_t l_i_Status = TulvoCli_CopyAPropertyFromList(
            l_ppuc_Text, i_puc_Buffer, i_ul_BufferLength, io_pul_Position);
        if (l_i_Status != TULVO_OK) {
            FreeTexts(o_px_Device);
            return l_i_Status;
        }
    }
    return TULVO_OK;
}

int32_t TulvoCli_CopyAPropertyFromList(unsigned char** o_ppuc_Text, const uint8_t* i_puc_Buffer,
                                       uint32_t i_ul_BufferLength, uint32_t* io_pul_Position) {
    if (o_ppuc_Text == nullptr || io_pul_Position == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    return GestIpc_CopyTextFromList(o_ppuc_Text, i_puc_Buffer, i_ul_BufferLength, io_pul_Position);
}

int32_t TulvoCli_CopyDeviceFromBuffer(TulvoCli_DeviceProperties* o_px_Device,
                                      const uint8_t* i_puc_Buffer, uint32_t* io_pul_Position) {
    if (o_px_Device == nullptr || i_puc_Buffer == nullptr || io_pul_Position == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    memset(o_px_Device, 0, sizeof(*o_px_Device));
    for (unsigned char** l_ppuc_Text : Texts(o_px_Device)) {
        TulvoCli_CopyAPropertyFromBuffer(l_ppuc_Text, i_puc_Buffer, io_pul_Position);
    }
    return TULVO_OK;
}

int32_t TulvoCli_CopyAPropertyFromBuffer(unsigned char** o_ppuc_Text, const uint8_t* i_puc_Buffer,
                                         uint32_t* io_pul_Position) {
    if (o_ppuc_Text == nullptr || i_puc_Buffer == nullptr || io_pul_Position == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    *o_ppuc_Text = nullptr;
    const size_t l_st_Length =
        strlen(reinterpret_cast<const char*>(i_puc_Buffer) + *io_pul_Position);
    if (l_st_Length >= UINT32_MAX - *io_pul_Position) {
        return TULVO_BAD_PARAMETER;
    }
    return TulvoCli_CopyAPropertyFromList(o_ppuc_Text, i_puc_Buffer,
                                          *io_pul_Position + static_cast<uint32_t>(l_st_Length) + 1,
                                          io_pul_Position);
}

int32_t TulvoCli_GetServerInfos(uint32_t i_ul_InfoType, uint32_t i_ul_Value, uint8_t** o_ppuc_Data,
                                uint32_t* o_pul_DataLen) {
    if (o_ppuc_Data == nullptr || o_pul_DataLen == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    ClearOut(o_ppuc_Data, o_pul_DataLen);
    ToolShare_Channel l_x_Public;
    int32_t l_i_Status = Client_InitConnection(&l_x_Public);
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    l_i_Status =
        Client_ServerInfosCmd(&l_x_Public, i_ul_InfoType, i_ul_Value, o_ppuc_Data, o_pul_DataLen);
    Client_ClosePublicConnection(&l_x_Public);
    return l_i_Status;
}

int32_t TulvoCli_FreeBuffer(uint8_t** io_ppuc_Buffer) {
    if (io_ppuc_Buffer != nullptr) {
        free(*io_ppuc_Buffer);
        *io_ppuc_Buffer = nullptr;
    }
    return TULVO_OK;
}

int32_t TulvoCli_Lock(TulvoCli_Connection* i_px_Connection, uint32_t i_ul_TimeOut) {
    if (i_px_Connection == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    return Client_LockCmd(Pipe(i_px_Connection, CLIENT_NORMAL_PIPE), i_ul_TimeOut);
}

int32_t TulvoCli_Unlock(TulvoCli_Connection* i_px_Connection) {
    if (i_px_Connection == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    return Client_UnLockCmd(Pipe(i_px_Connection, CLIENT_NORMAL_PIPE));
}

int32_t TulvoCli_SendFrame(TulvoCli_Connection* i_px_Connection, uint32_t i_ul_TimeOut,
                           const uint8_t* i_puc_Frame, uint32_t i_ul_FrameLength) {
    if (i_px_Connection == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    return Client_WriteFrameCmd(Pipe(i_px_Connection, CLIENT_NORMAL_PIPE), i_ul_TimeOut,
                                i_puc_Frame, i_ul_FrameLength);
}

int32_t TulvoCli_ReceiveFrame(TulvoCli_Connection* i_px_Connection, uint32_t i_ul_TimeOut,
                              uint8_t** o_ppuc_Frame, uint32_t* o_pul_FrameLength) {
    ClearOut(o_ppuc_Frame, o_pul_FrameLength);
    if (i_px_Connection == nullptr || o_ppuc_Frame == nullptr || o_pul_FrameLength == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    return Client_ReadFrameCmd(Pipe(i_px_Connection, CLIENT_NORMAL_PIPE), i_ul_TimeOut,
                               o_ppuc_Frame, o_pul_FrameLength);
}

int32_t TulvoCli_Exchange(TulvoCli_Connection* i_px_Connection, uint32_t i_ul_TimeOut,
                          const uint8_t* i_puc_Frame, uint32_t i_ul_FrameLength,
                          uint8_t** o_ppuc_Answer, uint32_t* o_pul_AnswerLength) {
    ClearOut(o_ppuc_Answer, o_pul_AnswerLength);
    if (i_px_Connection == nullptr || o_ppuc_Answer == nullptr || o_pul_AnswerLength == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    return LockedSpan(Pipe(i_px_Connection, CLIENT_EXCHANGE_PIPE), i_ul_TimeOut, i_puc_Frame,
                      i_ul_FrameLength, o_ppuc_Answer, o_pul_AnswerLength);
}

int32_t TulvoCli_Post(TulvoCli_Connection* i_px_Connection, uint32_t i_ul_TimeOut,
                      const uint8_t* i_puc_Frame, uint32_t i_ul_FrameLength) {
    if (i_px_Connection == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    return LockedSpan(Pipe(i_px_Connection, CLIENT_EXCHANGE_PIPE), i_ul_TimeOut, i_puc_Frame,
                      i_ul_FrameLength, nullptr, nullptr);
}

int32_t TulvoCli_WaitForReboot(TulvoCli_Connection* i_px_Connection, uint32_t i_ul_WriteTimeOut,
                               const uint8_t* i_puc_Frame, uint32_t i_ul_FrameLength,
                               uint32_t i_ul_RebootTimeOut) {
    if (i_px_Connection == nullptr) {
        return TULVO_NO_RESPONSE;
    }
    return Client_WaitForRebootCmd(Pipe(i_px_Connection, CLIENT_EXCHANGE_PIPE), i_ul_WriteTimeOut,
                                   i_puc_Frame, i_ul_FrameLength, i_ul_RebootTimeOut);
}

int32_t TulvoCli_ReceiveRealTimeLog(TulvoCli_Connection* i_px_Connection, uint32_t i_ul_TimeOut,
                                    uint8_t** o_ppuc_Frame, uint32_t* o_pul_FrameLength) {
    ClearOut(o_ppuc_Frame, o_pul_FrameLength);
    if (i_px_Connection == nullptr || o_ppuc_Frame == nullptr || o_pul_FrameLength == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    return Client_ReadFrameCmd(Pipe(i_px_Connection, CLIENT_REALTIMELOG_PIPE), i_ul_TimeOut,
                               o_ppuc_Frame, o_pul_FrameLength);
}

int32_t TulvoCli_SendRealTimeLogFrame(TulvoCli_Connection* i_px_Connection, uint32_t i_ul_TimeOut,
                                      const uint8_t* i_puc_Frame, uint32_t i_ul_FrameLength) {
    if (i_px_Connection == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    Client_PipeConx* l_px_Pipe = Pipe(i_px_Connection, CLIENT_REALTIMELOG_PIPE);
    if (!ServerIsRecentEnough(i_px_Connection)) {
        // Nothing was locked: an UNLOCKPIPE would free the lock of whichever thread holds it.
        return TULVO_SERVER_TOO_OLD;
    }
    return LockedSpan(l_px_Pipe, i_ul_TimeOut, i_puc_Frame, i_ul_FrameLength, nullptr, nullptr);
}
