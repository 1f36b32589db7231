// The public channel server: the one named channel every client opens first, served by one
// receive thread, one request at a time (device list, server information, private channels).
//
// One client must not take the service away from the others: a request that cannot be read,
// or a response that cannot be written (a client that died in mid-exchange, a transfer that
// timed out, a length beyond the transport's bound), abandons that exchange only. The channel
// is left idle for the next client and the thread goes on; only the cancel event (the stop)
// ends it.
#include "ipc/server/GestIpcPublic.h"

#include "ipc/protocol/DeviceList.h"
#include "ipc/protocol/GestIpcFormat.h"
#include "ipc/protocol/PipeLocks.h"
#include "ipc/protocol/TulvoStatus.h"
#include "ipc/server/GestIpcServer.h"
#include "service/EventLog.h"
#include "service/TraceLog.h"
#include "service/VersionInfo.h"

#include <stdlib.h>
#include <string.h>

namespace {

ToolShare_Param g_x_GestIpcParam = {nullptr, 0};
GestIpcPublic_Server* g_px_GestIpcPublic = nullptr;

// The last of the opener and the receive thread to let go frees the record.
void GestIpcPublic_DropHolder(GestIpcPublic_Server* io_px_Server) {
    if (InterlockedDecrement(&io_px_Server->m_l_Holders) == 0) {
        ToolShare_CloseWaitEvent(&io_px_Server->m_h_Cancel);
        free(io_px_Server);
    }
}

// Closes the channel (Running reset: clients see the service gone) but keeps the cancel
// event it borrowed.
void GestIpcPublic_CloseChannel(GestIpcPublic_Server* io_px_Server) {
    io_px_Server->m_x_Channel.m_h_Peer = nullptr;
    ToolShareSrv_Close(&io_px_Server->m_x_Channel);
}

bool GestIpcPublic_IsCancelled(const GestIpcPublic_Server* i_px_Server) {
    return WaitForSingleObject(i_px_Server->m_h_Cancel, 0) == WAIT_OBJECT_0;
}

// After a failed exchange: whatever the failed transfer left signalled or half-written is
// dropped, so that the next client's request starts on an idle channel.
void GestIpcPublic_AbandonExchange(GestIpcPublic_Server* io_px_Server) {
    TraceLog_Printf("GestIpcPublic_ThreadReceptProc exchange abandoned, channel left idle\n");
    ResetEvent(io_px_Server->m_x_Channel.m_h_Incoming);
    ResetEvent(io_px_Server->m_x_Channel.m_h_Outgoing);
}

int32_t GestIpcPublic_HandleRequest(void* i_pv_Server, uint32_t i_ul_Length,
                                    uint8_t** o_ppuc_Response, uint32_t* o_pul_ResponseLength) {
    return GestIpcPublic_TrtReveiveBufferAndTrt(static_cast<GestIpcPublic_Server*>(i_pv_Server),
                                                i_ul_Length, o_ppuc_Response, o_pul_ResponseLength);
}

// Running is set for as long as the server listens, and only this thread resets it, on its
// way out. Any process may reset it too (clients must be able to signal Recv and Send, and
// clients written to the protocol also ask for that right on Running): every transfer would
// then fail as if the service had stopped. Found reset while not stopping, it is set again.
// False while it is still reset (the caller waits before it looks again).
bool GestIpcPublic_KeepRunning(GestIpcPublic_Server* io_px_Server) {
    const HANDLE l_h_Running = io_px_Server->m_x_Channel.m_h_Running;
    if (l_h_Running == nullptr || WaitForSingleObject(l_h_Running, 0) == WAIT_OBJECT_0 ||
        GestIpcPublic_IsCancelled(io_px_Server)) {
        return true;
    }
    TraceLog_Printf("GestIpcPublic_ThreadReceptProc Running found reset by another process, "
                    "set again\n");
    if (!SetEvent(l_h_Running)) {
        TraceLog_SysError("GestIpcPublic_ThreadReceptProc SetEvent Running");
        return false;
    }
    return true;
}

} // namespace

const ToolShare_Param* GestIpcPublic_GetParam(void) {
    return &g_x_GestIpcParam;
}

void TulvoServ_OpenGestIpcPublic(void) {
    if (g_px_GestIpcPublic != nullptr) {
        return;
    }
    const int32_t l_i_Status = ToolShare_Init();
    if (l_i_Status != TULVO_OK) {
        TraceLog_Printf("TulvoServ_OpenGestIpcPublic : ToolShare_Init Error : 0x%02x\n",
                        static_cast<unsigned>(l_i_Status));
        return;
    }
    GestIpcPublic_Server* const l_px_Server =
        static_cast<GestIpcPublic_Server*>(calloc(1, sizeof(GestIpcPublic_Server)));
    if (l_px_Server == nullptr) {
        TraceLog_Printf("TulvoServ_OpenGestIpcPublic : malloc Err\n");
        return;
    }
    l_px_Server->m_l_Holders = 1;
    g_px_GestIpcPublic = l_px_Server;
    const int32_t l_i_Created = GestIpcPublic_Create(l_px_Server);
    if (l_i_Created != TULVO_OK) {
        EventLog_ChannelNotCreated(l_i_Created);
    }
}

void TulvoServ_CloseGestIpcPublic(void) {
    GestIpcPublic_Server* const l_px_Server = g_px_GestIpcPublic;
    if (l_px_Server == nullptr) {
        return;
    }
    GestIpcPublic_Stop(l_px_Server);
    g_px_GestIpcPublic = nullptr;
    GestIpcPublic_DropHolder(l_px_Server);
}

int32_t GestIpcPublic_Create(GestIpcPublic_Server* io_px_Server) {
    g_x_GestIpcParam.m_ul_SectionSize = GESTIPC_SECTION_SIZE;
    g_x_GestIpcParam.m_pc_BaseName = GESTIPC_PUBLIC_BASENAME;
    memset(&io_px_Server->m_x_Channel, 0, sizeof(io_px_Server->m_x_Channel));
    io_px_Server->m_h_Cancel = nullptr;
    io_px_Server->m_h_Thread = nullptr;
    io_px_Server->m_ul_ThreadId = 0;

    int l_i_NeedAccept = 0;
    int32_t l_i_Status = ToolShareSrv_NeedAccept(&l_i_NeedAccept);
    if (l_i_Status != TULVO_OK) {
        TraceLog_Printf("GestIpcPublic_Create : ToolShareSrv_NeedAccept() Error : %d\n",
                        static_cast<int>(l_i_Status));
        return l_i_Status;
    }
    if (l_i_NeedAccept == 0) {
        l_i_Status = ToolShareSrv_PublicListen(&g_x_GestIpcParam, &io_px_Server->m_x_Channel);
        if (l_i_Status != TULVO_OK) {
            TraceLog_Printf("GestIpcPublic_Create : ToolShareSrv_PublicListen() Error : %d\n",
                            static_cast<int>(l_i_Status));
            return l_i_Status;
        }
    }
    // Without a cancel event nothing could ever stop the thread, and the record would be
    // freed under it: no thread then, and a closed channel, so that clients see no service
    // instead of waiting for their time-outs.
    l_i_Status = GestIpcServer_InitializeWaitEvent(&io_px_Server->m_h_Cancel);
    if (l_i_Status == TULVO_OK && io_px_Server->m_h_Cancel == nullptr) {
        l_i_Status = TULVO_CREATE_OBJECT_FAILED;
    }
    if (l_i_Status != TULVO_OK) {
        TraceLog_Printf("GestIpcPublic_Create : ToolShare_InitializeWaitEvent() Error : %d\n",
                        static_cast<int>(l_i_Status));
        GestIpcPublic_CloseChannel(io_px_Server);
        return l_i_Status;
    }
    io_px_Server->m_x_Channel.m_h_Peer = io_px_Server->m_h_Cancel;
    // Counted before the thread can run, so that it may drop its hold at any time.
    InterlockedIncrement(&io_px_Server->m_l_Holders);
    io_px_Server->m_h_Thread = GestIpcServer_CreateSuspendedThread(
        GestIpcPublic_ThreadReceptProc, io_px_Server, &io_px_Server->m_ul_ThreadId);
    if (io_px_Server->m_h_Thread == nullptr) {
        TraceLog_SysError("GestIpcPublic_Create ThreadReceptProc");
        InterlockedDecrement(&io_px_Server->m_l_Holders);
        GestIpcPublic_Stop(io_px_Server);
        GestIpcPublic_CloseChannel(io_px_Server);
        return TULVO_SIGNAL_ERROR;
    }
    ResumeThread(io_px_Server->m_h_Thread);
    return TULVO_OK;
}

int32_t GestIpcPublic_Stop(GestIpcPublic_Server* io_px_Server) {
    const int32_t l_i_Status = ToolShare_CancelWaitData(io_px_Server->m_h_Cancel);
    if (l_i_Status != TULVO_OK) {
        TraceLog_Printf("GestIpcPublic_Stop : ToolShare_CancelWaitData Error : %d\n",
                        static_cast<int>(l_i_Status));
    }
    if (io_px_Server->m_h_Thread != nullptr) {
        WaitForSingleObject(io_px_Server->m_h_Thread, GESTIPC_STOP_WAIT_MS);
        CloseHandle(io_px_Server->m_h_Thread);
        io_px_Server->m_h_Thread = nullptr;
    }
    return TULVO_OK;
}

DWORD WINAPI GestIpcPublic_ThreadReceptProc(LPVOID i_pv_Server) {
    GestIpcPublic_Server* const l_px_Server = static_cast<GestIpcPublic_Server*>(i_pv_Server);
    ToolShare_Channel* const l_px_Channel = &l_px_Server->m_x_Channel;
    TraceLog_Printf("GestIpcPublic_ThreadReceptProc Started\n");
    int32_t l_i_Status = TULVO_OK;
    for (;;) {
        // The wait wakes now and then to see that Running is still set: nothing announces a
        // reset. The cancel event (the channel's peer), a failed wait or a quit message end
        // the server; a Running that was reset behind its back does not.
        l_i_Status = ToolShare_WaitData(l_px_Channel, nullptr, GESTIPC_RUNNING_CHECK_MS);
        if (l_i_Status == TULVO_TS_TIMEOUT || l_i_Status == TULVO_TS_SERVER_NOT_RUNNING) {
            if (!GestIpcPublic_KeepRunning(l_px_Server)) {
                WaitForSingleObject(l_px_Server->m_h_Cancel, GESTIPC_RUNNING_CHECK_MS);
            }
            continue;
        }
        if (l_i_Status != TULVO_OK) {
            break;
        }
        // The cancel event is the channel's peer: every transfer's wait holds it already.
        l_i_Status = GestIpcServer_ServeOneRequest(
            l_px_Channel, nullptr, "GestIpcPublic_ThreadReceptProc", GESTIPC_PUBLIC_MAX_REQUEST,
            GestIpcPublic_HandleRequest, l_px_Server);
        if (l_i_Status != TULVO_OK) {
            TraceLog_Printf("GestIpcPublic_ThreadReceptProc TrtReveiveBufferAndTrt Err 0x%02X\n",
                            static_cast<unsigned>(l_i_Status));
            if (GestIpcPublic_IsCancelled(l_px_Server)) {
                break;
            }
            GestIpcPublic_AbandonExchange(l_px_Server);
            GestIpcPublic_KeepRunning(l_px_Server);
        }
    }
    GestIpcPublic_StopPrivateChannels();
    GestIpcPublic_CloseChannel(l_px_Server);
    TraceLog_Printf("GestIpcPublic_ThreadReceptProc Stopped \n");
    EventLog_ServerThreadEnded("GestIpcPublic_ThreadReceptProc", l_i_Status,
                               GestIpcPublic_IsCancelled(l_px_Server));
    GestIpcPublic_DropHolder(l_px_Server);
    return static_cast<DWORD>(l_i_Status);
}

void GestIpcPublic_StopPrivateChannels(void) {
    // Every channel sees its cancel event at once; the stops below then wait for threads
    // that are ending together rather than one after the other.
    for (int32_t l_i_Index = 0; l_i_Index < GESTIPC_PRIVATE_SLOT_COUNT; ++l_i_Index) {
        GestIpcSlots_Cancel(GestIpcSlots_Get(l_i_Index), nullptr);
    }
    for (int32_t l_i_Index = 0; l_i_Index < GESTIPC_PRIVATE_SLOT_COUNT; ++l_i_Index) {
        GestIpcPrivate_Slot* const l_ppv_Slot = GestIpcSlots_Get(l_i_Index);
        if (*l_ppv_Slot != nullptr) {
            GestIpcPrivate_Stop(l_ppv_Slot);
        }
    }
}

int32_t GestIpcPublic_TrtReveiveBufferAndTrt(GestIpcPublic_Server* io_px_Server,
                                             uint32_t i_ul_Length, uint8_t** o_ppuc_Response,
                                             uint32_t* o_pul_ResponseLength) {
    *o_ppuc_Response = nullptr;
    *o_pul_ResponseLength = 0;
    uint8_t* l_puc_Request = nullptr;
    int32_t l_i_Status =
        GestIpcServer_ReadRequest(&io_px_Server->m_x_Channel, nullptr, i_ul_Length, &l_puc_Request);
    if (l_i_Status != TULVO_OK) {
        TraceLog_Printf("GestIpcPublic_TrtReveiveBufferAndTrt : ToolShare_ReadData Error : %d\n",
                        static_cast<int>(l_i_Status));
        return l_i_Status;
    }
    l_i_Status = GestIpcPublic_HandleReveiveBuffer(io_px_Server, l_puc_Request, i_ul_Length,
                                                   o_ppuc_Response, o_pul_ResponseLength);
    free(l_puc_Request);
    return l_i_Status;
}

int32_t GestIpcPublic_HandleReveiveBuffer(GestIpcPublic_Server* io_px_Server,
                                          const uint8_t* i_puc_Request, uint32_t i_ul_Length,
                                          uint8_t** o_ppuc_Response,
                                          uint32_t* o_pul_ResponseLength) {
    *o_ppuc_Response = nullptr;
    *o_pul_ResponseLength = 0;
    // A request too short to hold a command code is logged with code 0.
    const uint32_t l_ul_Command =
        (i_puc_Request != nullptr && i_ul_Length > COMMANDE_OFFSET_COMMANDE)
            ? i_puc_Request[COMMANDE_OFFSET_COMMANDE]
            : 0;
    TraceLog_Printf("GestIpcPublic_HandleReveiveBuffer cmd:0x%02X (%s)\n", l_ul_Command,
                    GestIpcPublic_CommandName(l_ul_Command));
    int32_t l_i_Status;
    if (ToolShareSrv_IsPrivateConnectRequest(i_puc_Request, i_ul_Length) == TULVO_OK) {
        l_i_Status = GestIpcPublic_TrtCreatePrivateChannelRequest(
            io_px_Server, i_puc_Request, i_ul_Length, o_ppuc_Response, o_pul_ResponseLength);
    } else if (GestIpcPublic_IsEnumDeviceRequest(i_puc_Request, i_ul_Length) == TULVO_OK) {
        l_i_Status = GestIpcPublic_TrtEnumDeviceRequest(i_puc_Request, i_ul_Length, o_ppuc_Response,
                                                        o_pul_ResponseLength);
    } else if (GestIpcPublic_IsServerInfos(i_puc_Request, i_ul_Length) == TULVO_OK) {
        l_i_Status = GestIpcPublic_TrtServerInfosRequest(i_puc_Request, i_ul_Length,
                                                         o_ppuc_Response, o_pul_ResponseLength);
    } else {
        TraceLog_Printf("GestIpcPublic_HandleReveiveBuffer TULVO_BAD_IPC_FORMAT\n");
        l_i_Status = TULVO_BAD_IPC_FORMAT;
    }
    if (l_i_Status == TULVO_OK) {
        return TULVO_OK;
    }
    TraceLog_Printf("GestIpcPublic_HandleReveiveBuffer Reply Err 0x%02X\n",
                    static_cast<unsigned>(l_i_Status));
    GestIpc_FreeBuffer(*o_ppuc_Response);
    return GestIpc_AllocStatusResponse(i_puc_Request, i_ul_Length, o_ppuc_Response,
                                       o_pul_ResponseLength, l_i_Status);
}

int32_t GestIpcPublic_TrtEnumDeviceRequest(const uint8_t* i_puc_Request, uint32_t i_ul_Length,
                                           uint8_t** o_ppuc_Response,
                                           uint32_t* o_pul_ResponseLength) {
    TulvoEnum_DeviceProperties* l_px_List = nullptr;
    int32_t l_i_Count = 0;
    int32_t l_i_Status = TulvoServ_EnumDevices(&l_px_List, &l_i_Count);
    if (l_i_Status != TULVO_OK) {
        TraceLog_Printf("GestIpcPublic_TrtEnumDeviceRequest TulvoServ_EnumDevices Err:0x%02X\n",
                        static_cast<unsigned>(l_i_Status));
        return GestIpc_AllocStatusResponse(i_puc_Request, i_ul_Length, o_ppuc_Response,
                                           o_pul_ResponseLength, l_i_Status);
    }
    l_i_Status = GestIpcPublic_BuildEnumDeviceResponse(l_px_List, static_cast<uint32_t>(l_i_Count),
                                                       i_puc_Request, i_ul_Length, o_ppuc_Response,
                                                       o_pul_ResponseLength);
    TulvoServ_FreeDeviceList(&l_px_List, l_i_Count);
    return l_i_Status;
}

int32_t GestIpcPublic_TrtServerInfosRequest(const uint8_t* i_puc_Request, uint32_t i_ul_Length,
                                            uint8_t** o_ppuc_Response,
                                            uint32_t* o_pul_ResponseLength) {
    uint32_t l_ul_InfoType = 0;
    uint32_t l_ul_Value = 0;
    int32_t l_i_Status =
        GestIpcPublic_ReadServerInfos(i_puc_Request, i_ul_Length, &l_ul_InfoType, &l_ul_Value);
    if (l_i_Status != TULVO_OK) {
        return GestIpc_AllocStatusResponse(i_puc_Request, i_ul_Length, o_ppuc_Response,
                                           o_pul_ResponseLength, l_i_Status);
    }
    uint8_t* l_puc_Data = nullptr;
    uint32_t l_ul_DataLength = 0;
    l_i_Status =
        GestIpcPublic_ServerInfos(l_ul_InfoType, l_ul_Value, &l_puc_Data, &l_ul_DataLength);
    const int32_t l_i_Alloc =
        GestIpc_AllocDataResponse(i_puc_Request, i_ul_Length, o_ppuc_Response, o_pul_ResponseLength,
                                  l_i_Status, l_puc_Data, l_ul_DataLength);
    free(l_puc_Data);
    return l_i_Alloc;
}

int32_t GestIpcPublic_ServerInfos(uint32_t i_ul_InfoType, uint32_t i_ul_Value,
                                  uint8_t** o_ppuc_Data, uint32_t* o_pul_DataLength) {
    *o_ppuc_Data = nullptr;
    *o_pul_DataLength = 0;
    if (i_ul_InfoType == SERVERINFOS_TYPE_VERSION) {
        char* const l_pc_Version = Serv_Tulvo_GetVersionInfoString("FileVersion", nullptr);
        if (l_pc_Version != nullptr) {
            for (char* l_pc = l_pc_Version; *l_pc != '\0'; ++l_pc) {
                if (*l_pc == ',') {
                    *l_pc = '.';
                }
            }
            *o_ppuc_Data = reinterpret_cast<uint8_t*>(l_pc_Version);
            *o_pul_DataLength = static_cast<uint32_t>(strlen(l_pc_Version) + 1);
        }
        return TULVO_OK;
    }
    if (i_ul_InfoType == SERVERINFOS_TYPE_LOG) {
        switch (i_ul_Value) {
        case SERVERINFOS_LOG_OFF:
            TraceLog_Disable();
            break;
        case SERVERINFOS_LOG_ON:
            TraceLog_Enable(TRACELOG_BASENAME);
            break;
        case SERVERINFOS_LOG_CREATE_MARKER:
            TraceLog_CreateMarker(TRACELOG_BASENAME);
            break;
        case SERVERINFOS_LOG_DELETE_MARKER:
            TraceLog_DeleteMarker(TRACELOG_BASENAME);
            break;
        default:
            break;
        }
        return TULVO_OK;
    }
    if (i_ul_InfoType == SERVERINFOS_TYPE_PIPELOCKS) {
        GestIpc_PipeLock* l_px_Locks = nullptr;
        int32_t l_i_Count = 0;
        int32_t l_i_Status = TulvoServ_GetPipeLocks(&l_px_Locks, &l_i_Count);
        if (l_i_Status == TULVO_OK) {
            l_i_Status = GestIpc_BuildPipeLocks(l_px_Locks, static_cast<uint32_t>(l_i_Count),
                                                o_ppuc_Data, o_pul_DataLength);
        }
        free(l_px_Locks);
        if (l_i_Status != TULVO_OK) {
            TraceLog_Printf("GestIpcPublic_ServerInfos pipe locks Err 0x%02X\n",
                            static_cast<unsigned>(l_i_Status));
        }
        return l_i_Status;
    }
    if (i_ul_InfoType == SERVERINFOS_TYPE_CHANNELS) {
        uint32_t l_aul_Process[GESTIPC_PRIVATE_SLOT_COUNT];
        const uint32_t l_ul_Count = GestIpcSlots_ProcessIds(l_aul_Process);
        *o_ppuc_Data = static_cast<uint8_t*>(malloc(4 * (1 + l_ul_Count)));
        if (*o_ppuc_Data == nullptr) {
            return TULVO_NO_MEMORY;
        }
        *o_pul_DataLength = 4 * (1 + l_ul_Count);
        GestIpc_PutU32(*o_ppuc_Data, l_ul_Count);
        for (uint32_t l_ul_Index = 0; l_ul_Index < l_ul_Count; ++l_ul_Index) {
            GestIpc_PutU32(*o_ppuc_Data + 4 * (1 + l_ul_Index), l_aul_Process[l_ul_Index]);
        }
        return TULVO_OK;
    }
    TraceLog_Printf("GestIpcPublic_ServerInfos TULVO_BAD_PARAMETER i_ul_InfoType Unknown\n");
    return TULVO_BAD_PARAMETER;
}

int32_t GestIpcPublic_TrtCreatePrivateChannelRequest(GestIpcPublic_Server* io_px_Server,
                                                     const uint8_t* i_puc_Request,
                                                     uint32_t i_ul_Length,
                                                     uint8_t** o_ppuc_Response,
                                                     uint32_t* o_pul_ResponseLength) {
    *o_ppuc_Response = nullptr;
    *o_pul_ResponseLength = 0;
    GestIpcPrivate_Channel* const l_px_Ipc =
        static_cast<GestIpcPrivate_Channel*>(calloc(1, sizeof(GestIpcPrivate_Channel)));
    if (l_px_Ipc == nullptr) {
        TraceLog_Printf("TulvoServ_GestIpcPublic::GestIpcPublic_TrtCreatePrivateChannelRequest "
                        "Malloc Err\n");
        return TULVO_TS_BAD_ARGUMENT;
    }
    // The request is a private-connection request: its process id is there.
    const uint32_t l_ul_ProcessId = GestIpc_GetU32(i_puc_Request + 3);
    GestIpcPrivate_Slot* l_ppv_Slot = nullptr;
    int32_t l_i_Status = GestIpcSlots_Take(l_px_Ipc, l_ul_ProcessId, &l_ppv_Slot);
    if (l_i_Status != TULVO_OK) {
        TraceLog_Printf("GestIpcPublic_TrtCreatePrivateChannelRequest no channel for process "
                        "%lu: %d channels in use\n",
                        static_cast<unsigned long>(l_ul_ProcessId),
                        static_cast<int>(GestIpcSlots_Count()));
        free(l_px_Ipc);
        return l_i_Status;
    }
    // The channel's reply goes out on the public record itself: it is this thread's, and its
    // section view is already mapped.
    l_i_Status = GestIpcPrivate_Create(l_ppv_Slot, &io_px_Server->m_x_Channel, i_puc_Request,
                                       i_ul_Length, o_ppuc_Response, o_pul_ResponseLength);
    if (l_i_Status != TULVO_OK) {
        // No thread was started: the slot is free for the next request at once.
        GestIpcSlots_GiveUp(l_ppv_Slot);
        // A failure after the reply went was told to the client already: a second answer
        // would sit in the channel for the client's next request to read.
        const bool l_b_Replied = l_px_Ipc->m_x_Reply.m_aul_Handle[2] != 0;
        free(l_px_Ipc);
        if (l_b_Replied) {
            return TULVO_OK;
        }
    }
    return l_i_Status;
}
