/* TulvoCli: the client library of the VEK USB Service, as applications use it.
 *
 * A program lists the sensors the service knows (TulvoCli_EnumDevices), connects to one of
 * them by its serial number (TulvoCli_Connect) and exchanges frames with it; each frame is one
 * ILV record. A connection holds three private channels to the service, one per pipe of the
 * sensor: pipe 0 for TulvoCli_SendFrame / TulvoCli_ReceiveFrame (lock it yourself with
 * TulvoCli_Lock / TulvoCli_Unlock), pipe 1 for TulvoCli_Exchange, TulvoCli_Post and
 * TulvoCli_WaitForReboot, pipe 2 for the sensor's real-time log.
 *
 * Every call returns a status: 0 on success, else one of the negative TULVO_ values of
 * TulvoStatus.h (TULVO_TS_SERVER_NOT_RUNNING, -422, when no service runs). Several threads of
 * one process may share a connection. Buffers the library hands out are released with
 * TulvoCli_FreeBuffer, device lists with TulvoCli_FreeDeviceList: never with free().
 *
 * Plain C: this header compiles as C and as C++. Link the DLL through its import library
 * (TulvoCli.dll, libTulvoCli.dll.a / TulvoCli.lib) or the static library (libTulvoCliStatic.a,
 * which also needs user32, advapi32 and the C++ runtime). Time-outs are in milliseconds;
 * 0xFFFFFFFF waits without limit. */
#ifndef TULVO_IPC_CLIENT_TULVOCLI_H
#define TULVO_IPC_CLIENT_TULVOCLI_H

#include "ipc/protocol/TulvoStatus.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A serial number has at most this many characters; longer ones are refused. */
#define TULVOCLI_SERIAL_NUMBER_SIZE 100
#define TULVOCLI_MAX_SERIAL_NUMBER_LENGTH (TULVOCLI_SERIAL_NUMBER_SIZE - 1)
/* The service's version text is kept in a field of this size; a longer answer is refused. */
#define TULVOCLI_SERVER_VERSION_SIZE 100

/* SERVERINFOS requests: info type 0 reads the service's version text; info type 1 switches
 * its trace log with one of the values below; info type 2 (value 0) lists the pipe locks held
 * right now. Its data, integers big-endian: a 4-byte record count, then per record the
 * device's serial number with its NUL (at most 99 characters), the pipe index (1 byte), the
 * holder's process id (4 bytes) and how long it has held the lock in ms (4 bytes, 0xFFFFFFFF
 * for that long or longer). Older services answer it with TULVO_BAD_PARAMETER. */
#define TULVOCLI_INFO_VERSION 0
#define TULVOCLI_INFO_LOG 1
#define TULVOCLI_INFO_PIPELOCKS 2
/* Info type 3 (value 0) lists the private channels in use: a 4-byte count, then the process id
 * of each channel's client (4 bytes each). */
#define TULVOCLI_INFO_CHANNELS 3
#define TULVOCLI_LOG_OFF 0
#define TULVOCLI_LOG_ON 1
#define TULVOCLI_LOG_OFF_AT_NEXT_START 2
#define TULVOCLI_LOG_ON_AT_NEXT_START 3

/* One connection to one sensor; opaque. */
typedef struct TulvoCli_Connection TulvoCli_Connection;

/* One sensor of a device list: four NUL-terminated texts, each owned by the list. */
typedef struct TulvoCli_DeviceProperties {
    unsigned char* m_puc_InstanceId;   /* USB\VID_vvvv&PID_pppp\serial */
    unsigned char* m_puc_SerialNumber; /* what TulvoCli_Connect takes */
    unsigned char* m_puc_FriendlyName; /* the sensor's name */
    unsigned char* m_puc_DevicePath;   /* its port, such as COM5 */
} TulvoCli_DeviceProperties;

/* Connects the three pipes to the sensor with that serial number (NULL or "" sends an empty
 * one) and reads the service's version. On failure nothing is kept: *o_ppx_Connection is
 * NULL and every channel set up on the way is destroyed again. TULVO_BAD_PARAMETER for a
 * serial number of 100 characters or more, TULVO_DEVICE_NOT_PRESENT for an unknown one. */
int32_t TulvoCli_Connect(TulvoCli_Connection** o_ppx_Connection, const char* i_pc_SerialNumber);
/* Destroys the pipes, frees the connection and clears the pointer; TULVO_BAD_PARAMETER when
 * there is none. The connection is released even when the service cannot be reached (the
 * status then says why). */
int32_t TulvoCli_Disconnect(TulvoCli_Connection** io_ppx_Connection);

/* The sensors the service knows, in an array of *o_pul_Count records (none and 0 when no
 * sensor is attached). Release it with TulvoCli_FreeDeviceList. */
int32_t TulvoCli_EnumDevices(TulvoCli_DeviceProperties** o_ppx_List, uint32_t* o_pul_Count);
int32_t TulvoCli_FreeDeviceList(TulvoCli_DeviceProperties** io_ppx_List, uint32_t i_ul_Count);
/* Decoding of one device-list entry of i_ul_BufferLength bytes, from *io_pul_Position on:
 * the four texts, each copied with TulvoCli_CopyAPropertyFromList, which moves the position
 * past the text's NUL. TULVO_BAD_IPC_FORMAT when a text runs past the end (nothing is read
 * beyond it, and the record is left empty). */
int32_t TulvoCli_CopyDeviceFromList(TulvoCli_DeviceProperties* o_px_Device,
                                    const uint8_t* i_puc_Buffer, uint32_t i_ul_BufferLength,
                                    uint32_t* io_pul_Position);
int32_t TulvoCli_CopyAPropertyFromList(unsigned char** o_ppuc_Text, const uint8_t* i_puc_Buffer,
                                       uint32_t i_ul_BufferLength, uint32_t* io_pul_Position);
/* The same without a length, for programs written to the first form of these calls: each text
 * runs to its NUL, which the caller vouches for. The record's fields whose text could not be
 * copied stay NULL; 0, or TULVO_BAD_PARAMETER without a buffer. Prefer the forms above. */
int32_t TulvoCli_CopyDeviceFromBuffer(TulvoCli_DeviceProperties* o_px_Device,
                                      const uint8_t* i_puc_Buffer, uint32_t* io_pul_Position);
int32_t TulvoCli_CopyAPropertyFromBuffer(unsigned char** o_ppuc_Text, const uint8_t* i_puc_Buffer,
                                         uint32_t* io_pul_Position);

/* One SERVERINFOS exchange on a short public conversation. For info type 0 the service's
 * version comes back in *o_ppuc_Data (*o_pul_DataLen bytes, the text with its NUL). */
int32_t TulvoCli_GetServerInfos(uint32_t i_ul_InfoType, uint32_t i_ul_Value, uint8_t** o_ppuc_Data,
                                uint32_t* o_pul_DataLen);
/* Frees a buffer handed out by the library and clears the caller's pointer; accepts NULL. */
int32_t TulvoCli_FreeBuffer(uint8_t** io_ppuc_Buffer);

/* Pipe 0: lock it for a span of frames (the lock is also taken by the other threads of this
 * process: a second TulvoCli_Lock waits up to the time-out, then TULVO_TIMEOUT), send and
 * receive frames, unlock. */
int32_t TulvoCli_Lock(TulvoCli_Connection* i_px_Connection, uint32_t i_ul_TimeOut);
int32_t TulvoCli_Unlock(TulvoCli_Connection* i_px_Connection);
int32_t TulvoCli_SendFrame(TulvoCli_Connection* i_px_Connection, uint32_t i_ul_TimeOut,
                           const uint8_t* i_puc_Frame, uint32_t i_ul_FrameLength);
int32_t TulvoCli_ReceiveFrame(TulvoCli_Connection* i_px_Connection, uint32_t i_ul_TimeOut,
                              uint8_t** o_ppuc_Frame, uint32_t* o_pul_FrameLength);

/* Pipe 1: lock, send the frame, receive the answer, unlock; the time-out applies to each step.
 * The status of the first step that failed, or 0 with the answer in *o_ppuc_Answer. */
int32_t TulvoCli_Exchange(TulvoCli_Connection* i_px_Connection, uint32_t i_ul_TimeOut,
                          const uint8_t* i_puc_Frame, uint32_t i_ul_FrameLength,
                          uint8_t** o_ppuc_Answer, uint32_t* o_pul_AnswerLength);
/* Pipe 1: lock, send, unlock: a frame that gets no answer. */
int32_t TulvoCli_Post(TulvoCli_Connection* i_px_Connection, uint32_t i_ul_TimeOut,
                      const uint8_t* i_puc_Frame, uint32_t i_ul_FrameLength);
/* Pipe 1: sends the frame that makes the sensor restart and waits (up to i_ul_RebootTimeOut)
 * until it has left and come back; the connection then talks to the restarted sensor. The
 * answer is awaited for i_ul_WriteTimeOut plus 10 s. TULVO_NO_RESPONSE without connection. */
int32_t TulvoCli_WaitForReboot(TulvoCli_Connection* i_px_Connection, uint32_t i_ul_WriteTimeOut,
                               const uint8_t* i_puc_Frame, uint32_t i_ul_FrameLength,
                               uint32_t i_ul_RebootTimeOut);

/* Pipe 2: the sensor's real-time log frames, one per call (TULVO_TIMEOUT when none came), and
 * frames sent on that pipe (TULVO_SERVER_TOO_OLD from services older than 1.5.0.0). */
int32_t TulvoCli_ReceiveRealTimeLog(TulvoCli_Connection* i_px_Connection, uint32_t i_ul_TimeOut,
                                    uint8_t** o_ppuc_Frame, uint32_t* o_pul_FrameLength);
int32_t TulvoCli_SendRealTimeLogFrame(TulvoCli_Connection* i_px_Connection, uint32_t i_ul_TimeOut,
                                      const uint8_t* i_puc_Frame, uint32_t i_ul_FrameLength);

#ifdef __cplusplus
}
#endif

#endif
