// The private channel's command handlers: link, lock and unlock, send, receive, reboot,
// destroy. Each command holds the linked device object for its own length only (the rule is
// in device/monitor/HideDlg.h): a sensor unplugged meanwhile ends the command's waits with a
// status, and its object goes once the command lets go.
#include "device/manager/GestVekRecords.h"
#include "ipc/protocol/GestIpcFormat.h"
#include "ipc/protocol/TulvoStatus.h"
#include "ipc/server/GestIpcServer.h"
#include "service/EventLog.h"
#include "service/TraceLog.h"

#include <string.h>

namespace {

int32_t GestIpcPrivate_Answer(const uint8_t* i_puc_Request, uint32_t i_ul_Length,
                              uint8_t** o_ppuc_Response, uint32_t* o_pul_ResponseLength,
                              int32_t i_i_Status) {
    return GestIpc_AllocStatusResponse(i_puc_Request, i_ul_Length, o_ppuc_Response,
                                       o_pul_ResponseLength, i_i_Status);
}

// A failed step of a command, in the line every command writes: "<command> <step> Err 0x..".
void GestIpcPrivate_LogErr(const char* i_pc_Command, const char* i_pc_Step, int32_t i_i_Status) {
    TraceLog_Printf("%s %s Err 0x%02X\n", i_pc_Command, i_pc_Step,
                    static_cast<unsigned>(i_i_Status));
}

// The linked device's pipe for one command, with the hold that keeps it valid. A device
// object that is not open and may not be opened gives no pipe: that is a failure here.
int32_t GestIpcPrivate_TakePipe(const GestIpcPrivate_Channel* i_px_Ipc, CGestVekHold* o_px_Hold,
                                CGestVek_Pipe** o_ppx_Pipe) {
    *o_ppx_Pipe = nullptr;
    int32_t l_i_Status =
        TulvoServ_GetPipe(i_px_Ipc->m_px_GestVek, static_cast<int32_t>(i_px_Ipc->m_ul_PipeIndex),
                          o_px_Hold, o_ppx_Pipe);
    if (l_i_Status == TULVO_OK && *o_ppx_Pipe == nullptr) {
        l_i_Status = TULVO_PORT_NOT_OPEN;
    }
    if (l_i_Status != TULVO_OK) {
        *o_ppx_Pipe = nullptr;
        o_px_Hold->Reset();
    }
    return l_i_Status;
}

// How every pipe command begins: the dispatcher's test for a link, repeated with the
// command's own line, then the pipe, each failure logged in the command's name. With
// i_b_Relink, an entry left empty (the device went since the link) is looked up again by the
// key: the device may be back under the same serial number, on this port or another.
int32_t GestIpcPrivate_LinkedPipe(GestIpcPrivate_Channel* io_px_Ipc, const char* i_pc_Command,
                                  bool i_b_Relink, CGestVekHold* o_px_Hold,
                                  CGestVek_Pipe** o_ppx_Pipe) {
    *o_ppx_Pipe = nullptr;
    if (io_px_Ipc->m_px_GestVek == nullptr) {
        TraceLog_Printf("%s Err: TULVO_DEVICE_NOT_PRESENT (*i_ppx_Ipc)->m_px_GestVek == NULL\n",
                        i_pc_Command);
        return TULVO_DEVICE_NOT_PRESENT;
    }
    int32_t l_i_Status = GestIpcPrivate_TakePipe(io_px_Ipc, o_px_Hold, o_ppx_Pipe);
    if (i_b_Relink && l_i_Status == TULVO_BAD_PARAMETER) {
        TulvoServ_VekEntry* l_px_Entry = nullptr;
        l_i_Status = TulvoServ_GetGestVek(io_px_Ipc->m_ac_DeviceKey, &l_px_Entry);
        if (l_i_Status != TULVO_OK) {
            GestIpcPrivate_LogErr(i_pc_Command, "TulvoServ_GetGestVek", l_i_Status);
            return l_i_Status;
        }
        io_px_Ipc->m_px_GestVek = l_px_Entry;
        l_i_Status = GestIpcPrivate_TakePipe(io_px_Ipc, o_px_Hold, o_ppx_Pipe);
    }
    if (l_i_Status != TULVO_OK) {
        GestIpcPrivate_LogErr(i_pc_Command, "TulvoServ_GetPipe", l_i_Status);
    }
    return l_i_Status;
}

} // namespace

int32_t GestIpcPrivate_TrtDestroyConx(GestIpcPrivate_Slot* io_ppv_Slot,
                                      const uint8_t* i_puc_Request, uint32_t i_ul_Length,
                                      uint8_t** o_ppuc_Response, uint32_t* o_pul_ResponseLength) {
    // The response still goes out; the next wait for a request then ends at once. A pipe lock
    // still held is left to be taken over by the next client.
    const int32_t l_i_Status =
        ToolShare_CancelWaitData(GestIpcSlots_Record(io_ppv_Slot)->m_h_Cancel);
    if (l_i_Status != TULVO_OK) {
        TraceLog_Printf("CGestIpc::CGestIpc_Stop : ToolShare_CancelWaitData Error : %d\n",
                        static_cast<int>(l_i_Status));
    }
    return GestIpcPrivate_Answer(i_puc_Request, i_ul_Length, o_ppuc_Response, o_pul_ResponseLength,
                                 l_i_Status);
}

int32_t GestIpcPrivate_TrtLinkVEK(GestIpcPrivate_Slot* io_ppv_Slot, const uint8_t* i_puc_Request,
                                  uint32_t i_ul_Length, uint8_t** o_ppuc_Response,
                                  uint32_t* o_pul_ResponseLength) {
    GestIpcPrivate_Channel* const l_px_Ipc = GestIpcSlots_Record(io_ppv_Slot);
    GestIpc_PrivateRequest l_x_Request;
    int32_t l_i_Status = GestIpcPrivate_ReadRequest(i_puc_Request, i_ul_Length, &l_x_Request);
    if (l_i_Status != TULVO_OK) {
        TraceLog_Printf("GestIpcPrivate_TrtLinkVEK Err: TULVO_BAD_IPC_FORMAT\n");
        return GestIpcPrivate_Answer(i_puc_Request, i_ul_Length, o_ppuc_Response,
                                     o_pul_ResponseLength, l_i_Status);
    }
    l_px_Ipc->m_ul_PipeIndex = l_x_Request.m_ul_PipeIndex;
    memcpy(l_px_Ipc->m_ac_DeviceKey, l_x_Request.m_pc_DeviceKey,
           l_x_Request.m_ul_DeviceKeyLength + 1);
    TulvoServ_VekEntry* l_px_Entry = nullptr;
    l_i_Status = TulvoServ_GetGestVek(l_px_Ipc->m_ac_DeviceKey, &l_px_Entry);
    if (l_i_Status != TULVO_OK) {
        GestIpcPrivate_LogErr("GestIpcPrivate_TrtLinkVEK", "TulvoServ_GetGestVek", l_i_Status);
    } else {
        l_px_Ipc->m_px_GestVek = l_px_Entry;
    }
    return GestIpcPrivate_Answer(i_puc_Request, i_ul_Length, o_ppuc_Response, o_pul_ResponseLength,
                                 l_i_Status);
}

int32_t GestIpcPrivate_TrtLockPipe(GestIpcPrivate_Slot* io_ppv_Slot, const uint8_t* i_puc_Request,
                                   uint32_t i_ul_Length, uint8_t** o_ppuc_Response,
                                   uint32_t* o_pul_ResponseLength) {
    const char* const l_pc_Command = "GestIpcPrivate_TrtLockPipe";
    GestIpcPrivate_Channel* const l_px_Ipc = GestIpcSlots_Record(io_ppv_Slot);
    GestIpc_PrivateRequest l_x_Request;
    int32_t l_i_Status = GestIpcPrivate_ReadRequest(i_puc_Request, i_ul_Length, &l_x_Request);
    CGestVekHold l_x_Hold;
    CGestVek_Pipe* l_px_GestVek_Pipe = nullptr;
    if (l_i_Status == TULVO_OK) {
        l_i_Status =
            GestIpcPrivate_LinkedPipe(l_px_Ipc, l_pc_Command, true, &l_x_Hold, &l_px_GestVek_Pipe);
    }
    if (l_i_Status == TULVO_OK) {
        // The lock belongs to this thread, so to this channel, until UNLOCKPIPE or the
        // channel's end (then abandoned, for the next client to take over). The wait ends
        // with the client process: a client killed while it waits must not keep its channel,
        // nor a lock it took before, until the holder lets go.
        l_i_Status = l_px_GestVek_Pipe->GetTheLock(l_x_Request.m_ul_TimeOut, io_ppv_Slot,
                                                   l_px_Ipc->m_x_Channel.m_ul_ProcessId,
                                                   l_px_Ipc->m_x_Channel.m_h_Peer);
        if (l_i_Status != TULVO_OK) {
            GestIpcPrivate_LogErr(l_pc_Command, "l_px_GestVek_Pipe->GetTheLock", l_i_Status);
        }
    }
    return GestIpcPrivate_Answer(i_puc_Request, i_ul_Length, o_ppuc_Response, o_pul_ResponseLength,
                                 l_i_Status);
}

int32_t GestIpcPrivate_TrtUnLockPipe(GestIpcPrivate_Slot* io_ppv_Slot, const uint8_t* i_puc_Request,
                                     uint32_t i_ul_Length, uint8_t** o_ppuc_Response,
                                     uint32_t* o_pul_ResponseLength) {
    const char* const l_pc_Command = "GestIpcPrivate_TrtUnLockPipe";
    CGestVekHold l_x_Hold;
    CGestVek_Pipe* l_px_GestVek_Pipe = nullptr;
    int32_t l_i_Status = GestIpcPrivate_LinkedPipe(GestIpcSlots_Record(io_ppv_Slot), l_pc_Command,
                                                   false, &l_x_Hold, &l_px_GestVek_Pipe);
    if (l_i_Status == TULVO_OK) {
        l_i_Status = l_px_GestVek_Pipe->ReleaseTheLock();
        if (l_i_Status != TULVO_OK) {
            GestIpcPrivate_LogErr(l_pc_Command, "l_px_GestVek_Pipe->ReleaseTheLock", l_i_Status);
        }
    }
    return GestIpcPrivate_Answer(i_puc_Request, i_ul_Length, o_ppuc_Response, o_pul_ResponseLength,
                                 l_i_Status);
}

int32_t GestIpcPrivate_TrtSendToPipe(GestIpcPrivate_Slot* io_ppv_Slot, const uint8_t* i_puc_Request,
                                     uint32_t i_ul_Length, uint8_t** o_ppuc_Response,
                                     uint32_t* o_pul_ResponseLength) {
    const char* const l_pc_Command = "GestIpcPrivate_TrtSendToPipe";
    GestIpc_PrivateRequest l_x_Request;
    int32_t l_i_Status = GestIpcPrivate_ReadRequest(i_puc_Request, i_ul_Length, &l_x_Request);
    CGestVekHold l_x_Hold;
    CGestVek_Pipe* l_px_GestVek_Pipe = nullptr;
    if (l_i_Status != TULVO_OK) {
        TraceLog_Printf("GestIpcPrivate_TrtSendToPipe Err: TULVO_BAD_IPC_FORMAT "
                        "i_i_ReceivedDataSize < SENDBUFFER_OFFSET_CMD_LENBUFFER\n");
    } else {
        l_i_Status = GestIpcPrivate_LinkedPipe(GestIpcSlots_Record(io_ppv_Slot), l_pc_Command,
                                               false, &l_x_Hold, &l_px_GestVek_Pipe);
    }
    if (l_i_Status == TULVO_OK) {
        l_i_Status = l_px_GestVek_Pipe->WriteFrame(
            l_x_Request.m_ul_TimeOut, l_x_Request.m_puc_Frame, l_x_Request.m_ul_FrameLength);
        if (l_i_Status != TULVO_OK) {
            GestIpcPrivate_LogErr(l_pc_Command, "l_px_GestVek_Pipe->WriteFrame", l_i_Status);
        }
    }
    return GestIpcPrivate_Answer(i_puc_Request, i_ul_Length, o_ppuc_Response, o_pul_ResponseLength,
                                 l_i_Status);
}

int32_t GestIpcPrivate_TrtRecvFromPipe(GestIpcPrivate_Slot* io_ppv_Slot,
                                       const uint8_t* i_puc_Request, uint32_t i_ul_Length,
                                       uint8_t** o_ppuc_Response, uint32_t* o_pul_ResponseLength) {
    const char* const l_pc_Command = "GestIpcPrivate_TrtRecvFromPipe";
    GestIpcPrivate_Channel* const l_px_Ipc = GestIpcSlots_Record(io_ppv_Slot);
    GestIpc_PrivateRequest l_x_Request;
    int32_t l_i_Status = GestIpcPrivate_ReadRequest(i_puc_Request, i_ul_Length, &l_x_Request);
    if (l_i_Status != TULVO_OK) {
        // Not a RECVBUFFER yet: the plain status response.
        return GestIpcPrivate_Answer(i_puc_Request, i_ul_Length, o_ppuc_Response,
                                     o_pul_ResponseLength, l_i_Status);
    }
    CGestVekHold l_x_Hold;
    CGestVek_Pipe* l_px_GestVek_Pipe = nullptr;
    l_i_Status =
        GestIpcPrivate_LinkedPipe(l_px_Ipc, l_pc_Command, false, &l_x_Hold, &l_px_GestVek_Pipe);
    uint8_t* l_puc_Frame = nullptr;
    uint32_t l_ul_FrameLength = 0;
    if (l_i_Status == TULVO_OK) {
        // The client process as application handle: its exit ends the wait.
        l_i_Status =
            l_px_GestVek_Pipe->ReadFrame(l_x_Request.m_ul_TimeOut, &l_puc_Frame, &l_ul_FrameLength,
                                         l_px_Ipc->m_x_Channel.m_h_Peer);
        if (l_i_Status != TULVO_OK) {
            GestIpcPrivate_LogErr(l_pc_Command, "l_px_GestVek_Pipe->ReadFrame", l_i_Status);
        }
    }
    const int32_t l_i_Alloc = GestIpc_AllocDataResponse(
        i_puc_Request, i_ul_Length, o_ppuc_Response, o_pul_ResponseLength, l_i_Status, l_puc_Frame,
        l_puc_Frame != nullptr ? l_ul_FrameLength : 0);
    if (l_px_GestVek_Pipe != nullptr) {
        l_px_GestVek_Pipe->FreeReadFrame(&l_puc_Frame);
    }
    return l_i_Alloc;
}

int32_t GestIpcPrivate_TrtReboot(GestIpcPrivate_Slot* io_ppv_Slot, const uint8_t* i_puc_Request,
                                 uint32_t i_ul_Length, uint8_t** o_ppuc_Response,
                                 uint32_t* o_pul_ResponseLength) {
    const char* const l_pc_Command = "GestIpcPrivate_TrtReboot";
    GestIpcPrivate_Channel* const l_px_Ipc = GestIpcSlots_Record(io_ppv_Slot);
    GestIpc_PrivateRequest l_x_Request;
    int32_t l_i_Status = GestIpcPrivate_ReadRequest(i_puc_Request, i_ul_Length, &l_x_Request);
    CGestVekHold l_x_Hold;
    CGestVek_Pipe* l_px_GestVek_Pipe = nullptr;
    if (l_i_Status == TULVO_OK) {
        l_i_Status =
            GestIpcPrivate_LinkedPipe(l_px_Ipc, l_pc_Command, false, &l_x_Hold, &l_px_GestVek_Pipe);
    }
    char l_ac_SerialNumber[GESTVEK_SERIAL_NUMBER_SIZE] = {};
    if (l_i_Status == TULVO_OK) {
        l_i_Status = l_px_GestVek_Pipe->GetSerialNumber(l_ac_SerialNumber);
        if (l_i_Status != TULVO_OK) {
            GestIpcPrivate_LogErr(l_pc_Command, "l_px_GestVek_Pipe->GetSerialNumber", l_i_Status);
        }
    }
    if (l_i_Status != TULVO_OK) {
        return GestIpcPrivate_Answer(i_puc_Request, i_ul_Length, o_ppuc_Response,
                                     o_pul_ResponseLength, l_i_Status);
    }
    // Registered before the frame goes, so that a device that leaves at once is not missed.
    HANDLE l_h_EventRemoval = nullptr;
    HANDLE l_h_EventArrival = nullptr;
    l_i_Status =
        TulvoServ_PrepareForReboot(l_px_GestVek_Pipe->GetDeviceSerialNumber(), l_ac_SerialNumber,
                                   &l_h_EventRemoval, &l_h_EventArrival);
    if (l_i_Status != TULVO_OK) {
        GestIpcPrivate_LogErr(l_pc_Command, "TulvoServ_PrepareForReboot", l_i_Status);
        return GestIpcPrivate_Answer(i_puc_Request, i_ul_Length, o_ppuc_Response,
                                     o_pul_ResponseLength, l_i_Status);
    }
    l_i_Status = l_px_GestVek_Pipe->WriteFrame(l_x_Request.m_ul_TimeOut, l_x_Request.m_puc_Frame,
                                               l_x_Request.m_ul_FrameLength);
    if (l_i_Status != TULVO_OK) {
        GestIpcPrivate_LogErr(l_pc_Command, "l_px_GestVek_Pipe->WriteFrame", l_i_Status);
    }
    // The old device object must be free to go while its sensor restarts.
    l_px_GestVek_Pipe = nullptr;
    l_x_Hold.Reset();
    if (l_i_Status == TULVO_OK) {
        // Ends with the client process too: its registration must not outlive it.
        l_i_Status =
            TulvoServ_WaitForReboot(l_h_EventRemoval, l_h_EventArrival, l_x_Request.m_ul_RebootWait,
                                    l_px_Ipc->m_x_Channel.m_h_Peer);
        if (l_i_Status != TULVO_OK) {
            GestIpcPrivate_LogErr(l_pc_Command, "TulvoServ_WaitForReboot", l_i_Status);
            EventLog_RestartEnded(l_ac_SerialNumber, l_x_Request.m_ul_RebootWait, l_i_Status);
        }
    }
    if (l_i_Status == TULVO_OK) {
        TulvoServ_VekEntry* l_px_Entry = nullptr;
        l_i_Status = TulvoServ_GetGestVek(l_ac_SerialNumber, &l_px_Entry);
        if (l_i_Status != TULVO_OK) {
            GestIpcPrivate_LogErr(l_pc_Command, "TulvoServ_GetGestVek", l_i_Status);
        } else {
            l_px_Ipc->m_px_GestVek = l_px_Entry;
        }
    }
    // Only this channel's registration: another channel may await the same serial number.
    TulvoServ_CleanForReboot(l_ac_SerialNumber, l_h_EventRemoval);
    return GestIpcPrivate_Answer(i_puc_Request, i_ul_Length, o_ppuc_Response, o_pul_ResponseLength,
                                 l_i_Status);
}
