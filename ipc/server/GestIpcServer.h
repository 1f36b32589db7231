// The channel servers behind TulvoServ_OpenGestIpcPublic: the public channel server (one
// receive thread on "VEK_TulvoServer": device list, server information, private channel
// creation) and the private channel servers (one receive thread per client connection: link,
// lock, send, receive, reboot, destroy). For this module and its tests.
//
// WHO OWNS WHAT, AND FOR HOW LONG
//
//  - The 100 private channel slots live for the whole process, not in the public record: a
//    pipe's lock remembers the slot of its last holder and may look at it after the channel
//    and the public server have gone (GestVekPipe.h). One lock guards every slot.
//  - A slot is taken by the public thread (lowest free first) before its private thread
//    exists, and given up by that private thread as the last thing it does with its record.
//    Any other thread reads a record out of a slot under the slot lock and touches it only
//    while the lock is held; the private thread releases its record, cancel event and thread
//    handle only after it has emptied its slot under that lock. GestIpcPrivate_Stop therefore
//    sets the cancel event and copies the thread handle under the lock, and waits on its copy.
//  - A private channel whose creation fails has no thread left (its thread, made before the
//    reply, ends at once without touching anything): the public thread releases its record
//    and frees its slot at once.
//  - The public record has two holders, the opener (TulvoServ_CloseGestIpcPublic) and the
//    receive thread; the last one to let go frees it. So the record outlives its thread even
//    when the thread is still stopping private channels after GestIpcPublic_Stop's wait.
//  - Private threads never touch the public record. One that is still busy after the stop
//    (a RECVBUFFER with a long time-out) ends on its own when its frame wait ends, at the
//    latest when the device monitor closes and stops every pipe.
//
// Kernel calls: the servers make none of their own on the request path. A private request
// costs the transport's reads and write (six calls at this end, ToolShareTransfer.cpp), the
// device list's pipe look-up (one wait on the monitor's wake-up gate) and what the command
// asks of the pipe (GestVekPipe.h).
#ifndef TULVO_IPC_SERVER_GESTIPCSERVER_H
#define TULVO_IPC_SERVER_GESTIPCSERVER_H

#include "device/link/UsbSerial.h"
#include "device/manager/GestVekPipe.h"
#include "device/monitor/HideDlg.h"
#include "ipc/protocol/GestIpcFormat.h"
#include "ipc/toolshare/ToolShare.h"

#include <windows.h>

#include <stdint.h>

#define GESTIPC_PUBLIC_BASENAME "VEK_TulvoServer"
#define GESTIPC_SECTION_SIZE 0x80000u
#define GESTIPC_PRIVATE_SLOT_COUNT 100
#define GESTIPC_DEVICE_KEY_SIZE 100
// Limits of one transfer on either channel, and of the private channel's creation.
#define GESTIPC_TRANSFER_TIMEOUT_MS 10000
#define GESTIPC_CREATE_TIMEOUT_MS 1000
// How long a stop waits for a receive thread to end.
#define GESTIPC_STOP_WAIT_MS 1000
// What a request may announce before anything is allocated for it: the public requests are a
// few bytes (a device key at most); a private one is a command head and the largest frame the
// link writes. A longer announcement is dropped with the transport's length status.
#define GESTIPC_PUBLIC_MAX_REQUEST 4096u
#define GESTIPC_PRIVATE_MAX_REQUEST (WAITFORREBOOT_OFFSET_FRAME + USBSERIAL_MAX_WRITE_SIZE)
// A whole request must arrive within the transfer's time-out plus one millisecond for each
// this many bytes: a client that trickles its chunks holds its thread no longer.
#define GESTIPC_REQUEST_BYTES_PER_MS 1024u
// How often the public thread looks whether Running was reset behind its back.
#define GESTIPC_RUNNING_CHECK_MS 1000
// A private channel that is not linked within this time is closed: a client links at once,
// and an unlinked channel can do nothing else.
#define GESTIPC_UNLINKED_LIMIT_MS 10000
// Channels one client process may hold at once; more than ten connections' worth.
#define GESTIPC_CHANNELS_PER_PROCESS 32

// A private channel slot: the channel's record while the channel lives, NULL otherwise. The
// pipe lock of a channel records the slot's address (GestVekPipe_ConnectionSlot).
typedef GestVekPipe_ConnectionSlot GestIpcPrivate_Slot;

// One private channel, allocated cleared to zero, kept in a slot.
struct GestIpcPrivate_Channel {
    ToolShare_Channel m_x_Channel; // peer: the client process
    HANDLE m_h_Thread;
    DWORD m_ul_ThreadId;
    // The device-list entry of the linked device; NULL while unlinked. The entry outlives
    // every device object it holds; commands hold the object anew each time.
    TulvoServ_VekEntry* m_px_GestVek;
    char m_ac_DeviceKey[GESTIPC_DEVICE_KEY_SIZE];
    uint32_t m_ul_PipeIndex;
    HANDLE m_h_Cancel;
    // When the channel was made (GetTickCount64), for the limit on an unlinked channel.
    ULONGLONG m_ull_Created;
    // The handle values the client was given, taken back from it when an unlinked channel is
    // closed (ToolShareSrv_WithdrawPrivateConnect).
    ToolShare_PrivateReply m_x_Reply;
};

// The public channel server, allocated cleared to zero by TulvoServ_OpenGestIpcPublic.
struct GestIpcPublic_Server {
    ToolShare_Channel m_x_Channel; // peer: m_h_Cancel, lent (never closed with the channel)
    // The server's cancel event; it lives as long as the record, so that a stop may set it
    // whenever the thread ends.
    HANDLE m_h_Cancel;
    HANDLE m_h_Thread;
    DWORD m_ul_ThreadId;
    // The opener and the receive thread (see above); changed with Interlocked calls only.
    volatile LONG m_l_Holders;
};

// ---- One request of a receive loop (GestIpcServe.cpp) ----

// Reads the body of a request of that length from the channel (GestIpcServer_ReadRequest)
// and handles it: the status, and a response (with its length) for the loop to write and
// free, or none.
typedef int32_t (*GestIpcServer_Handler)(void* i_pv_Context, uint32_t i_ul_Length,
                                         uint8_t** o_ppuc_Response, uint32_t* o_pul_ResponseLength);
// After the channel signalled a request: reads its length (i_h_Cancel ends that wait; a
// failure, or a length above i_ul_MaxLength, is logged as "<i_pc_Loop> : ToolShare_ReadLenData()
// Error : %d"), lets the handler read and handle it, and writes the response if one was made
// (the write's status then replaces the handler's). The first failure's status.
int32_t GestIpcServer_ServeOneRequest(ToolShare_Channel* io_px_Channel, HANDLE i_h_Cancel,
                                      const char* i_pc_Loop, uint32_t i_ul_MaxLength,
                                      GestIpcServer_Handler i_pf_Handle, void* i_pv_Context);
// The body of a request of that length, read within the request's deadline into a buffer
// that grows as the chunks come (free it); the transfer's status.
int32_t GestIpcServer_ReadRequest(ToolShare_Channel* io_px_Channel, HANDLE i_h_Cancel,
                                  uint32_t i_ul_Length, uint8_t** o_ppuc_Request);

// ---- Slot table (GestIpcSlots.cpp) ----

// The slot of that index (0 to 99); the address stays valid for the life of the process.
GestIpcPrivate_Slot* GestIpcSlots_Get(int32_t i_i_Index);
// Puts the record in the lowest free slot for a channel of that client process;
// TULVO_TOO_MANY_CHANNELS when all 100 are taken or the process holds its 32 already.
int32_t GestIpcSlots_Take(GestIpcPrivate_Channel* i_px_Ipc, uint32_t i_ul_ProcessId,
                          GestIpcPrivate_Slot** o_ppv_Slot);
// Empties the slot; its record is then the caller's alone.
void GestIpcSlots_GiveUp(GestIpcPrivate_Slot* io_ppv_Slot);
// The record in the slot (NULL when free). Only the channel's own thread, and the public
// thread while it creates the channel, may use the record without the lock.
GestIpcPrivate_Channel* GestIpcSlots_Record(GestIpcPrivate_Slot* i_ppv_Slot);
// Channels alive right now; for diagnostics and tests.
int32_t GestIpcSlots_Count(void);
// The client process of each channel alive, in slot order; their number.
uint32_t GestIpcSlots_ProcessIds(uint32_t o_aul_ProcessId[GESTIPC_PRIVATE_SLOT_COUNT]);
// Under the slot lock: sets the cancel event of the slot's channel and, when o_ph_Thread is
// given, copies its thread handle (NULL while there is no thread) for the caller to wait on
// and close: the channel may release its own handle as soon as the lock is gone. False when
// the slot is free.
bool GestIpcSlots_Cancel(GestIpcPrivate_Slot* i_ppv_Slot, HANDLE* o_ph_Thread);

// ---- Public channel server (GestIpcPublic.cpp) ----

// The channel parameters, set by GestIpcPublic_Create and used for every private channel too.
const ToolShare_Param* GestIpcPublic_GetParam(void);

int32_t GestIpcPublic_Create(GestIpcPublic_Server* io_px_Server);
int32_t GestIpcPublic_Stop(GestIpcPublic_Server* io_px_Server);
DWORD WINAPI GestIpcPublic_ThreadReceptProc(LPVOID i_pv_Server);
int32_t GestIpcPublic_TrtReveiveBufferAndTrt(GestIpcPublic_Server* io_px_Server,
                                             uint32_t i_ul_Length, uint8_t** o_ppuc_Response,
                                             uint32_t* o_pul_ResponseLength);
int32_t GestIpcPublic_HandleReveiveBuffer(GestIpcPublic_Server* io_px_Server,
                                          const uint8_t* i_puc_Request, uint32_t i_ul_Length,
                                          uint8_t** o_ppuc_Response,
                                          uint32_t* o_pul_ResponseLength);
int32_t GestIpcPublic_TrtEnumDeviceRequest(const uint8_t* i_puc_Request, uint32_t i_ul_Length,
                                           uint8_t** o_ppuc_Response,
                                           uint32_t* o_pul_ResponseLength);
int32_t GestIpcPublic_TrtServerInfosRequest(const uint8_t* i_puc_Request, uint32_t i_ul_Length,
                                            uint8_t** o_ppuc_Response,
                                            uint32_t* o_pul_ResponseLength);
// Owned data (release with free) and its length; status 0 or TULVO_BAD_PARAMETER.
int32_t GestIpcPublic_ServerInfos(uint32_t i_ul_InfoType, uint32_t i_ul_Value,
                                  uint8_t** o_ppuc_Data, uint32_t* o_pul_DataLength);
int32_t GestIpcPublic_TrtCreatePrivateChannelRequest(GestIpcPublic_Server* io_px_Server,
                                                     const uint8_t* i_puc_Request,
                                                     uint32_t i_ul_Length,
                                                     uint8_t** o_ppuc_Response,
                                                     uint32_t* o_pul_ResponseLength);
// Cancels every private channel at once, then stops them one by one in slot order.
void GestIpcPublic_StopPrivateChannels(void);

// ---- Private channel server (GestIpcPrivate.cpp, GestIpcPrivatePipe.cpp) ----

// Creates the channel for a slot that holds a fresh record. On failure nothing of the
// channel is left (no thread, no cancel event, no handles); the caller frees the record and
// the slot. Writes the private-connection reply on the public channel itself (whose peer, the
// public server's cancel event, ends that write): never gives a response.
int32_t GestIpcPrivate_Create(GestIpcPrivate_Slot* io_ppv_Slot, ToolShare_Channel* io_px_Public,
                              const uint8_t* i_puc_Request, uint32_t i_ul_Length,
                              uint8_t** o_ppuc_Response, uint32_t* o_pul_ResponseLength);
int32_t GestIpcPrivate_Stop(GestIpcPrivate_Slot* io_ppv_Slot);
DWORD WINAPI GestIpcPrivate_ThreadReceptProc(LPVOID i_pv_Slot);
int32_t GestIpcPrivate_TrtReveiveBuffer(GestIpcPrivate_Slot* io_ppv_Slot, uint32_t i_ul_Length,
                                        uint8_t** o_ppuc_Response, uint32_t* o_pul_ResponseLength);
int32_t GestIpcPrivate_HandleReveiveBuffer(GestIpcPrivate_Slot* io_ppv_Slot,
                                           const uint8_t* i_puc_Request, uint32_t i_ul_Length,
                                           uint8_t** o_ppuc_Response,
                                           uint32_t* o_pul_ResponseLength);

// The command handlers: 0, or TULVO_NO_MEMORY when the response cannot be made; the
// command's own status travels in the response.
typedef int32_t (*GestIpcPrivate_Handler)(GestIpcPrivate_Slot* io_ppv_Slot,
                                          const uint8_t* i_puc_Request, uint32_t i_ul_Length,
                                          uint8_t** o_ppuc_Response,
                                          uint32_t* o_pul_ResponseLength);
int32_t GestIpcPrivate_TrtDestroyConx(GestIpcPrivate_Slot* io_ppv_Slot,
                                      const uint8_t* i_puc_Request, uint32_t i_ul_Length,
                                      uint8_t** o_ppuc_Response, uint32_t* o_pul_ResponseLength);
int32_t GestIpcPrivate_TrtLinkVEK(GestIpcPrivate_Slot* io_ppv_Slot, const uint8_t* i_puc_Request,
                                  uint32_t i_ul_Length, uint8_t** o_ppuc_Response,
                                  uint32_t* o_pul_ResponseLength);
int32_t GestIpcPrivate_TrtLockPipe(GestIpcPrivate_Slot* io_ppv_Slot, const uint8_t* i_puc_Request,
                                   uint32_t i_ul_Length, uint8_t** o_ppuc_Response,
                                   uint32_t* o_pul_ResponseLength);
int32_t GestIpcPrivate_TrtUnLockPipe(GestIpcPrivate_Slot* io_ppv_Slot, const uint8_t* i_puc_Request,
                                     uint32_t i_ul_Length, uint8_t** o_ppuc_Response,
                                     uint32_t* o_pul_ResponseLength);
int32_t GestIpcPrivate_TrtSendToPipe(GestIpcPrivate_Slot* io_ppv_Slot, const uint8_t* i_puc_Request,
                                     uint32_t i_ul_Length, uint8_t** o_ppuc_Response,
                                     uint32_t* o_pul_ResponseLength);
int32_t GestIpcPrivate_TrtRecvFromPipe(GestIpcPrivate_Slot* io_ppv_Slot,
                                       const uint8_t* i_puc_Request, uint32_t i_ul_Length,
                                       uint8_t** o_ppuc_Response, uint32_t* o_pul_ResponseLength);
int32_t GestIpcPrivate_TrtReboot(GestIpcPrivate_Slot* io_ppv_Slot, const uint8_t* i_puc_Request,
                                 uint32_t i_ul_Length, uint8_t** o_ppuc_Response,
                                 uint32_t* o_pul_ResponseLength);

// ---- Test seam ----

// Replaces how the servers make their cancel events and start their receive threads (NULL
// members keep the system's own; NULL restores both). The thread starter gets a suspended
// thread's routine and argument and gives its handle, or NULL.
typedef HANDLE (*GestIpcServer_ThreadStarter)(LPTHREAD_START_ROUTINE i_pf_Routine,
                                              LPVOID i_pv_Argument, DWORD* o_pul_ThreadId);
typedef struct GestIpcServer_Seams {
    int32_t (*pf_InitializeWaitEvent)(HANDLE* io_ph_Event);
    GestIpcServer_ThreadStarter pf_CreateSuspendedThread;
    // How long a private channel may stay unlinked (0: GESTIPC_UNLINKED_LIMIT_MS).
    uint32_t m_ul_UnlinkedLimitMs;
    // Resumes a thread that was created suspended (NULL: ResumeThread).
    DWORD (*pf_ResumeThread)(HANDLE i_h_Thread);
} GestIpcServer_Seams;
void GestIpcServer_SetSeams(const GestIpcServer_Seams* i_px_Seams);
int32_t GestIpcServer_InitializeWaitEvent(HANDLE* io_ph_Event);
HANDLE GestIpcServer_CreateSuspendedThread(LPTHREAD_START_ROUTINE i_pf_Routine,
                                           LPVOID i_pv_Argument, DWORD* o_pul_ThreadId);
DWORD GestIpcServer_ResumeThread(HANDLE i_h_Thread);
uint32_t GestIpcServer_UnlinkedLimitMs(void);

#endif
