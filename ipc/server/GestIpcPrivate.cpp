// The private channel server: one receive thread per client connection, serving its requests
// one at a time, and the thread-owned teardown (who releases what is in GestIpcServer.h).
#include "ipc/protocol/GestIpcFormat.h"
#include "ipc/protocol/TulvoStatus.h"
#include "ipc/server/GestIpcServer.h"
#include "service/TraceLog.h"

#include <stdlib.h>

namespace {

// The channel ends: its handles, then its slot, then what only this thread still knows of.
void GestIpcPrivate_TearDown(GestIpcPrivate_Slot* io_ppv_Slot) {
    GestIpcPrivate_Channel* const l_px_Ipc = GestIpcSlots_Record(io_ppv_Slot);
    ToolShare_Close(&l_px_Ipc->m_x_Channel);
    GestIpcSlots_GiveUp(io_ppv_Slot);
    ToolShare_CloseWaitEvent(&l_px_Ipc->m_h_Cancel);
    CloseHandle(l_px_Ipc->m_h_Thread);
    free(l_px_Ipc);
}

int32_t GestIpcPrivate_HandleRequest(void* i_pv_Slot, uint32_t i_ul_Length,
                                     uint8_t** o_ppuc_Response, uint32_t* o_pul_ResponseLength) {
    return GestIpcPrivate_TrtReveiveBuffer(static_cast<void**>(i_pv_Slot), i_ul_Length,
                                           o_ppuc_Response, o_pul_ResponseLength);
}

} // namespace

int32_t GestIpcPrivate_Create(GestIpcPrivate_Slot* io_ppv_Slot, ToolShare_Channel* io_px_Public,
                              const uint8_t* i_puc_Request, uint32_t i_ul_Length,
                              uint8_t** o_ppuc_Response, uint32_t* o_pul_ResponseLength) {
    *o_ppuc_Response = nullptr;
    *o_pul_ResponseLength = 0;
    GestIpcPrivate_Channel* const l_px_Ipc =
        io_ppv_Slot != nullptr ? GestIpcSlots_Record(io_ppv_Slot) : nullptr;
    if (l_px_Ipc == nullptr) {
        return TULVO_TS_BAD_ARGUMENT;
    }
    // The cancel event comes before the reply: a channel that could never be stopped is
    // refused while the client can still be told so.
    int32_t l_i_Status = GestIpcServer_InitializeWaitEvent(&l_px_Ipc->m_h_Cancel);
    if (l_i_Status == TULVO_OK && l_px_Ipc->m_h_Cancel == nullptr) {
        l_i_Status = TULVO_CREATE_OBJECT_FAILED;
    }
    if (l_i_Status != TULVO_OK) {
        TraceLog_Printf("GestIpcPrivate_Create : ToolShare_InitializeWaitEvent() Error : %d\n",
                        static_cast<int>(l_i_Status));
        return l_i_Status;
    }
    // The thread exists, suspended, before the reply goes: once the client has its reply no
    // failure may answer it again, and a thread that cannot be made is refused while the
    // client can still be told so.
    l_px_Ipc->m_h_Thread = GestIpcServer_CreateSuspendedThread(
        GestIpcPrivate_ThreadReceptProc, const_cast<void**>(io_ppv_Slot), &l_px_Ipc->m_ul_ThreadId);
    if (l_px_Ipc->m_h_Thread == nullptr) {
        TraceLog_SysError("GestIpcPrivate_Create ThreadReceptProc");
        ToolShare_CloseWaitEvent(&l_px_Ipc->m_h_Cancel);
        return TULVO_SIGNAL_ERROR;
    }
    l_px_Ipc->m_ull_Created = GetTickCount64();
    l_i_Status = ToolShareSrv_CreatePrivateConnect(
        GestIpcPublic_GetParam(), &l_px_Ipc->m_x_Channel, io_px_Public, i_puc_Request, i_ul_Length,
        nullptr, GESTIPC_CREATE_TIMEOUT_MS, &l_px_Ipc->m_x_Reply);
    if (l_i_Status != TULVO_OK) {
        TraceLog_Printf("GestIpcPrivate_CGestIpcPrivate : ToolShareSrv_CreatePrivateConnect "
                        "Error : %d\n",
                        static_cast<int>(l_i_Status));
    }
    const bool l_b_Resumed =
        GestIpcServer_ResumeThread(l_px_Ipc->m_h_Thread) != static_cast<DWORD>(-1);
    if (!l_b_Resumed) {
        TraceLog_SysError("GestIpcPrivate_Create ResumeThread");
        if (l_i_Status == TULVO_OK) {
            // The client has its reply, but nobody would ever serve the channel: it is
            // closed like a failed creation, and the client's requests run into their
            // time-outs.
            ToolShare_Close(&l_px_Ipc->m_x_Channel);
            l_i_Status = TULVO_SIGNAL_ERROR;
        }
    }
    if (l_i_Status != TULVO_OK) {
        // The thread finds no channel and ends at once, releasing nothing: all is ours.
        if (l_b_Resumed) {
            WaitForSingleObject(l_px_Ipc->m_h_Thread, INFINITE);
        } else {
            TerminateThread(l_px_Ipc->m_h_Thread, 0);
        }
        CloseHandle(l_px_Ipc->m_h_Thread);
        l_px_Ipc->m_h_Thread = nullptr;
        ToolShare_CloseWaitEvent(&l_px_Ipc->m_h_Cancel);
    }
    return l_i_Status;
}

int32_t GestIpcPrivate_Stop(GestIpcPrivate_Slot* io_ppv_Slot) {
    TraceLog_Printf("GestIpcPrivate_Stop\n");
    HANDLE l_h_Thread = nullptr;
    if (GestIpcSlots_Cancel(io_ppv_Slot, &l_h_Thread) && l_h_Thread != nullptr) {
        WaitForSingleObject(l_h_Thread, GESTIPC_STOP_WAIT_MS);
        CloseHandle(l_h_Thread);
    }
    return TULVO_OK;
}

DWORD WINAPI GestIpcPrivate_ThreadReceptProc(LPVOID i_pv_Slot) {
    GestIpcPrivate_Slot* const l_ppv_Slot = static_cast<void**>(i_pv_Slot);
    GestIpcPrivate_Channel* const l_px_Ipc = GestIpcSlots_Record(l_ppv_Slot);
    if (l_px_Ipc->m_x_Channel.m_h_Incoming == nullptr) {
        // The channel could not be made: its creator releases everything.
        return static_cast<DWORD>(TULVO_TS_BAD_ARGUMENT);
    }
    TraceLog_Printf("GestIpcPrivate_ThreadReceptProc\n");
    const uint32_t l_ul_UnlinkedLimit = GestIpcServer_UnlinkedLimitMs();
    int32_t l_i_Status = TULVO_OK;
    for (;;) {
        // Ends on the client's exit, the cancel event (DESTROYCONX, the stop) or a quit; while
        // the channel is unlinked, also once it has been so for too long.
        uint32_t l_ul_Wait = INFINITE;
        if (l_px_Ipc->m_px_GestVek == nullptr) {
            const ULONGLONG l_ull_Age = GetTickCount64() - l_px_Ipc->m_ull_Created;
            l_ul_Wait = l_ull_Age < l_ul_UnlinkedLimit
                            ? static_cast<uint32_t>(l_ul_UnlinkedLimit - l_ull_Age)
                            : 0;
        }
        l_i_Status = ToolShare_WaitData(&l_px_Ipc->m_x_Channel, l_px_Ipc->m_h_Cancel, l_ul_Wait);
        if (l_i_Status == TULVO_TS_TIMEOUT) {
            // The request named a process that does not use the channel (or one that died or
            // hung before linking): the slot goes back, and so do the handles it was given.
            TraceLog_Printf("GestIpcPrivate_ThreadReceptProc channel of process %lu not linked "
                            "within %lu ms, closed\n",
                            static_cast<unsigned long>(l_px_Ipc->m_x_Channel.m_ul_ProcessId),
                            static_cast<unsigned long>(l_ul_UnlinkedLimit));
            ToolShareSrv_WithdrawPrivateConnect(&l_px_Ipc->m_x_Channel, &l_px_Ipc->m_x_Reply);
            break;
        }
        if (l_i_Status != TULVO_OK) {
            break;
        }
        l_i_Status = GestIpcServer_ServeOneRequest(
            &l_px_Ipc->m_x_Channel, l_px_Ipc->m_h_Cancel,
            "CGestIpc::ThreadProc :", GESTIPC_PRIVATE_MAX_REQUEST, GestIpcPrivate_HandleRequest,
            const_cast<void**>(l_ppv_Slot));
        if (l_i_Status != TULVO_OK) {
            TraceLog_Printf("CGestIpc::ThreadProc TrtReveiveBufferAndTrt Err 0x%02X\n",
                            static_cast<unsigned>(l_i_Status));
            break;
        }
    }
    GestIpcPrivate_TearDown(l_ppv_Slot);
    return static_cast<DWORD>(l_i_Status);
}

int32_t GestIpcPrivate_TrtReveiveBuffer(GestIpcPrivate_Slot* io_ppv_Slot, uint32_t i_ul_Length,
                                        uint8_t** o_ppuc_Response, uint32_t* o_pul_ResponseLength) {
    *o_ppuc_Response = nullptr;
    *o_pul_ResponseLength = 0;
    GestIpcPrivate_Channel* const l_px_Ipc = GestIpcSlots_Record(io_ppv_Slot);
    uint8_t* l_puc_Request = nullptr;
    int32_t l_i_Status = GestIpcServer_ReadRequest(&l_px_Ipc->m_x_Channel, l_px_Ipc->m_h_Cancel,
                                                   i_ul_Length, &l_puc_Request);
    if (l_i_Status != TULVO_OK) {
        TraceLog_Printf("CGestIpc::TrtReveiveBuffer : ToolShare_ReadData Error : %d\n",
                        static_cast<int>(l_i_Status));
        return l_i_Status;
    }
    l_i_Status = GestIpcPrivate_HandleReveiveBuffer(io_ppv_Slot, l_puc_Request, i_ul_Length,
                                                    o_ppuc_Response, o_pul_ResponseLength);
    free(l_puc_Request);
    return l_i_Status;
}

int32_t GestIpcPrivate_HandleReveiveBuffer(GestIpcPrivate_Slot* io_ppv_Slot,
                                           const uint8_t* i_puc_Request, uint32_t i_ul_Length,
                                           uint8_t** o_ppuc_Response,
                                           uint32_t* o_pul_ResponseLength) {
    *o_ppuc_Response = nullptr;
    *o_pul_ResponseLength = 0;
    // A request too short to hold a command code is logged with code 0.
    const uint32_t l_ul_Logged =
        (i_puc_Request != nullptr && i_ul_Length > COMMANDE_OFFSET_COMMANDE)
            ? i_puc_Request[COMMANDE_OFFSET_COMMANDE]
            : 0;
    TraceLog_Printf("GestIpcPrivate_HandleReveiveBuffer cmd:0x%02X (%s)\n", l_ul_Logged,
                    GestIpcPrivate_CommandName(l_ul_Logged));
    uint32_t l_ul_Commande = 0;
    const int32_t l_i_Status =
        GestIpcPrivate_GetCommande(i_puc_Request, i_ul_Length, &l_ul_Commande);
    if (l_i_Status != TULVO_OK) {
        TraceLog_Printf("GestIpcPrivate_HandleReveiveBuffer GestIpcPrivate_GetCommande Error "
                        "0x%02X\n",
                        static_cast<unsigned>(l_i_Status));
        return GestIpc_AllocStatusResponse(i_puc_Request, i_ul_Length, o_ppuc_Response,
                                           o_pul_ResponseLength, l_i_Status);
    }
    GestIpcPrivate_Handler l_pf_Handler = nullptr;
    if (l_ul_Commande == BYTE2_DESTROYCONX) {
        l_pf_Handler = GestIpcPrivate_TrtDestroyConx;
    } else if (GestIpcSlots_Record(io_ppv_Slot)->m_px_GestVek == nullptr) {
        if (l_ul_Commande != BYTE2_LINKPRIVATECONX) {
            // No response: the channel ends and the client's wait runs into its time-out.
            TraceLog_Printf(
                "GestIpcPrivate_HandleReveiveBuffer l_ul_Commande != BYTE2_LINKPRIVATECONX\n");
            return TULVO_BAD_PARAMETER;
        }
        l_pf_Handler = GestIpcPrivate_TrtLinkVEK;
    } else {
        switch (l_ul_Commande) {
        case BYTE2_LOCKPIPE:
            l_pf_Handler = GestIpcPrivate_TrtLockPipe;
            break;
        case BYTE2_UNLOCKPIPE:
            l_pf_Handler = GestIpcPrivate_TrtUnLockPipe;
            break;
        case BYTE2_SENDBUFFER:
            l_pf_Handler = GestIpcPrivate_TrtSendToPipe;
            break;
        case BYTE2_RECVBUFFER:
            l_pf_Handler = GestIpcPrivate_TrtRecvFromPipe;
            break;
        case BYTE2_WAITFORREBOOT:
            l_pf_Handler = GestIpcPrivate_TrtReboot;
            break;
        default:
            // A channel is linked once for its whole life.
            TraceLog_Printf("GestIpcPrivate_HandleReveiveBuffer Err TULVO_BAD_IPC_FORMAT "
                            "l_ul_Commande Unknown");
            return GestIpc_AllocStatusResponse(i_puc_Request, i_ul_Length, o_ppuc_Response,
                                               o_pul_ResponseLength, TULVO_BAD_IPC_FORMAT);
        }
    }
    return l_pf_Handler(io_ppv_Slot, i_puc_Request, i_ul_Length, o_ppuc_Response,
                        o_pul_ResponseLength);
}
