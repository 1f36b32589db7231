// ILV records: the identifier-length-value encoding of every frame exchanged with a sensor.
// Free functions over caller-owned byte buffers; nothing here allocates or keeps state, so the
// receive thread, the pipes and the simulator can all share it. Multi-byte fields are
// little-endian whatever the machine.
#ifndef TULVO_DEVICE_LINK_ILV_H
#define TULVO_DEVICE_LINK_ILV_H

#include <stdint.h>

// Identifiers the service names, builds or routes itself.
#define ILV_INVALID 0x0050
#define ILV_CANCEL 0x0070
#define ILV_ASYNC_MESSAGE 0x0071
#define ILV_GET_SERIAL_NUMBER 0x0080
#define ILV_GET_RUN_LEVEL 0x0132
#define ILV_REALTIMELOG_CANCEL 0x0134
#define ILV_VEK_ASYNC_REALTIMELOG 0x0135

// First-byte markers: 0xFF carries a second identifier byte (0xFF00 + low byte), 0xFE carries
// a 16-bit identifier after the length field, counted in the stored length.
#define ILV_MARK_EXTENDED 0xFE
#define ILV_MARK_HIGH 0xFF
// A short length field holding this value announces the 32-bit long form.
#define ILV_LONG_LENGTH_MARK 0xFFFFu
#define ILV_SHORT_LENGTH_SIZE 2
#define ILV_LONG_LENGTH_SIZE 6
#define ILV_EXTENDED_ID_SIZE 2
// The largest record ILV_Init writes (FE 02 00 lo hi).
#define ILV_MAX_EMPTY_SIZE 5

#ifdef __cplusplus
extern "C" {
#endif

// A caller's buffer: its capacity and the record being built at its start.
typedef struct ILV_Buffer {
    uint32_t m_ul_Capacity;
    uint8_t* m_puc_Record;
} ILV_Buffer;

// A value to put into a record.
typedef struct ILV_Value {
    uint32_t m_ul_Length;
    const uint8_t* m_puc_Bytes;
} ILV_Value;

// Writes the empty-valued record of the identifier (3, 4 or 5 bytes) and its size. Always 0.
int32_t ILV_Init(uint8_t* o_puc_Record, uint32_t* o_pul_Size, uint16_t i_us_Identifier);

// Readers: the record must be well formed (ILV_Check it first when it came from a device).
uint16_t ILV_GetIdentifier(const uint8_t* i_puc_Record);
uint32_t ILV_GetLength(const uint8_t* i_puc_Record);
uint8_t* ILV_GetValue(const uint8_t* i_puc_Record);
uint32_t ILV_GetHeaderSize(const uint8_t* i_puc_Record);
uint32_t ILV_GetSize(const uint8_t* i_puc_Record);

// Rewrites the length field for a value of i_ul_Length bytes, moving the bytes after it when
// the field switches between its short and long forms (io_pul_Size then changes by 4). The
// buffer must have room for 4 more bytes when the field grows. 0, or TULVO_BAD_PARAMETER when
// the stored length would not fit in 32 bits or a form switch is asked of a size too small to
// hold the length field.
int32_t ILV_SetLength(uint8_t* io_puc_Record, uint32_t* io_pul_Size, uint32_t i_ul_Length);

// Appends i_ul_Count bytes to the value. io_pul_Size must be the record's size; the buffer must
// have room for the result (use ILV_AppendToBuffer when it may not).
int32_t ILV_AddValue(uint8_t* io_puc_Record, uint32_t* io_pul_Size, const uint8_t* i_puc_Bytes,
                     uint32_t i_ul_Count);

// 0 when the i_ul_Count bytes hold exactly one well-formed record, TULVO_ILV_INVALID when they
// do not, TULVO_ILV_BAD_EXTENDED_ID for the extended form with an identifier below 0x0100.
// Never reads past i_ul_Count bytes.
int32_t ILV_Check(const uint8_t* i_puc_Bytes, uint32_t i_ul_Count);

// ILV_AddValue with a room check: TULVO_ILV_BUFFER_TOO_SMALL (nothing written) when the grown
// record would not fit in the capacity. o_pul_NewSize may be NULL.
int32_t ILV_AppendToBuffer(ILV_Buffer* io_px_Buffer, uint32_t i_ul_Count,
                           const uint8_t* i_puc_Bytes, uint32_t* o_pul_NewSize);

// Builds a whole record in the buffer: TULVO_ILV_BUFFER_TOO_SMALL when it would not fit (no
// byte written beyond the empty record, none at all when even that does not fit).
// o_pul_Size may be NULL.
int32_t ILV_BuildInBuffer(ILV_Buffer* io_px_Buffer, uint16_t i_us_Identifier,
                          const ILV_Value* i_px_Value, uint32_t* o_pul_Size);

// Copies i_ul_Count value bytes from *io_pul_Position (an offset into the value) and advances
// the position; TULVO_ILV_READ_OVERFLOW, with nothing copied and the position unchanged, when
// fewer bytes remain.
int32_t ILV_ReadValue(const uint8_t* i_puc_Record, uint32_t* io_pul_Position,
                      uint8_t* o_puc_Destination, uint32_t i_ul_Count);

#ifdef __cplusplus
}
#endif

#endif
