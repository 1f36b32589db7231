// One call per protocol command: build the request, exchange it, check the response's head
// and take out what the command returns. Responses come from another process and are read
// only within their length: one too short for its head, or announcing more data than it
// carries, is TULVO_BAD_IPC_FORMAT.
#include "ipc/client/Client.h"

#include "ipc/protocol/GestIpcFormat.h"
#include "ipc/protocol/TulvoStatus.h"
#include "service/TraceLog.h"

#include <stdlib.h>
#include <string.h>

namespace {

// The names a command call's trace lines carry. Two calls log under another call's name
// (SERVERINFOS under Client_EnumDevices, WAITFORREBOOT under Client_WriteFrameCmd): the trace
// texts have always read that way, and people who read them know them so.
struct CCommandTexts {
    const char* m_pc_Call;
    const char* m_pc_Command;
};

const CCommandTexts g_x_EnumTexts = {"Client_EnumDevices", "ENUMDEVICE"};
const CCommandTexts g_x_LinkTexts = {"Client_LinkCmd", "LINK PRIVATE CONX"};
const CCommandTexts g_x_LockTexts = {"Client_LockCmd", "LOCK PIPE"};
const CCommandTexts g_x_UnLockTexts = {"Client_UnLockCmd", "UNLOCK PIPE"};
const CCommandTexts g_x_WriteFrameTexts = {"Client_WriteFrameCmd", "SEND BUFFER"};
const CCommandTexts g_x_ReadFrameTexts = {"Client_ReadFrameCmd", "RECEIVE BUFFER"};
const CCommandTexts g_x_DestroyTexts = {"Client_DestroyCmd", "DESTROY PRIVATE CONX"};

// A request as a builder made it; the builder's status decides whether it exists.
struct CRequest {
    int32_t m_i_BuildStatus;
    uint8_t* m_puc_Bytes;
    uint32_t m_ul_Length;
};

// Where a request goes: a channel and, for a pipe, its mark of an answer still owed.
struct CTarget {
    ToolShare_Channel* m_px_Channel;
    bool* m_pb_AnswerLate;
};

CTarget OnPipe(Client_PipeConx* i_px_Pipe) {
    return {&i_px_Pipe->m_x_Channel, &i_px_Pipe->m_b_AnswerLate};
}

CTarget OnPublic(ToolShare_Channel* i_px_Public) {
    return {i_px_Public, nullptr};
}

// Sends the request (freed here) and takes the response, waited for as long as the service
// may take over it (i_ul_ServiceMs) and a margin. The status of the exchange, or of a request
// that could not be built.
int32_t ExchangeRequest(CTarget i_x_Target, CRequest* io_px_Request, uint32_t i_ul_TimeOut,
                        uint32_t i_ul_ServiceMs, const CCommandTexts& i_x_Texts,
                        uint8_t** o_ppuc_Response, uint32_t* o_pul_ResponseLength) {
    *o_ppuc_Response = nullptr;
    *o_pul_ResponseLength = 0;
    if (io_px_Request->m_i_BuildStatus == TULVO_NO_MEMORY) {
        TraceLog_Printf("%s: malloc l_pc_Buffer Err\n", i_x_Texts.m_pc_Call);
    }
    if (io_px_Request->m_i_BuildStatus != TULVO_OK) {
        return io_px_Request->m_i_BuildStatus;
    }
    const int32_t l_i_Status =
        Client_Exchange(i_x_Target.m_px_Channel, i_x_Target.m_pb_AnswerLate,
                        io_px_Request->m_puc_Bytes, io_px_Request->m_ul_Length, o_ppuc_Response,
                        o_pul_ResponseLength, i_ul_TimeOut, Client_ResponseWait(i_ul_ServiceMs));
    GestIpc_FreeBuffer(io_px_Request->m_puc_Bytes);
    io_px_Request->m_puc_Bytes = nullptr;
    return l_i_Status;
}

// The status a response carries. A response whose command byte is not the request's is
// logged and read all the same. The response is freed unless the status is 0 and the caller
// wants it for its data.
int32_t CheckResponse(uint8_t* i_puc_Response, uint32_t i_ul_Length, uint32_t i_ul_Command,
                      const CCommandTexts& i_x_Texts, uint8_t** o_ppuc_Kept) {
    if (i_puc_Response == nullptr) {
        return TULVO_NO_RESPONSE;
    }
    uint32_t l_ul_Echo = 0;
    int32_t l_i_Status = TULVO_OK;
    if (GestIpc_ReadResponseHead(i_puc_Response, i_ul_Length, &l_ul_Echo, &l_i_Status) !=
        TULVO_OK) {
        l_i_Status = TULVO_BAD_IPC_FORMAT;
    } else if (l_ul_Echo != i_ul_Command) {
        TraceLog_Printf("%s IPC RESPONSE: NOT %s\n", i_x_Texts.m_pc_Call, i_x_Texts.m_pc_Command);
    }
    if (l_i_Status != TULVO_OK) {
        TraceLog_Printf("%s IPC RESPONSE: Ret=0x%08X\n", i_x_Texts.m_pc_Call,
                        static_cast<unsigned>(l_i_Status));
    }
    if (l_i_Status == TULVO_OK && o_ppuc_Kept != nullptr) {
        *o_ppuc_Kept = i_puc_Response;
    } else {
        GestIpc_FreeBuffer(i_puc_Response);
    }
    return l_i_Status;
}

// A command whose response carries nothing but its status.
int32_t RunStatusCommand(CTarget i_x_Target, CRequest i_x_Request, uint32_t i_ul_Command,
                         uint32_t i_ul_TimeOut, uint32_t i_ul_ServiceMs,
                         const CCommandTexts& i_x_Texts) {
    uint8_t* l_puc_Response = nullptr;
    uint32_t l_ul_Length = 0;
    const int32_t l_i_Status =
        ExchangeRequest(i_x_Target, &i_x_Request, i_ul_TimeOut, i_ul_ServiceMs, i_x_Texts,
                        &l_puc_Response, &l_ul_Length);
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    return CheckResponse(l_puc_Response, l_ul_Length, i_ul_Command, i_x_Texts, nullptr);
}

// A copy of n bytes that exists even for n = 0, so that "no data" and "no buffer" differ.
int32_t CopyOut(const uint8_t* i_puc_Bytes, uint32_t i_ul_Length, uint8_t** o_ppuc_Copy,
                uint32_t* o_pul_Length) {
    uint8_t* l_puc_Copy = static_cast<uint8_t*>(malloc(i_ul_Length > 0 ? i_ul_Length : 1));
    if (l_puc_Copy == nullptr) {
        return TULVO_NO_MEMORY;
    }
    if (i_ul_Length > 0) {
        memcpy(l_puc_Copy, i_puc_Bytes, i_ul_Length);
    }
    *o_ppuc_Copy = l_puc_Copy;
    *o_pul_Length = i_ul_Length;
    return TULVO_OK;
}

// A data response (SERVERINFOS, RECVBUFFER): the data bytes in a new buffer.
int32_t RunDataCommand(CTarget i_x_Target, CRequest i_x_Request, uint32_t i_ul_Command,
                       uint32_t i_ul_TimeOut, const CCommandTexts& i_x_Texts, uint8_t** o_ppuc_Data,
                       uint32_t* o_pul_DataLength) {
    *o_ppuc_Data = nullptr;
    *o_pul_DataLength = 0;
    uint8_t* l_puc_Response = nullptr;
    uint32_t l_ul_Length = 0;
    int32_t l_i_Status = ExchangeRequest(i_x_Target, &i_x_Request, i_ul_TimeOut, i_ul_TimeOut,
                                         i_x_Texts, &l_puc_Response, &l_ul_Length);
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    uint8_t* l_puc_Kept = nullptr;
    l_i_Status = CheckResponse(l_puc_Response, l_ul_Length, i_ul_Command, i_x_Texts, &l_puc_Kept);
    if (l_puc_Kept == nullptr) {
        return l_i_Status;
    }
    const uint8_t* l_puc_Data = nullptr;
    uint32_t l_ul_DataLength = 0;
    l_i_Status = GestIpc_ReadResponseData(l_puc_Kept, l_ul_Length, &l_puc_Data, &l_ul_DataLength);
    if (l_i_Status != TULVO_OK) {
        TraceLog_Printf("%s IPC RESPONSE: Ret=0x%08X\n", i_x_Texts.m_pc_Call,
                        static_cast<unsigned>(l_i_Status));
    } else {
        l_i_Status = CopyOut(l_puc_Data, l_ul_DataLength, o_ppuc_Data, o_pul_DataLength);
    }
    GestIpc_FreeBuffer(l_puc_Kept);
    return l_i_Status;
}

} // namespace

int32_t Client_EnumDevices(ToolShare_Channel* io_px_Public, uint8_t** o_ppuc_List,
                           uint32_t* o_pul_ListLength, uint32_t* o_pul_Count) {
    *o_ppuc_List = nullptr;
    *o_pul_ListLength = 0;
    *o_pul_Count = 0;
    CRequest l_x_Request = {};
    l_x_Request.m_i_BuildStatus =
        GestIpc_BuildEnumDevicesRequest(&l_x_Request.m_puc_Bytes, &l_x_Request.m_ul_Length);
    uint8_t* l_puc_Response = nullptr;
    uint32_t l_ul_Length = 0;
    // The service may wait for the device list to be built before it answers.
    int32_t l_i_Status =
        ExchangeRequest(OnPublic(io_px_Public), &l_x_Request, CLIENT_EXCHANGE_TIMEOUT,
                        CLIENT_ENUMDEVICES_MS, g_x_EnumTexts, &l_puc_Response, &l_ul_Length);
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    uint8_t* l_puc_Kept = nullptr;
    l_i_Status =
        CheckResponse(l_puc_Response, l_ul_Length, BYTE2_ENUMDEVICES, g_x_EnumTexts, &l_puc_Kept);
    if (l_puc_Kept == nullptr) {
        return l_i_Status;
    }
    // The list starts with the count byte, which a successful response must hold.
    if (l_ul_Length <= ENUMDEVICES_OFFSET_COUNT) {
        l_i_Status = TULVO_BAD_IPC_FORMAT;
        TraceLog_Printf("Client_EnumDevices IPC RESPONSE: Ret=0x%08X\n",
                        static_cast<unsigned>(l_i_Status));
    } else {
        l_i_Status = CopyOut(l_puc_Kept + ENUMDEVICES_OFFSET_COUNT,
                             l_ul_Length - ENUMDEVICES_OFFSET_COUNT, o_ppuc_List, o_pul_ListLength);
        if (l_i_Status == TULVO_OK) {
            *o_pul_Count = l_puc_Kept[ENUMDEVICES_OFFSET_COUNT];
        }
    }
    GestIpc_FreeBuffer(l_puc_Kept);
    return l_i_Status;
}

int32_t Client_ServerInfosCmd(ToolShare_Channel* io_px_Public, uint32_t i_ul_InfoType,
                              uint32_t i_ul_Value, uint8_t** o_ppuc_Data, uint32_t* o_pul_DataLen) {
    CRequest l_x_Request = {};
    l_x_Request.m_i_BuildStatus = GestIpc_BuildServerInfosRequest(
        i_ul_InfoType, i_ul_Value, &l_x_Request.m_puc_Bytes, &l_x_Request.m_ul_Length);
    return RunDataCommand(OnPublic(io_px_Public), l_x_Request, BYTE2_SERVERINFOS,
                          CLIENT_EXCHANGE_TIMEOUT, g_x_EnumTexts, o_ppuc_Data, o_pul_DataLen);
}

int32_t Client_LinkCmd(Client_PipeConx* io_px_Pipe, const TulvoCli_Connection* i_px_Conx,
                       uint32_t i_ul_PipeIndex) {
    CRequest l_x_Request = {};
    l_x_Request.m_i_BuildStatus =
        GestIpc_BuildLinkRequest(i_ul_PipeIndex, i_px_Conx->m_ac_SerialNumber,
                                 &l_x_Request.m_puc_Bytes, &l_x_Request.m_ul_Length);
    return RunStatusCommand(OnPipe(io_px_Pipe), l_x_Request, BYTE2_LINKPRIVATECONX,
                            CLIENT_EXCHANGE_TIMEOUT, CLIENT_EXCHANGE_TIMEOUT, g_x_LinkTexts);
}

int32_t Client_LockCmd(Client_PipeConx* io_px_Pipe, uint32_t i_ul_TimeOut) {
    // Held past the end of this call, whatever the service answers, until Client_UnLockCmd.
    Client_CountKernelCalls(1);
    const int32_t l_i_Status = GetTheMutex(io_px_Pipe->m_h_Mutex, i_ul_TimeOut);
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    if (io_px_Pipe->m_ul_HolderThread != GetCurrentThreadId()) {
        // Taken over from a thread that ended holding it: its count went with it.
        io_px_Pipe->m_ul_HolderThread = GetCurrentThreadId();
        io_px_Pipe->m_ul_HolderDepth = 0;
    }
    ++io_px_Pipe->m_ul_HolderDepth;
    CRequest l_x_Request = {};
    l_x_Request.m_i_BuildStatus = GestIpc_BuildLockPipeRequest(
        i_ul_TimeOut, &l_x_Request.m_puc_Bytes, &l_x_Request.m_ul_Length);
    return RunStatusCommand(OnPipe(io_px_Pipe), l_x_Request, BYTE2_LOCKPIPE, i_ul_TimeOut,
                            i_ul_TimeOut, g_x_LockTexts);
}

int32_t Client_UnLockCmd(Client_PipeConx* io_px_Pipe) {
    // Only the thread that holds the pipe may end the span: the service would free the lock
    // of whichever thread holds it (a lock that timed out, a thread that never locked).
    if (io_px_Pipe->m_ul_HolderThread != GetCurrentThreadId()) {
        TraceLog_Printf("Client_UnLockCmd: the pipe is not locked by this thread\n");
        return TULVO_SIGNAL_ERROR;
    }
    if (--io_px_Pipe->m_ul_HolderDepth == 0) {
        io_px_Pipe->m_ul_HolderThread = 0;
    }
    CRequest l_x_Request = {};
    l_x_Request.m_i_BuildStatus =
        GestIpc_BuildUnlockPipeRequest(&l_x_Request.m_puc_Bytes, &l_x_Request.m_ul_Length);
    uint8_t* l_puc_Response = nullptr;
    uint32_t l_ul_Length = 0;
    const int32_t l_i_Status =
        ExchangeRequest(OnPipe(io_px_Pipe), &l_x_Request, CLIENT_EXCHANGE_TIMEOUT,
                        CLIENT_EXCHANGE_TIMEOUT, g_x_UnLockTexts, &l_puc_Response, &l_ul_Length);
    // Released whatever came of the request.
    Client_CountKernelCalls(1);
    ReleaseTheMutex(io_px_Pipe->m_h_Mutex);
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    return CheckResponse(l_puc_Response, l_ul_Length, BYTE2_UNLOCKPIPE, g_x_UnLockTexts, nullptr);
}

int32_t Client_WriteFrameCmd(Client_PipeConx* io_px_Pipe, uint32_t i_ul_TimeOut,
                             const uint8_t* i_puc_Frame, uint32_t i_ul_FrameLength) {
    CRequest l_x_Request = {};
    l_x_Request.m_i_BuildStatus =
        GestIpc_BuildSendBufferRequest(i_ul_TimeOut, i_puc_Frame, i_ul_FrameLength,
                                       &l_x_Request.m_puc_Bytes, &l_x_Request.m_ul_Length);
    return RunStatusCommand(OnPipe(io_px_Pipe), l_x_Request, BYTE2_SENDBUFFER, i_ul_TimeOut,
                            i_ul_TimeOut, g_x_WriteFrameTexts);
}

int32_t Client_ReadFrameCmd(Client_PipeConx* io_px_Pipe, uint32_t i_ul_TimeOut,
                            uint8_t** o_ppuc_Frame, uint32_t* o_pul_FrameLength) {
    CRequest l_x_Request = {};
    l_x_Request.m_i_BuildStatus = GestIpc_BuildRecvBufferRequest(
        i_ul_TimeOut, &l_x_Request.m_puc_Bytes, &l_x_Request.m_ul_Length);
    return RunDataCommand(OnPipe(io_px_Pipe), l_x_Request, BYTE2_RECVBUFFER, i_ul_TimeOut,
                          g_x_ReadFrameTexts, o_ppuc_Frame, o_pul_FrameLength);
}

int32_t Client_WaitForRebootCmd(Client_PipeConx* io_px_Pipe, uint32_t i_ul_WriteTimeOut,
                                const uint8_t* i_puc_Frame, uint32_t i_ul_FrameLength,
                                uint32_t i_ul_RebootTimeOut) {
    CRequest l_x_Request = {};
    l_x_Request.m_i_BuildStatus = GestIpc_BuildWaitForRebootRequest(
        i_ul_WriteTimeOut, i_ul_RebootTimeOut, i_puc_Frame, i_ul_FrameLength,
        &l_x_Request.m_puc_Bytes, &l_x_Request.m_ul_Length);
    // The service asks the sensor for its serial number, writes the frame, then waits up to
    // the reboot time-out for the sensor to leave and again for it to come back.
    const uint32_t l_ul_ServiceMs =
        Client_AddTimes(Client_AddTimes(CLIENT_SERIAL_EXCHANGE_MS, i_ul_WriteTimeOut),
                        Client_AddTimes(i_ul_RebootTimeOut, i_ul_RebootTimeOut));
    return RunStatusCommand(OnPipe(io_px_Pipe), l_x_Request, BYTE2_WAITFORREBOOT, i_ul_WriteTimeOut,
                            l_ul_ServiceMs, g_x_WriteFrameTexts);
}

int32_t Client_DestroyCmd(Client_PipeConx* io_px_Pipe) {
    CRequest l_x_Request = {};
    l_x_Request.m_i_BuildStatus =
        GestIpc_BuildDestroyConxRequest(&l_x_Request.m_puc_Bytes, &l_x_Request.m_ul_Length);
    return RunStatusCommand(OnPipe(io_px_Pipe), l_x_Request, BYTE2_DESTROYCONX,
                            CLIENT_EXCHANGE_TIMEOUT, CLIENT_EXCHANGE_TIMEOUT, g_x_DestroyTexts);
}
