// The client library's lower layer: the public conversation, the three private channels of a
// connection ("pipes"), one request/response exchange, and one call per protocol command.
// Internal to the library (the DLL exports only the TulvoCli_ calls).
//
// Three locks order a process's traffic, always taken in this order:
//  1. the public channel's Lock mutex (named, across processes), for a whole public
//     conversation (Client_InitConnection to Client_ClosePublicConnection);
//  3. a pipe's m_h_Mutex (unnamed), from LOCKPIPE to UNLOCKPIPE;
//  2. a channel record's lock, for each single exchange.
// Nobody waits for 3 while holding 2: Client_LockCmd takes 3 before its exchange takes 2.
#ifndef TULVO_IPC_CLIENT_CLIENT_H
#define TULVO_IPC_CLIENT_CLIENT_H

#include "ipc/client/TulvoCli.h"
#include "ipc/toolshare/ToolShare.h"

#include <stdint.h>

#include <atomic>

#define CLIENT_PUBLIC_BASENAME "VEK_TulvoServer"
#define CLIENT_PIPE_COUNT 3
#define CLIENT_NORMAL_PIPE 0
#define CLIENT_EXCHANGE_PIPE 1
#define CLIENT_REALTIMELOG_PIPE 2
// Time-out of the exchanges that carry no time-out of their own, and the margin a reader
// gives the service beyond the request's time-out.
#define CLIENT_EXCHANGE_TIMEOUT 1000
#define CLIENT_READ_MARGIN 10000
// How long a request waits for a Running event found reset to be set again (the service looks
// at it at least once a second) before it reports the service stopped.
#define CLIENT_RUNNING_GRACE_MS 2000
// The longest the service may take over a request beyond the request's own time-outs: the
// device list waits up to 10 s and then 5 s for the monitor; a restart first asks the sensor
// for its serial number (a write and a read of up to 15 s each).
#define CLIENT_ENUMDEVICES_MS 15000
#define CLIENT_SERIAL_EXCHANGE_MS 30000

// One private connection. Its channel record's lock (an unnamed mutex made with the channel)
// is lock 2: a thread that dies holding it leaves it abandoned, and the next thread takes it
// over instead of waiting for ever.
struct Client_PipeConx {
    ToolShare_Channel m_x_Channel;
    HANDLE m_h_Mutex; // held by one thread of the process from LOCKPIPE to UNLOCKPIPE
    // Who holds m_h_Mutex and how many times: the service serves a channel on one thread, so
    // an UNLOCKPIPE from any thread of the process would free the lock another thread holds.
    // Only the holder changes them; others read the holder to learn that it is not them.
    std::atomic<DWORD> m_ul_HolderThread;
    uint32_t m_ul_HolderDepth;
    // The last wait for an answer on this pipe ended before the answer came (under the
    // channel record's lock, like every exchange).
    bool m_b_AnswerLate;
};

struct TulvoCli_Connection {
    char m_ac_SerialNumber[TULVOCLI_SERIAL_NUMBER_SIZE];
    uint8_t m_auc_ServerVersion[TULVOCLI_SERVER_VERSION_SIZE];
    uint32_t m_ul_ServerVersionLength;
    Client_PipeConx m_ax_Pipes[CLIENT_PIPE_COUNT];
};

// Base name of the public channel for the whole process; tests point it at a stand-in
// service. NULL restores "VEK_TulvoServer". Not for use while connections are being made.
void Client_SetPublicBaseName(const char* i_pc_BaseName);

// Diagnostics for the benchmark: the kernel calls this layer made in this process so far
// (server tests, channel locks, pipe mutexes), besides the transport's own count.
void Client_CountKernelCalls(uint32_t i_ul_Count);
uint32_t Client_GetKernelCallCount(void);

int32_t Client_InitConnection(ToolShare_Channel* o_px_Public);
int32_t Client_ClosePublicConnection(ToolShare_Channel* io_px_Public);
int32_t Client_CreatePrivateConnections(ToolShare_Channel* io_px_Public,
                                        TulvoCli_Connection* io_px_Conx,
                                        Client_PipeConx* io_px_Pipe, uint32_t i_ul_PipeIndex);
int32_t Client_DestroyPrivateConnection(Client_PipeConx* io_px_Pipe);
int32_t Client_DestroyPrivateConnections(TulvoCli_Connection* io_px_Conx);

int32_t Client_WriteData(ToolShare_Channel* io_px_Channel, const uint8_t* i_puc_Request,
                         uint32_t i_ul_RequestLength, uint32_t i_ul_TimeOut);
int32_t Client_ReadData(ToolShare_Channel* io_px_Channel, uint8_t** o_ppuc_DataReceive,
                        uint32_t* o_pul_DataReceiveLength, uint32_t i_ul_TimeOut);
// One exchange on the public channel or on a pipe, under the channel record's lock; the
// response is awaited up to Client_ResponseWait(i_ul_TimeOut).
int32_t Client_WriteReadData(ToolShare_Channel* io_px_Channel, const uint8_t* i_puc_Request,
                             uint32_t i_ul_RequestLength, uint8_t** o_ppuc_Response,
                             uint32_t* o_pul_ResponseLength, uint32_t i_ul_TimeOut);
// The same with the wait for the response given. With io_pb_AnswerLate (a pipe's
// m_b_AnswerLate), an answer still owed from an earlier wait is taken and dropped before the
// request goes (TULVO_TS_TIMEOUT, nothing sent, when it does not come within i_ul_ResponseWait),
// and a wait that ends before its answer marks the answer owed. A WM_QUIT taken by a wait is
// posted again and gives TULVO_ABORTED.
int32_t Client_Exchange(ToolShare_Channel* io_px_Channel, bool* io_pb_AnswerLate,
                        const uint8_t* i_puc_Request, uint32_t i_ul_RequestLength,
                        uint8_t** o_ppuc_Response, uint32_t* o_pul_ResponseLength,
                        uint32_t i_ul_TimeOut, uint32_t i_ul_ResponseWait);
// How long to wait for a response when the service may take i_ul_ServiceMs over the request:
// that and a margin, saturating (never wrapping); INFINITE stays INFINITE.
uint32_t Client_ResponseWait(uint32_t i_ul_ServiceMs);
// A sum of time-outs that saturates instead of wrapping; INFINITE if either is.
uint32_t Client_AddTimes(uint32_t i_ul_First, uint32_t i_ul_Second);

// Command calls: the status the service wrote into its response, or why there is none
// (the exchange's status, TULVO_NO_RESPONSE, TULVO_NO_MEMORY, TULVO_BAD_IPC_FORMAT for a
// response too short for what it announces). Data handed out is the caller's.
int32_t Client_EnumDevices(ToolShare_Channel* io_px_Public, uint8_t** o_ppuc_List,
                           uint32_t* o_pul_ListLength, uint32_t* o_pul_Count);
int32_t Client_ServerInfosCmd(ToolShare_Channel* io_px_Public, uint32_t i_ul_InfoType,
                              uint32_t i_ul_Value, uint8_t** o_ppuc_Data, uint32_t* o_pul_DataLen);
int32_t Client_LinkCmd(Client_PipeConx* io_px_Pipe, const TulvoCli_Connection* i_px_Conx,
                       uint32_t i_ul_PipeIndex);
int32_t Client_LockCmd(Client_PipeConx* io_px_Pipe, uint32_t i_ul_TimeOut);
int32_t Client_UnLockCmd(Client_PipeConx* io_px_Pipe);
int32_t Client_WriteFrameCmd(Client_PipeConx* io_px_Pipe, uint32_t i_ul_TimeOut,
                             const uint8_t* i_puc_Frame, uint32_t i_ul_FrameLength);
int32_t Client_ReadFrameCmd(Client_PipeConx* io_px_Pipe, uint32_t i_ul_TimeOut,
                            uint8_t** o_ppuc_Frame, uint32_t* o_pul_FrameLength);
int32_t Client_WaitForRebootCmd(Client_PipeConx* io_px_Pipe, uint32_t i_ul_WriteTimeOut,
                                const uint8_t* i_puc_Frame, uint32_t i_ul_FrameLength,
                                uint32_t i_ul_RebootTimeOut);
int32_t Client_DestroyCmd(Client_PipeConx* io_px_Pipe);

#endif
