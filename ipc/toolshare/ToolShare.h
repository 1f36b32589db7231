// ToolShare: the shared-memory transport between the service and its client processes.
//
// A channel is two manual-reset events (one per direction) and one pagefile-backed section.
// The public channel is named and also has a Running event (set while the service listens) and
// a Lock mutex (one client process at a time); private channels are unnamed and reach the
// client by handle duplication. Messages are length-prefixed and travel in chunks through the
// section, each chunk acknowledged by the reader.
//
// Every operation returns a status code of ipc/protocol/TulvoStatus.h (0 or negative).
#ifndef TULVO_IPC_TOOLSHARE_TOOLSHARE_H
#define TULVO_IPC_TOOLSHARE_TOOLSHARE_H

#include <windows.h>

#include <stdint.h>

// Object names are formatted into a buffer of this size; with the longest prefix and suffix
// ("Global\" and ":Running") a base name may have at most 48 characters. Longer base names
// are refused rather than cut into the name of some other object.
#define TOOLSHARE_NAME_SIZE 64

#define TOOLSHARE_EVENT_ACCESS (READ_CONTROL | SYNCHRONIZE | EVENT_MODIFY_STATE)
#define TOOLSHARE_SECTION_ACCESS (READ_CONTROL | FILE_MAP_READ | FILE_MAP_WRITE)
#define TOOLSHARE_LOCK_ACCESS (READ_CONTROL | SYNCHRONIZE)
#define TOOLSHARE_MAX_BASENAME_LENGTH 48

// Section layout: size word at 0, length word of the message at 4, first chunk's data at 8.
// Both words are big-endian. Later chunks start at offset 4.
#define TOOLSHARE_OFFSET_SIZE 0
#define TOOLSHARE_OFFSET_LENGTH 4
#define TOOLSHARE_OFFSET_DATA 8
// The smallest section that still moves data: the two words and one byte.
#define TOOLSHARE_MIN_SECTION_SIZE 9

// Largest message a reader accepts. The length word comes from the other process and is not
// trusted: a longer announcement is refused (TULVO_TS_CHANNEL_ERROR) before anyone allocates.
// Room for a 4 MiB frame with any request head, and for bulk transfers twice that size.
#define TOOLSHARE_MAX_MESSAGE_LENGTH 0x01000000u

// Private-connection request (client to service) and reply (service to client).
#define TOOLSHARE_PRIVATE_REQUEST_LENGTH 15
#define TOOLSHARE_PRIVATE_REQUEST_COMMAND 0x07
#define TOOLSHARE_PRIVATE_REPLY_LENGTH 24
#define TOOLSHARE_PRIVATE_REPLY_MAX_LENGTH 64

// Section size of every section the service creates.
#define TOOLSHARE_DEFAULT_SECTION_SIZE 0x80000u

// The handle values a private-connection reply gave the client, valid in its process, in the
// reply's order: service process, Running, Send, Recv, section.
#define TOOLSHARE_PRIVATE_REPLY_HANDLES 5
struct ToolShare_PrivateReply {
    uint32_t m_aul_Handle[TOOLSHARE_PRIVATE_REPLY_HANDLES];
};

// Channel parameters, one record per process.
struct ToolShare_Param {
    const char* m_pc_BaseName; // base of the public object names
    uint32_t m_ul_SectionSize; // size of every section the service creates
};

// One endpoint of a channel. All zero means closed. Which events sit in m_h_Incoming and
// m_h_Outgoing makes the record a service end (Recv / Send) or a client end (Send / Recv).
struct ToolShare_Channel {
    HANDLE m_h_Lock;           // public: Lock mutex; client private: unnamed mutex; else none
    uint32_t m_ul_ProcessId;   // owner's process id; service private end: the client's
    uint32_t m_ul_SectionSize; // total size of the section (its word at offset 0)
    HANDLE m_h_Section;
    HANDLE m_h_Peer;     // signalled state ends every wait with TULVO_TS_PEER_LOST
    HANDLE m_h_Running;  // public Running event, or its duplicate; none at a service private end
    HANDLE m_h_Incoming; // announces data for this endpoint
    HANDLE m_h_Outgoing; // signalled by this endpoint after writing

    // The section's view. It belongs with m_h_Section: the call that fills the record maps it
    // once, ToolShare_Close unmaps it together with the section handle, and in between a
    // transfer costs no mapping. A copy of the record (a move into a table, the public record
    // handed to a private channel) shares both; only the one record that is closed releases
    // them, so a copy is never closed while another is in use, exactly as for the handles.
    // NULL in a record filled by hand: each transfer then maps and unmaps a view of its own.
    uint8_t* m_puc_View;
};

// ---- Named objects and access security ----

// True when object names carry the "Global\" prefix (NT family, version 5 and later).
bool ToolShare_UseGlobalNames(void);

// Builds a security descriptor whose DACL grants i_ul_Mask to Administrators, INTERACTIVE and
// Everyone and every right (0x001FFFFF) to LocalSystem and SERVICE. 1 on success (the caller
// frees the descriptor with LocalFree and the list with HeapFree on the process heap), 0
// otherwise. The masks of the named objects: what clients open them with, and READ_CONTROL.
int ToolShare_BuildSecurityDescriptor(PSECURITY_DESCRIPTOR* o_ppx_Descriptor, PACL* o_ppx_Acl,
                                      DWORD i_ul_Mask);
int ToolShare_SetObjectDacl(HANDLE i_h_Object, DWORD i_ul_Mask);
int ToolShare_SetLowIntegrityLabel(HANDLE i_h_Object);

// Service side: creates (or opens, when present) the channel's objects. An absent or empty
// base name makes an unnamed channel. The peer output is cleared, never filled.
int32_t ToolShare_CreateChannel(HANDLE* o_ph_Peer, HANDLE* o_ph_Running, HANDLE* o_ph_Recv,
                                HANDLE* o_ph_Send, HANDLE* o_ph_Section,
                                uint32_t* o_pul_SectionSize, const char* i_pc_BaseName,
                                uint32_t i_ul_SectionSize);
// Client side: opens the objects of a named channel; creates nothing.
int32_t ToolShare_OpenChannel(HANDLE* o_ph_Peer, HANDLE* o_ph_Running, HANDLE* o_ph_Recv,
                              HANDLE* o_ph_Send, HANDLE* o_ph_Section, uint32_t* o_pul_SectionSize,
                              const char* i_pc_BaseName);

// ---- Data transfer ----
// The cancel event is optional (NULL); time-outs in milliseconds, INFINITE for none.

// With i_b_UnlessPeerWrote, a message the peer has written and not yet seen read is not
// written over: nothing is written, and the result is TOOLSHARE_PEER_WROTE_FIRST. A service
// uses it for its responses: a client that sent its next request has given up on this one.
#define TOOLSHARE_PEER_WROTE_FIRST 2
int32_t ToolShare_WriteLenDataAndData(ToolShare_Channel* io_px_Channel, const uint8_t* i_puc_Data,
                                      uint32_t i_ul_Length, HANDLE i_h_Cancel,
                                      uint32_t i_ul_Timeout, bool i_b_UnlessPeerWrote = false);
// 0 when data waits (the incoming event stays signalled), 1 when a WM_QUIT message was taken
// from the calling thread's queue; other window messages are dispatched while waiting.
int32_t ToolShare_WaitData(ToolShare_Channel* io_px_Channel, HANDLE i_h_Cancel,
                           uint32_t i_ul_Timeout);
// The exit code of the WM_QUIT that ToolShare_WaitData last took on the calling thread, for a
// caller that hands the message back to its message loop.
int ToolShare_TakenQuitExitCode(void);
// Reads the announced length without consuming the message. A length above i_ul_MaxLength
// (itself bounded by TOOLSHARE_MAX_MESSAGE_LENGTH) gives TULVO_TS_CHANNEL_ERROR; the message
// is then dropped.
int32_t ToolShare_ReadLenData(ToolShare_Channel* io_px_Channel, uint32_t* o_pul_Length,
                              HANDLE i_h_Cancel, uint32_t i_ul_Timeout,
                              uint32_t i_ul_MaxLength = TOOLSHARE_MAX_MESSAGE_LENGTH);
// Reads (and consumes) the message body into a buffer of the announced length.
int32_t ToolShare_ReadData(ToolShare_Channel* io_px_Channel, uint8_t* o_puc_Data,
                           uint32_t i_ul_Length, HANDLE i_h_Cancel, uint32_t i_ul_Timeout);
// The same for a reader that must not trust the announced length: the buffer (malloc'ed, the
// caller's on success, one byte at least) grows with the chunks as they arrive, and the whole
// message must have come within i_ul_Deadline milliseconds (each wait also within i_ul_Timeout)
// or the read ends with TULVO_TS_TIMEOUT; TULVO_NO_MEMORY when the buffer cannot grow.
int32_t ToolShare_ReadDataAlloc(ToolShare_Channel* io_px_Channel, uint32_t i_ul_Length,
                                uint8_t** o_ppuc_Data, HANDLE i_h_Cancel, uint32_t i_ul_Timeout,
                                uint32_t i_ul_Deadline);
// Signals the cancel event: every wait that holds it ends, now and later.
int32_t ToolShare_CancelWaitData(HANDLE i_h_Cancel);

// Diagnostics: the number of kernel calls the transfer operations above have made in this
// process so far (waits, event signals and resets, mappings). Benchmarks and tests take the
// difference around one message.
uint32_t ToolShare_GetKernelCallCount(void);

// ---- Connection management ----

// The calls that fill a record (listen, connect, the two private-connection calls) refuse a
// record that still holds a channel (TULVO_TS_BAD_ARGUMENT, record untouched): filling it
// again would lose its handles and its view. Pass a closed (all-zero) record.
int32_t ToolShare_Init(void);
int32_t ToolShare_InitializeWaitEvent(HANDLE* io_ph_Event);
int32_t ToolShare_CloseWaitEvent(HANDLE* io_ph_Event);
int32_t ToolShare_Close(ToolShare_Channel* io_px_Channel);

int32_t ToolShareSrv_NeedAccept(int* o_pi_NeedAccept);
int32_t ToolShareSrv_PublicListen(const ToolShare_Param* i_px_Param,
                                  ToolShare_Channel* io_px_Channel);
int32_t ToolShareSrv_IsPrivateConnectRequest(const uint8_t* i_puc_Request, uint32_t i_ul_Length);
// o_px_Reply (may be NULL) receives the handle values the reply gave the client.
int32_t ToolShareSrv_CreatePrivateConnect(const ToolShare_Param* i_px_Param,
                                          ToolShare_Channel* o_px_Private,
                                          ToolShare_Channel* io_px_Public,
                                          const uint8_t* i_puc_Request, uint32_t i_ul_Length,
                                          HANDLE i_h_Cancel, uint32_t i_ul_Timeout,
                                          ToolShare_PrivateReply* o_px_Reply = nullptr);
// For a private channel its client never used: closes in the client process the handles the
// reply gave it, while they still name the channel's own objects (a client that closed them
// and got the same values again for something else keeps them). The request names any
// process, which would otherwise keep a section and five handles per request for its life.
// Without a way to compare objects (before Windows 10), only the service's own process, which
// never uses them, is cleaned.
void ToolShareSrv_WithdrawPrivateConnect(const ToolShare_Channel* i_px_Private,
                                         const ToolShare_PrivateReply* i_px_Reply);
int32_t ToolShareSrv_Close(ToolShare_Channel* io_px_Channel);

int32_t ToolShareClt_PublicConnect(const ToolShare_Param* i_px_Param,
                                   ToolShare_Channel* io_px_Channel);
int32_t ToolShareClt_ServerOK(const ToolShare_Channel* i_px_Channel);
int32_t ToolShareClt_Lock(ToolShare_Channel* io_px_Channel, uint32_t i_ul_Timeout);
int32_t ToolShareClt_Unlock(ToolShare_Channel* io_px_Channel);
int32_t ToolShareClt_AcquirePrivateConnect(const ToolShare_Param* i_px_Param,
                                           ToolShare_Channel* o_px_Private,
                                           ToolShare_Channel* io_px_Public, HANDLE i_h_Cancel,
                                           uint32_t i_ul_Timeout);

// Builds the 15-byte private-connection request for a client process.
void ToolShare_BuildPrivateConnectRequest(uint8_t o_auc_Request[TOOLSHARE_PRIVATE_REQUEST_LENGTH],
                                          uint32_t i_ul_ProcessId);

// ---- Mutex calls for every mutex of the program ----

// Whether a mutex call writes its failures to the trace log. Callers that report a failure
// in their own words, or that take a mutex on a hot path where a failure is routine (a pipe's
// mailbox, taken with 50 ms), use the quiet form; the statuses are the same.
typedef enum ToolShare_MutexLog {
    TOOLSHARE_MUTEX_LOGGED,
    TOOLSHARE_MUTEX_QUIET
} ToolShare_MutexLog;

// 0 when the calling thread owns the mutex exactly once more than before the call. When
// o_pb_Abandoned is given it tells whether the mutex was taken over from an owner that ended
// holding it.
int32_t GetTheMutex(HANDLE i_h_Mutex, uint32_t i_ul_Timeout,
                    ToolShare_MutexLog i_e_Log = TOOLSHARE_MUTEX_LOGGED,
                    bool* o_pb_Abandoned = nullptr);
// GetTheMutex that also ends, with TULVO_ABORTED and the mutex not taken, once the event is
// set, or i_h_Also (may be NULL: a process, say) is signalled: for waits that must not outlive
// what the mutex guards, or whoever they wait for.
int32_t GetTheMutexUnlessSet(HANDLE i_h_Mutex, HANDLE i_h_Stop, uint32_t i_ul_Timeout,
                             ToolShare_MutexLog i_e_Log = TOOLSHARE_MUTEX_LOGGED,
                             bool* o_pb_Abandoned = nullptr, HANDLE i_h_Also = nullptr);
int32_t ReleaseTheMutex(HANDLE i_h_Mutex, ToolShare_MutexLog i_e_Log = TOOLSHARE_MUTEX_LOGGED);

#endif
