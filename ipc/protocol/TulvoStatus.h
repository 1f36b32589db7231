// Status codes returned by every operation of the service and the client library.
// 0 is success; failures are negative. Responses carry these values to clients unchanged,
// so the numbers are part of the wire protocol and must never change.
#ifndef TULVO_IPC_PROTOCOL_TULVOSTATUS_H
#define TULVO_IPC_PROTOCOL_TULVOSTATUS_H

#include <stdint.h>

#define TULVO_OK 0
#define TULVO_ILV_READ_OVERFLOW (-342)
#define TULVO_CREATE_OBJECT_FAILED (-390)
#define TULVO_DATA_TOO_LARGE (-392)
#define TULVO_SERVER_TOO_OLD (-393)
#define TULVO_NO_MEMORY (-394)
#define TULVO_CORRUPTED_FRAME (-395)
#define TULVO_NO_SERIAL_NUMBER (-396)
#define TULVO_PORT_ALREADY_OPEN (-398)
#define TULVO_PORT_NOT_OPEN (-399)
#define TULVO_BAD_FRAME_LENGTH (-401)
#define TULVO_NO_RESPONSE (-402)
#define TULVO_DEVICE_NOT_PRESENT (-403)
#define TULVO_SYSTEM_ERROR (-404)
#define TULVO_DEVICE_NOT_FOUND (-405)
#define TULVO_PORT_ERROR (-406)
#define TULVO_TOO_MANY_CHANNELS (-407)
#define TULVO_BAD_IPC_FORMAT (-408)
#define TULVO_BAD_PARAMETER (-412)
#define TULVO_MUTEX_ABANDONED (-413)
#define TULVO_SIGNAL_ERROR (-414)
#define TULVO_ABORTED (-415)
#define TULVO_CANCEL_IO_FAILED (-416)
#define TULVO_TS_BAD_ARGUMENT (-417)
#define TULVO_TS_PEER_LOST (-418)
#define TULVO_TS_CHANNEL_ERROR (-419)
#define TULVO_TS_TIMEOUT (-421)
#define TULVO_TS_SERVER_NOT_RUNNING (-422)
#define TULVO_FRAME_REFUSED (-427)
#define TULVO_NULL_BUFFER (-529)
#define TULVO_TIMEOUT (-553)
#define TULVO_ILV_BAD_EXTENDED_ID (-600)
#define TULVO_ILV_INVALID (-601)
#define TULVO_ILV_BUFFER_TOO_SMALL (-602)

#ifdef __cplusplus
extern "C" {
#endif

// The symbolic name of a status ("TULVO_TIMEOUT"), or "TULVO_UNKNOWN_STATUS" for a value
// outside the table. For tools and diagnostics; the trace texts print numbers.
const char* TulvoStatus_Name(int32_t i_i_Status);

#ifdef __cplusplus
}
#endif

#endif
