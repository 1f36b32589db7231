#include "device/link/Ilv.h"

#include "ipc/protocol/TulvoStatus.h"

#include <string.h>

namespace {

uint16_t GetU16LE(const uint8_t* i_puc_Bytes) {
    return static_cast<uint16_t>(i_puc_Bytes[0] | (i_puc_Bytes[1] << 8));
}

uint32_t GetU32LE(const uint8_t* i_puc_Bytes) {
    return static_cast<uint32_t>(i_puc_Bytes[0]) | (static_cast<uint32_t>(i_puc_Bytes[1]) << 8) |
           (static_cast<uint32_t>(i_puc_Bytes[2]) << 16) |
           (static_cast<uint32_t>(i_puc_Bytes[3]) << 24);
}

void PutU16LE(uint8_t* o_puc_Bytes, uint32_t i_ul_Value) {
    o_puc_Bytes[0] = static_cast<uint8_t>(i_ul_Value);
    o_puc_Bytes[1] = static_cast<uint8_t>(i_ul_Value >> 8);
}

void PutU32LE(uint8_t* o_puc_Bytes, uint32_t i_ul_Value) {
    PutU16LE(o_puc_Bytes, i_ul_Value);
    PutU16LE(o_puc_Bytes + 2, i_ul_Value >> 16);
}

uint32_t IdFieldSize(uint8_t i_uc_First) {
    return i_uc_First == ILV_MARK_HIGH ? 2u : 1u;
}

uint32_t ExtendedIdSize(uint8_t i_uc_First) {
    return i_uc_First == ILV_MARK_EXTENDED ? static_cast<uint32_t>(ILV_EXTENDED_ID_SIZE) : 0u;
}

bool IsLongForm(const uint8_t* i_puc_LengthField) {
    return GetU16LE(i_puc_LengthField) == ILV_LONG_LENGTH_MARK;
}

uint32_t StoredLength(const uint8_t* i_puc_Record) {
    const uint8_t* l_puc_Field = i_puc_Record + IdFieldSize(i_puc_Record[0]);
    return IsLongForm(l_puc_Field) ? GetU32LE(l_puc_Field + 2) : GetU16LE(l_puc_Field);
}

uint32_t EmptyRecordSize(uint16_t i_us_Identifier) {
    if (i_us_Identifier < ILV_MARK_EXTENDED) {
        return 3;
    }
    return i_us_Identifier >= 0xFF00 ? 4u : 5u;
}

// Size of a record of that first byte once its value holds i_ull_ValueLength bytes; above
// 32 bits when it cannot exist.
uint64_t RecordSizeFor(uint8_t i_uc_First, uint64_t i_ull_ValueLength) {
    const uint64_t l_ull_Stored = i_ull_ValueLength + ExtendedIdSize(i_uc_First);
    const uint64_t l_ull_LengthField =
        l_ull_Stored >= ILV_LONG_LENGTH_MARK ? ILV_LONG_LENGTH_SIZE : ILV_SHORT_LENGTH_SIZE;
    return IdFieldSize(i_uc_First) + l_ull_LengthField + ExtendedIdSize(i_uc_First) +
           i_ull_ValueLength;
}

} // namespace

int32_t ILV_Init(uint8_t* o_puc_Record, uint32_t* o_pul_Size, uint16_t i_us_Identifier) {
    const uint8_t l_uc_Low = static_cast<uint8_t>(i_us_Identifier);
    const uint8_t l_uc_High = static_cast<uint8_t>(i_us_Identifier >> 8);
    if (i_us_Identifier < ILV_MARK_EXTENDED) {
        o_puc_Record[0] = l_uc_Low;
        o_puc_Record[1] = 0;
        o_puc_Record[2] = 0;
    } else if (l_uc_High == ILV_MARK_HIGH) {
        o_puc_Record[0] = ILV_MARK_HIGH;
        o_puc_Record[1] = l_uc_Low;
        o_puc_Record[2] = 0;
        o_puc_Record[3] = 0;
    } else {
        o_puc_Record[0] = ILV_MARK_EXTENDED;
        PutU16LE(o_puc_Record + 1, ILV_EXTENDED_ID_SIZE);
        o_puc_Record[3] = l_uc_Low;
        o_puc_Record[4] = l_uc_High;
    }
    *o_pul_Size = EmptyRecordSize(i_us_Identifier);
    return TULVO_OK;
}

uint16_t ILV_GetIdentifier(const uint8_t* i_puc_Record) {
    const uint8_t l_uc_First = i_puc_Record[0];
    if (l_uc_First == ILV_MARK_HIGH) {
        return static_cast<uint16_t>(0xFF00 | i_puc_Record[1]);
    }
    if (l_uc_First == ILV_MARK_EXTENDED) {
        return GetU16LE(i_puc_Record + ILV_GetHeaderSize(i_puc_Record) - ILV_EXTENDED_ID_SIZE);
    }
    return l_uc_First;
}

uint32_t ILV_GetLength(const uint8_t* i_puc_Record) {
    return StoredLength(i_puc_Record) - ExtendedIdSize(i_puc_Record[0]);
}

uint8_t* ILV_GetValue(const uint8_t* i_puc_Record) {
    // Same contract as strchr: the caller decides whether the record is writable.
    return const_cast<uint8_t*>(i_puc_Record) + ILV_GetHeaderSize(i_puc_Record);
}

uint32_t ILV_GetHeaderSize(const uint8_t* i_puc_Record) {
    const uint8_t l_uc_First = i_puc_Record[0];
    const uint32_t l_ul_IdSize = IdFieldSize(l_uc_First);
    const uint32_t l_ul_LengthSize = IsLongForm(i_puc_Record + l_ul_IdSize)
                                         ? static_cast<uint32_t>(ILV_LONG_LENGTH_SIZE)
                                         : static_cast<uint32_t>(ILV_SHORT_LENGTH_SIZE);
    return l_ul_IdSize + l_ul_LengthSize + ExtendedIdSize(l_uc_First);
}

uint32_t ILV_GetSize(const uint8_t* i_puc_Record) {
    return ILV_GetHeaderSize(i_puc_Record) + ILV_GetLength(i_puc_Record);
}

int32_t ILV_SetLength(uint8_t* io_puc_Record, uint32_t* io_pul_Size, uint32_t i_ul_Length) {
    const uint8_t l_uc_First = io_puc_Record[0];
    const uint64_t l_ull_Stored = static_cast<uint64_t>(i_ul_Length) + ExtendedIdSize(l_uc_First);
    const uint32_t l_ul_IdSize = IdFieldSize(l_uc_First);
    uint8_t* l_puc_Field = io_puc_Record + l_ul_IdSize;
    if (l_ull_Stored > 0xFFFFFFFFu) {
        return TULVO_BAD_PARAMETER;
    }
    const uint32_t l_ul_Stored = static_cast<uint32_t>(l_ull_Stored);
    if (!IsLongForm(l_puc_Field)) {
        if (l_ul_Stored < ILV_LONG_LENGTH_MARK) {
            PutU16LE(l_puc_Field, l_ul_Stored);
            return TULVO_OK;
        }
        if (*io_pul_Size < l_ul_IdSize + ILV_SHORT_LENGTH_SIZE) {
            return TULVO_BAD_PARAMETER;
        }
        // Grow the field: everything after it (extended identifier, value) moves 4 bytes on.
        memmove(l_puc_Field + ILV_LONG_LENGTH_SIZE, l_puc_Field + ILV_SHORT_LENGTH_SIZE,
                *io_pul_Size - l_ul_IdSize - ILV_SHORT_LENGTH_SIZE);
        PutU16LE(l_puc_Field, ILV_LONG_LENGTH_MARK);
        PutU32LE(l_puc_Field + 2, l_ul_Stored);
        *io_pul_Size += ILV_LONG_LENGTH_SIZE - ILV_SHORT_LENGTH_SIZE;
        return TULVO_OK;
    }
    if (l_ul_Stored >= ILV_LONG_LENGTH_MARK) {
        PutU32LE(l_puc_Field + 2, l_ul_Stored);
        return TULVO_OK;
    }
    if (*io_pul_Size < l_ul_IdSize + ILV_LONG_LENGTH_SIZE) {
        return TULVO_BAD_PARAMETER;
    }
    // Shrink the field back to its short form: the bytes after it move 4 bytes back.
    memmove(l_puc_Field + ILV_SHORT_LENGTH_SIZE, l_puc_Field + ILV_LONG_LENGTH_SIZE,
            *io_pul_Size - l_ul_IdSize - ILV_LONG_LENGTH_SIZE);
    PutU16LE(l_puc_Field, l_ul_Stored);
    *io_pul_Size -= ILV_LONG_LENGTH_SIZE - ILV_SHORT_LENGTH_SIZE;
    return TULVO_OK;
}

int32_t ILV_AddValue(uint8_t* io_puc_Record, uint32_t* io_pul_Size, const uint8_t* i_puc_Bytes,
                     uint32_t i_ul_Count) {
    const uint64_t l_ull_Length = static_cast<uint64_t>(ILV_GetLength(io_puc_Record)) + i_ul_Count;
    if (l_ull_Length > 0xFFFFFFFFu) {
        return TULVO_BAD_PARAMETER;
    }
    const int32_t l_i_Status =
        ILV_SetLength(io_puc_Record, io_pul_Size, static_cast<uint32_t>(l_ull_Length));
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    if (i_ul_Count > 0) {
        memcpy(io_puc_Record + *io_pul_Size, i_puc_Bytes, i_ul_Count);
    }
    *io_pul_Size += i_ul_Count;
    return TULVO_OK;
}

int32_t ILV_Check(const uint8_t* i_puc_Bytes, uint32_t i_ul_Count) {
    if (i_puc_Bytes == nullptr || i_ul_Count < 3) {
        return TULVO_ILV_INVALID;
    }
    const uint8_t l_uc_First = i_puc_Bytes[0];
    const uint32_t l_ul_IdSize = IdFieldSize(l_uc_First);
    if (i_ul_Count < l_ul_IdSize + ILV_SHORT_LENGTH_SIZE) {
        return TULVO_ILV_INVALID;
    }
    const bool l_b_Long = IsLongForm(i_puc_Bytes + l_ul_IdSize);
    const uint32_t l_ul_HeaderSize = l_ul_IdSize +
                                     (l_b_Long ? ILV_LONG_LENGTH_SIZE : ILV_SHORT_LENGTH_SIZE) +
                                     ExtendedIdSize(l_uc_First);
    if (i_ul_Count < l_ul_HeaderSize) {
        return TULVO_ILV_INVALID;
    }
    const uint32_t l_ul_Stored = StoredLength(i_puc_Bytes);
    // An extended record whose stored length cannot even hold its identifier has no value
    // length at all; refuse it rather than let the subtraction wrap.
    if (l_ul_Stored < ExtendedIdSize(l_uc_First)) {
        return TULVO_ILV_INVALID;
    }
    const uint64_t l_ull_Expected =
        static_cast<uint64_t>(l_ul_HeaderSize) + (l_ul_Stored - ExtendedIdSize(l_uc_First));
    if (l_ull_Expected != i_ul_Count) {
        return TULVO_ILV_INVALID;
    }
    if (l_uc_First == ILV_MARK_EXTENDED &&
        GetU16LE(i_puc_Bytes + l_ul_HeaderSize - ILV_EXTENDED_ID_SIZE) < 0x0100) {
        return TULVO_ILV_BAD_EXTENDED_ID;
    }
    return TULVO_OK;
}

int32_t ILV_AppendToBuffer(ILV_Buffer* io_px_Buffer, uint32_t i_ul_Count,
                           const uint8_t* i_puc_Bytes, uint32_t* o_pul_NewSize) {
    if (io_px_Buffer == nullptr || io_px_Buffer->m_puc_Record == nullptr ||
        (i_ul_Count > 0 && i_puc_Bytes == nullptr)) {
        return TULVO_BAD_PARAMETER;
    }
    uint8_t* l_puc_Record = io_px_Buffer->m_puc_Record;
    uint32_t l_ul_Size = ILV_GetSize(l_puc_Record);
    // The room check counts the 4 bytes that the switch to the long length form adds.
    const uint64_t l_ull_Needed = RecordSizeFor(
        l_puc_Record[0], static_cast<uint64_t>(ILV_GetLength(l_puc_Record)) + i_ul_Count);
    if (l_ull_Needed > io_px_Buffer->m_ul_Capacity) {
        return TULVO_ILV_BUFFER_TOO_SMALL;
    }
    const int32_t l_i_Status = ILV_AddValue(l_puc_Record, &l_ul_Size, i_puc_Bytes, i_ul_Count);
    if (l_i_Status == TULVO_OK && o_pul_NewSize != nullptr) {
        *o_pul_NewSize = l_ul_Size;
    }
    return l_i_Status;
}

int32_t ILV_BuildInBuffer(ILV_Buffer* io_px_Buffer, uint16_t i_us_Identifier,
                          const ILV_Value* i_px_Value, uint32_t* o_pul_Size) {
    if (io_px_Buffer == nullptr || io_px_Buffer->m_puc_Record == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    const uint32_t l_ul_ValueLength = i_px_Value != nullptr ? i_px_Value->m_ul_Length : 0;
    if (l_ul_ValueLength > 0 && i_px_Value->m_puc_Bytes == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    if (io_px_Buffer->m_ul_Capacity < EmptyRecordSize(i_us_Identifier)) {
        return TULVO_ILV_BUFFER_TOO_SMALL;
    }
    uint8_t* l_puc_Record = io_px_Buffer->m_puc_Record;
    uint32_t l_ul_Size = 0;
    ILV_Init(l_puc_Record, &l_ul_Size, i_us_Identifier);
    if (RecordSizeFor(l_puc_Record[0], l_ul_ValueLength) > io_px_Buffer->m_ul_Capacity) {
        return TULVO_ILV_BUFFER_TOO_SMALL;
    }
    if (l_ul_ValueLength > 0) {
        const int32_t l_i_Status =
            ILV_AddValue(l_puc_Record, &l_ul_Size, i_px_Value->m_puc_Bytes, l_ul_ValueLength);
        if (l_i_Status != TULVO_OK) {
            return l_i_Status;
        }
    }
    if (o_pul_Size != nullptr) {
        *o_pul_Size = l_ul_Size;
    }
    return TULVO_OK;
}

int32_t ILV_ReadValue(const uint8_t* i_puc_Record, uint32_t* io_pul_Position,
                      uint8_t* o_puc_Destination, uint32_t i_ul_Count) {
    const uint32_t l_ul_Length = ILV_GetLength(i_puc_Record);
    const uint32_t l_ul_Position = *io_pul_Position;
    if (l_ul_Position > l_ul_Length || l_ul_Length - l_ul_Position < i_ul_Count) {
        return TULVO_ILV_READ_OVERFLOW;
    }
    if (i_ul_Count > 0) {
        memcpy(o_puc_Destination, ILV_GetValue(i_puc_Record) + l_ul_Position, i_ul_Count);
    }
    *io_pul_Position = l_ul_Position + i_ul_Count;
    return TULVO_OK;
}
