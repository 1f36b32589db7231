// The pipe-lock list: the data of a SERVERINFOS response to info type
// SERVERINFOS_TYPE_PIPELOCKS (2), for the people who support sensors: which process holds
// which pipe's lock, and since how long. Services older than this one answer that info type
// with TULVO_BAD_PARAMETER and no data; nothing else of the protocol changes.
//
// Layout (integers big-endian, like every integer of the protocol):
//
//   offset 0   4 bytes   record count N
//   offset 4   N records, back to back, each:
//                k + 1     serial number of the device as ENUMDEVICES lists it, with its
//                          NUL (k at most 99)
//                1         pipe index (0, 1 or 2)
//                4         process id of the client holding the lock
//                4         how long it has held it, in ms (0xFFFFFFFF: that long or longer)
//
// One record per listed, open device and pipe whose lock is held; a lock whose holder has
// ended (an abandoned lock, taken over by the next LOCKPIPE) still shows its last holder.
// No lock held: the count 0 alone. Readers ignore bytes after the last record.
#ifndef TULVO_IPC_PROTOCOL_PIPELOCKS_H
#define TULVO_IPC_PROTOCOL_PIPELOCKS_H

#include <stdint.h>

#define PIPELOCKS_OFFSET_COUNT 0
#define PIPELOCKS_OFFSET_RECORDS 4
#define PIPELOCKS_SERIAL_NUMBER_SIZE 100
// Pipe index, process id and time after the serial number's NUL.
#define PIPELOCKS_RECORD_TAIL_SIZE 9
#define PIPELOCKS_HELD_MS_MAX 0xFFFFFFFFu

#ifdef __cplusplus
extern "C" {
#endif

// One held lock. The serial number is NUL-terminated within its field.
typedef struct GestIpc_PipeLock {
    char m_ac_SerialNumber[PIPELOCKS_SERIAL_NUMBER_SIZE];
    uint32_t m_ul_PipeIndex;
    uint32_t m_ul_ProcessId;
    uint32_t m_ul_HeldMs;
} GestIpc_PipeLock;

// Service side: the data of the response (free it with GestIpc_FreeBuffer). 0,
// TULVO_NO_MEMORY, or TULVO_BAD_PARAMETER for a count without records or a pipe index above
// 255 (a serial number without its NUL within the field is cut at 99 characters).
int32_t GestIpc_BuildPipeLocks(const GestIpc_PipeLock* i_px_Locks, uint32_t i_ul_Count,
                               uint8_t** o_ppuc_Data, uint32_t* o_pul_Length);

// Client side: the records of the data (a heap array of *o_pul_Count records, NULL for none;
// free it with GestIpc_FreeBuffer). TULVO_BAD_IPC_FORMAT, with no array, when the data is
// shorter than the count, or a record runs past the end or has a serial number longer than
// 99 characters; TULVO_NO_MEMORY.
int32_t GestIpc_DecodePipeLocks(const uint8_t* i_puc_Data, uint32_t i_ul_Length,
                                GestIpc_PipeLock** o_ppx_Locks, uint32_t* o_pul_Count);

#ifdef __cplusplus
}
#endif

#endif
