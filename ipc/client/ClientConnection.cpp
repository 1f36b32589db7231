// The public conversation, the private channels of a connection, and one exchange.
//
// Kernel calls of one request on a private channel, besides the transport's own eight (three
// to write a one-chunk request, five to wait for and read a one-chunk response): the server
// test, asked in one wait instead of two; the take and the release of the channel record's
// mutex. A span from LOCKPIPE to UNLOCKPIPE adds the pipe mutex's take and release, so one
// TulvoCli_Exchange (four requests) makes 4 x 11 + 2 = 46. Under wine each is a round trip to
// wineserver, tens of microseconds.
#include "ipc/client/Client.h"

#include "ipc/protocol/TulvoStatus.h"
#include "service/TraceLog.h"

#include <atomic>
#include <stdlib.h>
#include <string.h>

namespace {

std::atomic<const char*> g_pc_BaseName{CLIENT_PUBLIC_BASENAME};
std::atomic<uint32_t> g_ul_KernelCalls{0};

ToolShare_Param PublicParam() {
    ToolShare_Param l_x_Param = {g_pc_BaseName.load(), 0};
    return l_x_Param;
}

// What ToolShareClt_ServerOK answers, in one wait while all is well: with the peer first in a
// wait for any, index 1 means the service process lives and Running is set. Anything else is
// asked again of ToolShareClt_ServerOK, so that the status is exactly its own. Running found
// reset while the service process lives is waited for a while: any process may reset it, and
// the service sets it again within a second unless it is stopping. Refused at once, an
// UNLOCKPIPE or DESTROYCONX would leave the lock or the channel to the service until this
// process ends.
int32_t ServerTest(const ToolShare_Channel* i_px_Channel) {
    if (i_px_Channel->m_h_Peer != nullptr && i_px_Channel->m_h_Running != nullptr) {
        const HANDLE l_ah_Set[2] = {i_px_Channel->m_h_Peer, i_px_Channel->m_h_Running};
        Client_CountKernelCalls(1);
        DWORD l_ul_Wait = WaitForMultipleObjects(2, l_ah_Set, FALSE, 0);
        if (l_ul_Wait == WAIT_TIMEOUT) {
            Client_CountKernelCalls(1);
            l_ul_Wait = WaitForMultipleObjects(2, l_ah_Set, FALSE, CLIENT_RUNNING_GRACE_MS);
        }
        if (l_ul_Wait == WAIT_OBJECT_0 + 1) {
            return TULVO_OK;
        }
    }
    Client_CountKernelCalls((i_px_Channel->m_h_Running != nullptr ? 1 : 0) +
                            (i_px_Channel->m_h_Peer != nullptr ? 1 : 0));
    return ToolShareClt_ServerOK(i_px_Channel);
}

int32_t LockChannel(ToolShare_Channel* io_px_Channel, uint32_t i_ul_TimeOut) {
    Client_CountKernelCalls(io_px_Channel->m_h_Lock != nullptr ? 1 : 0);
    return ToolShareClt_Lock(io_px_Channel, i_ul_TimeOut);
}

void UnlockChannel(ToolShare_Channel* io_px_Channel) {
    Client_CountKernelCalls(io_px_Channel->m_h_Lock != nullptr ? 1 : 0);
    ToolShareClt_Unlock(io_px_Channel);
}

// A quit message that a wait took goes back to the thread's queue, with its exit code: the
// caller's message loop must still end, and the call reports that it was cut short.
int32_t QuitTaken() {
    PostQuitMessage(ToolShare_TakenQuitExitCode());
    return TULVO_ABORTED;
}

// Whether a message of this length goes in one chunk: a transfer that Running stopped then
// stopped before it wrote or took anything, and may be made again whole.
bool FitsOneChunk(const ToolShare_Channel* i_px_Channel, uint32_t i_ul_Length) {
    return i_px_Channel->m_ul_SectionSize >= 8 && i_ul_Length <= i_px_Channel->m_ul_SectionSize - 8;
}

// After a transfer on a private channel that found Running reset: whether it is set again
// within the grace (any process may reset it for a moment). The service's end of a private
// channel (the one with the service process as peer) has no Running event and goes on
// serving, so a request or an answer that nothing was taken of is still good, and giving it
// up would leave what it does (a pipe lock, a channel) to the service. The public server
// gives up the exchange in hand when it finds Running reset: nothing to wait for there.
bool RunningSetAgain(const ToolShare_Channel* i_px_Channel, const char* i_pc_Step) {
    if (i_px_Channel->m_h_Peer == nullptr || ServerTest(i_px_Channel) != TULVO_OK) {
        return false;
    }
    TraceLog_Printf("%s : Running was reset for a moment, tried again\n", i_pc_Step);
    return true;
}

// One try at the response. *o_pb_Untouched tells whether a failure left the message as it was.
int32_t ReadResponseOnce(ToolShare_Channel* io_px_Channel, uint8_t** o_ppuc_DataReceive,
                         uint32_t* o_pul_DataReceiveLength, uint32_t i_ul_Wait,
                         bool* o_pb_Untouched) {
    *o_pb_Untouched = true;
    int32_t l_i_Status = ToolShare_WaitData(io_px_Channel, nullptr, i_ul_Wait);
    if (l_i_Status == 1) {
        l_i_Status = QuitTaken();
    }
    if (l_i_Status != TULVO_OK) {
        TraceLog_Printf("Client_ReadData : ToolShare_WaitData Error : %d\n", l_i_Status);
        return l_i_Status;
    }
    uint32_t l_ul_Length = 0;
    l_i_Status = ToolShare_ReadLenData(io_px_Channel, &l_ul_Length, nullptr, CLIENT_READ_MARGIN);
    if (l_i_Status != TULVO_OK) {
        TraceLog_Printf("Client_ReadData : ToolShare_ReadLenData Error : %d\n", l_i_Status);
        return l_i_Status;
    }
    *o_pb_Untouched = FitsOneChunk(io_px_Channel, l_ul_Length);
    // One byte at least, so that an empty message still comes back as a buffer.
    uint8_t* l_puc_Data = static_cast<uint8_t*>(calloc(l_ul_Length > 0 ? l_ul_Length : 1, 1));
    if (l_puc_Data == nullptr) {
        TraceLog_Printf("Client_ReadData: malloc *o_ppuc_DataReceive Err\n");
        return TULVO_NO_MEMORY;
    }
    l_i_Status =
        ToolShare_ReadData(io_px_Channel, l_puc_Data, l_ul_Length, nullptr, CLIENT_READ_MARGIN);
    if (l_i_Status != TULVO_OK) {
        free(l_puc_Data);
        TraceLog_Printf("Client_ReadData : ToolShare_ReadData Error: %d\n", l_i_Status);
        return l_i_Status;
    }
    *o_ppuc_DataReceive = l_puc_Data;
    *o_pul_DataReceiveLength = l_ul_Length;
    return TULVO_OK;
}

// The response to the request just written, waited for up to i_ul_Wait in all.
int32_t ReadResponse(ToolShare_Channel* io_px_Channel, uint8_t** o_ppuc_DataReceive,
                     uint32_t* o_pul_DataReceiveLength, uint32_t i_ul_Wait) {
    *o_ppuc_DataReceive = nullptr;
    *o_pul_DataReceiveLength = 0;
    const DWORD l_ul_Start = GetTickCount();
    uint32_t l_ul_Left = i_ul_Wait;
    for (;;) {
        bool l_b_Untouched = false;
        const int32_t l_i_Status = ReadResponseOnce(
            io_px_Channel, o_ppuc_DataReceive, o_pul_DataReceiveLength, l_ul_Left, &l_b_Untouched);
        if (l_i_Status != TULVO_TS_SERVER_NOT_RUNNING || !l_b_Untouched ||
            !RunningSetAgain(io_px_Channel, "Client_ReadData")) {
            return l_i_Status;
        }
        if (i_ul_Wait != INFINITE) {
            // Unsigned tick arithmetic: right across the wrap of the counter.
            const DWORD l_ul_Elapsed = GetTickCount() - l_ul_Start;
            if (l_ul_Elapsed >= i_ul_Wait) {
                return TULVO_TS_TIMEOUT;
            }
            l_ul_Left = i_ul_Wait - l_ul_Elapsed;
        }
    }
}

// A pipe whose last wait for an answer ended before the answer came: the service writes that
// answer once it has served the request, and it must be neither read as the answer to the
// next request nor written over it (the channel carries one message at a time). It is taken
// and thrown away first, waiting no longer than the next request would wait for its own.
int32_t DropLateAnswer(ToolShare_Channel* io_px_Channel, uint32_t i_ul_Wait) {
    uint8_t* l_puc_Late = nullptr;
    uint32_t l_ul_Length = 0;
    const int32_t l_i_Status = ReadResponse(io_px_Channel, &l_puc_Late, &l_ul_Length, i_ul_Wait);
    if (l_i_Status == TULVO_OK) {
        TraceLog_Printf("Client_WriteReadData : late answer 0x%02X of %u bytes dropped\n",
                        l_ul_Length > 2 ? l_puc_Late[2] : 0u, static_cast<unsigned>(l_ul_Length));
    } else {
        TraceLog_Printf("Client_WriteReadData : the answer to an earlier request has not come: "
                        "%d\n",
                        l_i_Status);
    }
    free(l_puc_Late);
    return l_i_Status;
}

} // namespace

uint32_t Client_ResponseWait(uint32_t i_ul_ServiceMs) {
    if (i_ul_ServiceMs == INFINITE) {
        return INFINITE;
    }
    // Saturating: a sum that would wrap waits as long as it can instead.
    if (i_ul_ServiceMs > INFINITE - 1 - CLIENT_READ_MARGIN) {
        return INFINITE - 1;
    }
    return i_ul_ServiceMs + CLIENT_READ_MARGIN;
}

uint32_t Client_AddTimes(uint32_t i_ul_First, uint32_t i_ul_Second) {
    if (i_ul_First == INFINITE || i_ul_Second == INFINITE) {
        return INFINITE;
    }
    return i_ul_First > INFINITE - 1 - i_ul_Second ? INFINITE - 1 : i_ul_First + i_ul_Second;
}

void Client_SetPublicBaseName(const char* i_pc_BaseName) {
    g_pc_BaseName.store(i_pc_BaseName != nullptr ? i_pc_BaseName : CLIENT_PUBLIC_BASENAME);
}

void Client_CountKernelCalls(uint32_t i_ul_Count) {
    g_ul_KernelCalls.fetch_add(i_ul_Count, std::memory_order_relaxed);
}

uint32_t Client_GetKernelCallCount(void) {
    return g_ul_KernelCalls.load(std::memory_order_relaxed);
}

// The callers never close a record whose opening failed, so every failure closes what was
// opened here: otherwise each attempt against a stopping service would leak its handles.
int32_t Client_InitConnection(ToolShare_Channel* o_px_Public) {
    memset(o_px_Public, 0, sizeof(*o_px_Public));
    const ToolShare_Param l_x_Param = PublicParam();
    ToolShare_Init();
    int32_t l_i_Status = ToolShareClt_PublicConnect(&l_x_Param, o_px_Public);
    if (l_i_Status != TULVO_OK) {
        TraceLog_Printf("Client_InitConnection : ToolShareClt_PublicConnect Error : %d\n",
                        l_i_Status);
        ToolShare_Close(o_px_Public);
        return l_i_Status;
    }
    l_i_Status = ToolShareClt_ServerOK(o_px_Public);
    if (l_i_Status != TULVO_OK) {
        ToolShare_Close(o_px_Public);
        return l_i_Status;
    }
    l_i_Status = ToolShareClt_Lock(o_px_Public, CLIENT_EXCHANGE_TIMEOUT);
    if (l_i_Status != TULVO_OK) {
        TraceLog_Printf("TulvoCli_Connect : ToolShareClt_Lock Error : %d\n", l_i_Status);
        ToolShare_Close(o_px_Public);
        return l_i_Status;
    }
    return TULVO_OK;
}

int32_t Client_ClosePublicConnection(ToolShare_Channel* io_px_Public) {
    // One release for the hold of Client_InitConnection; the second one finds the mutex no
    // longer owned and changes nothing.
    ToolShareClt_Unlock(io_px_Public);
    int32_t l_i_Status = ToolShareClt_Unlock(io_px_Public);
    if (l_i_Status != TULVO_OK) {
        TraceLog_Printf("Client_ClosePublicConnection : ToolShareClt_Unlock Error : %d\n",
                        l_i_Status);
    }
    l_i_Status = ToolShare_Close(io_px_Public);
    if (l_i_Status != TULVO_OK) {
        TraceLog_Printf("Client_ClosePublicConnection : ToolShare_Close Error : %d\n", l_i_Status);
    }
    return l_i_Status;
}

int32_t Client_CreatePrivateConnections(ToolShare_Channel* io_px_Public,
                                        TulvoCli_Connection* io_px_Conx,
                                        Client_PipeConx* io_px_Pipe, uint32_t i_ul_PipeIndex) {
    const ToolShare_Param l_x_Param = PublicParam();
    int32_t l_i_Status = ToolShareClt_AcquirePrivateConnect(
        &l_x_Param, &io_px_Pipe->m_x_Channel, io_px_Public, nullptr, CLIENT_EXCHANGE_TIMEOUT);
    if (l_i_Status == 1) {
        l_i_Status = QuitTaken();
    }
    if (l_i_Status != TULVO_OK) {
        // "N\xB0": the degree sign of code page 1252, as the trace has always carried it.
        TraceLog_Printf("TulvoCli_Connect : ToolShareClt_AcquirePrivateConnect Pipe N\xB0 %d "
                        "Error : %d\n",
                        static_cast<int>(i_ul_PipeIndex), l_i_Status);
        Client_DestroyPrivateConnection(io_px_Pipe);
        return l_i_Status;
    }
    // Without its mutex the channel would let the process's threads write into each other's
    // requests: the record's lock passes when there is none.
    if (io_px_Pipe->m_x_Channel.m_h_Lock == nullptr) {
        TraceLog_SysError("Client_CreatePrivateConnections: CreateMutex m_x_Channel.m_h_Lock");
        Client_DestroyPrivateConnection(io_px_Pipe);
        return TULVO_CREATE_OBJECT_FAILED;
    }
    l_i_Status = Client_LinkCmd(io_px_Pipe, io_px_Conx, i_ul_PipeIndex);
    if (l_i_Status != TULVO_OK) {
        Client_DestroyPrivateConnection(io_px_Pipe);
        return l_i_Status;
    }
    io_px_Pipe->m_h_Mutex = CreateMutexA(nullptr, FALSE, nullptr);
    if (io_px_Pipe->m_h_Mutex == nullptr) {
        TraceLog_SysError("Client_CreatePrivateConnections: CreateMutex io_px_Conx->m_h_Mutex");
        Client_DestroyPrivateConnection(io_px_Pipe);
        return TULVO_CREATE_OBJECT_FAILED;
    }
    return TULVO_OK;
}

int32_t Client_DestroyPrivateConnection(Client_PipeConx* io_px_Pipe) {
    // A pipe whose channel never came up has nobody to tell.
    if (io_px_Pipe->m_x_Channel.m_h_Incoming != nullptr) {
        Client_DestroyCmd(io_px_Pipe);
    }
    ToolShare_Close(&io_px_Pipe->m_x_Channel);
    if (io_px_Pipe->m_h_Mutex != nullptr) {
        CloseHandle(io_px_Pipe->m_h_Mutex);
        io_px_Pipe->m_h_Mutex = nullptr;
    }
    return TULVO_OK;
}

int32_t Client_DestroyPrivateConnections(TulvoCli_Connection* io_px_Conx) {
    for (Client_PipeConx& l_x_Pipe : io_px_Conx->m_ax_Pipes) {
        Client_DestroyPrivateConnection(&l_x_Pipe);
    }
    return TULVO_OK;
}

int32_t Client_WriteData(ToolShare_Channel* io_px_Channel, const uint8_t* i_puc_Request,
                         uint32_t i_ul_RequestLength, uint32_t i_ul_TimeOut) {
    const int32_t l_i_Status = ToolShare_WriteLenDataAndData(
        io_px_Channel, i_puc_Request, i_ul_RequestLength, nullptr, i_ul_TimeOut);
    if (l_i_Status != TULVO_OK) {
        TraceLog_Printf("Client_WriteData : ToolShare_WriteLenDataAndData Client Error : %d\n",
                        l_i_Status);
    }
    return l_i_Status;
}

int32_t Client_ReadData(ToolShare_Channel* io_px_Channel, uint8_t** o_ppuc_DataReceive,
                        uint32_t* o_pul_DataReceiveLength, uint32_t i_ul_TimeOut) {
    return ReadResponse(io_px_Channel, o_ppuc_DataReceive, o_pul_DataReceiveLength,
                        Client_ResponseWait(i_ul_TimeOut));
}

int32_t Client_WriteReadData(ToolShare_Channel* io_px_Channel, const uint8_t* i_puc_Request,
                             uint32_t i_ul_RequestLength, uint8_t** o_ppuc_Response,
                             uint32_t* o_pul_ResponseLength, uint32_t i_ul_TimeOut) {
    return Client_Exchange(io_px_Channel, nullptr, i_puc_Request, i_ul_RequestLength,
                           o_ppuc_Response, o_pul_ResponseLength, i_ul_TimeOut,
                           Client_ResponseWait(i_ul_TimeOut));
}

int32_t Client_Exchange(ToolShare_Channel* io_px_Channel, bool* io_pb_AnswerLate,
                        const uint8_t* i_puc_Request, uint32_t i_ul_RequestLength,
                        uint8_t** o_ppuc_Response, uint32_t* o_pul_ResponseLength,
                        uint32_t i_ul_TimeOut, uint32_t i_ul_ResponseWait) {
    *o_ppuc_Response = nullptr;
    *o_pul_ResponseLength = 0;
    int32_t l_i_Status = ServerTest(io_px_Channel);
    if (l_i_Status != TULVO_OK) {
        TraceLog_Printf("Client_WriteReadData : ToolShareClt_ServerOK Error : %d\n", l_i_Status);
        return l_i_Status;
    }
    l_i_Status = LockChannel(io_px_Channel, i_ul_TimeOut);
    if (l_i_Status != TULVO_OK) {
        TraceLog_Printf("Client_WriteReadData : ToolShareClt_Lock Error : %d\n", l_i_Status);
        return l_i_Status;
    }
    if (io_pb_AnswerLate != nullptr && *io_pb_AnswerLate) {
        l_i_Status = DropLateAnswer(io_px_Channel, i_ul_ResponseWait);
        *io_pb_AnswerLate = l_i_Status != TULVO_OK;
    }
    if (l_i_Status == TULVO_OK) {
        l_i_Status =
            Client_WriteData(io_px_Channel, i_puc_Request, i_ul_RequestLength, i_ul_TimeOut);
        if (l_i_Status == TULVO_TS_SERVER_NOT_RUNNING &&
            FitsOneChunk(io_px_Channel, i_ul_RequestLength) &&
            RunningSetAgain(io_px_Channel, "Client_WriteData")) {
            l_i_Status =
                Client_WriteData(io_px_Channel, i_puc_Request, i_ul_RequestLength, i_ul_TimeOut);
        }
    }
    if (l_i_Status == TULVO_OK) {
        l_i_Status =
            ReadResponse(io_px_Channel, o_ppuc_Response, o_pul_ResponseLength, i_ul_ResponseWait);
        // Given up before the answer came (a time-out, a quit message, Running found reset,
        // which another process may do for a moment): it is still coming.
        if (io_pb_AnswerLate != nullptr &&
            (l_i_Status == TULVO_TS_TIMEOUT || l_i_Status == TULVO_ABORTED ||
             l_i_Status == TULVO_TS_SERVER_NOT_RUNNING)) {
            *io_pb_AnswerLate = true;
        }
    }
    UnlockChannel(io_px_Channel);
    return l_i_Status;
}
