#include "device/link/FrameCodec.h"

#include "ipc/protocol/TulvoStatus.h"
#include "service/TraceLog.h"

#include <stdlib.h>
#include <string.h>

namespace {

enum : uint8_t {
    STATE_SYNC_FIRST = 0,
    STATE_LENGTH_FIRST = 4,
    STATE_COMPLEMENT_FIRST = 8,
    STATE_DATA = 12,
    STATE_TRAILER_E = 13,
    STATE_TRAILER_N = 14,
};

void PutU32LE(uint8_t* o_puc_Bytes, uint32_t i_ul_Value) {
    o_puc_Bytes[0] = static_cast<uint8_t>(i_ul_Value);
    o_puc_Bytes[1] = static_cast<uint8_t>(i_ul_Value >> 8);
    o_puc_Bytes[2] = static_cast<uint8_t>(i_ul_Value >> 16);
    o_puc_Bytes[3] = static_cast<uint8_t>(i_ul_Value >> 24);
}

} // namespace

uint32_t Frame_EncodedSize(uint32_t i_ul_DataLength) {
    if (i_ul_DataLength > 0xFFFFFFFFu - FRAME_OVERHEAD) {
        return 0;
    }
    return i_ul_DataLength + FRAME_OVERHEAD;
}

bool Frame_NeedsZeroByte(uint32_t i_ul_FrameSize) {
    return i_ul_FrameSize % FRAME_PACKET_SIZE == 0;
}

int32_t Frame_Encode(const uint8_t* i_puc_Data, uint32_t i_ul_DataLength, uint8_t* o_puc_Frame,
                     uint32_t i_ul_Capacity) {
    const uint32_t l_ul_FrameSize = Frame_EncodedSize(i_ul_DataLength);
    if (l_ul_FrameSize == 0) {
        return TULVO_DATA_TOO_LARGE;
    }
    if (o_puc_Frame == nullptr || i_ul_Capacity < l_ul_FrameSize ||
        (i_ul_DataLength > 0 && i_puc_Data == nullptr)) {
        return TULVO_BAD_PARAMETER;
    }
    memcpy(o_puc_Frame, FRAME_SYNC, 4);
    PutU32LE(o_puc_Frame + 4, i_ul_DataLength);
    PutU32LE(o_puc_Frame + 8, ~i_ul_DataLength);
    if (i_ul_DataLength > 0) {
        memcpy(o_puc_Frame + FRAME_HEADER_SIZE, i_puc_Data, i_ul_DataLength);
    }
    memcpy(o_puc_Frame + FRAME_HEADER_SIZE + i_ul_DataLength, FRAME_TRAILER, FRAME_TRAILER_SIZE);
    return TULVO_OK;
}

int32_t Frame_AllocEncoded(const uint8_t* i_puc_Data, uint32_t i_ul_DataLength,
                           uint8_t** o_ppuc_Frame, uint32_t* o_pul_FrameSize) {
    *o_ppuc_Frame = nullptr;
    *o_pul_FrameSize = 0;
    const uint32_t l_ul_FrameSize = Frame_EncodedSize(i_ul_DataLength);
    if (l_ul_FrameSize == 0) {
        return TULVO_DATA_TOO_LARGE;
    }
    uint8_t* l_puc_Frame = static_cast<uint8_t*>(malloc(l_ul_FrameSize));
    if (l_puc_Frame == nullptr) {
        return TULVO_NO_MEMORY;
    }
    const int32_t l_i_Status =
        Frame_Encode(i_puc_Data, i_ul_DataLength, l_puc_Frame, l_ul_FrameSize);
    if (l_i_Status != TULVO_OK) {
        free(l_puc_Frame);
        return l_i_Status;
    }
    *o_ppuc_Frame = l_puc_Frame;
    *o_pul_FrameSize = l_ul_FrameSize;
    return TULVO_OK;
}

CFrameReceiver::CFrameReceiver(CFrameOwner* i_px_Owner)
    : m_px_Owner(i_px_Owner), m_x_RxStruct{0, 0, 0, nullptr, STATE_SYNC_FIRST} {}

CFrameReceiver::~CFrameReceiver() {
    free(m_x_RxStruct.m_puc_Frame);
}

void CFrameReceiver::ResetReceive() {
    free(m_x_RxStruct.m_puc_Frame);
    m_x_RxStruct.m_puc_Frame = nullptr;
    m_x_RxStruct.m_ul_BytesReceived = 0;
    m_x_RxStruct.m_ul_BytesToReceive = 0;
    m_x_RxStruct.m_uc_State = STATE_SYNC_FIRST;
}

uint32_t CFrameReceiver::GetBytesToCompleteFrame() const {
    const RxStruct& l_x_Rx = m_x_RxStruct;
    if (l_x_Rx.m_uc_State < STATE_DATA) {
        return FRAME_OVERHEAD - l_x_Rx.m_uc_State;
    }
    if (l_x_Rx.m_uc_State == STATE_DATA) {
        // The length passed the header check: no overflow below FRAME_MAX_DATA_LENGTH.
        return l_x_Rx.m_ul_BytesToReceive - l_x_Rx.m_ul_BytesReceived + FRAME_TRAILER_SIZE;
    }
    return STATE_TRAILER_N + 1u - l_x_Rx.m_uc_State;
}

int32_t CFrameReceiver::Fail(int32_t i_i_Status) {
    TraceLog_Printf("TULVO_HandleReceiveBytes : Error %d \n", i_i_Status);
    // Never leave a state that a caller who forgets its reset could go on from: a header
    // without buffer, or a frame whose trailer was wrong.
    ResetReceive();
    return i_i_Status;
}

int32_t CFrameReceiver::CheckHeader() {
    RxStruct& l_x_Rx = m_x_RxStruct;
    if (l_x_Rx.m_ul_BytesToReceive != ~l_x_Rx.m_ul_LengthComplement) {
        // No allocation for a length that is known to be garbled.
        TraceLog_Printf("TULVO_HandleReceiveBytes Err Length : "
                        "m_x_RxStruct.m_ul_BytesToReceive:0x%x\tl_ul_len:0x%x",
                        l_x_Rx.m_ul_BytesToReceive, l_x_Rx.m_ul_LengthComplement);
        return TULVO_BAD_FRAME_LENGTH;
    }
    if (l_x_Rx.m_ul_BytesToReceive > FRAME_MAX_DATA_LENGTH) {
        TraceLog_Printf("TULVO_HandleReceiveBytes Err Length : "
                        "m_x_RxStruct.m_ul_BytesToReceive:0x%x above the limit 0x%x\n",
                        l_x_Rx.m_ul_BytesToReceive, FRAME_MAX_DATA_LENGTH);
        return TULVO_BAD_FRAME_LENGTH;
    }
    l_x_Rx.m_ul_BytesReceived = 0;
    // One byte at least, so that an empty frame still has a buffer to hand over.
    const size_t l_st_Size = l_x_Rx.m_ul_BytesToReceive > 0 ? l_x_Rx.m_ul_BytesToReceive : 1;
    l_x_Rx.m_puc_Frame = static_cast<uint8_t*>(malloc(l_st_Size));
    if (l_x_Rx.m_puc_Frame == nullptr) {
        TraceLog_Printf("CUsbSerialProtocole::HandleReceiveBytes: malloc Err\n");
        return TULVO_NO_MEMORY;
    }
    return TULVO_OK;
}

void CFrameReceiver::DeliverFrame() {
    uint8_t* l_puc_Frame = m_x_RxStruct.m_puc_Frame;
    const uint32_t l_ul_Length = m_x_RxStruct.m_ul_BytesReceived;
    // The state is clean before the owner runs, so that the owner may reset the link.
    m_x_RxStruct.m_puc_Frame = nullptr;
    m_x_RxStruct.m_ul_BytesReceived = 0;
    m_x_RxStruct.m_ul_BytesToReceive = 0;
    m_x_RxStruct.m_uc_State = STATE_SYNC_FIRST;
    if (m_px_Owner != nullptr) {
        m_px_Owner->HandleReceiveFrame(l_puc_Frame, l_ul_Length);
    } else {
        free(l_puc_Frame);
    }
}

int32_t CFrameReceiver::HandleReceiveBytes(const uint8_t* i_puc_Bytes, uint32_t i_ul_Count) {
    RxStruct& l_x_Rx = m_x_RxStruct;
    if (i_ul_Count == 0) {
        TraceLog_Printf("HandleReceiveBytes 0 data and state %d\n", l_x_Rx.m_uc_State);
        return TULVO_OK;
    }
    if (i_puc_Bytes == nullptr) {
        return Fail(TULVO_BAD_PARAMETER);
    }
    const uint8_t* l_puc_Next = i_puc_Bytes;
    const uint8_t* const l_puc_End = i_puc_Bytes + i_ul_Count;
    while (l_puc_Next < l_puc_End) {
        const uint8_t l_uc_State = l_x_Rx.m_uc_State;
        if (l_uc_State == STATE_DATA) {
            const uint32_t l_ul_Missing = l_x_Rx.m_ul_BytesToReceive - l_x_Rx.m_ul_BytesReceived;
            const size_t l_st_Left = static_cast<size_t>(l_puc_End - l_puc_Next);
            const uint32_t l_ul_Copy =
                l_st_Left < l_ul_Missing ? static_cast<uint32_t>(l_st_Left) : l_ul_Missing;
            memcpy(l_x_Rx.m_puc_Frame + l_x_Rx.m_ul_BytesReceived, l_puc_Next, l_ul_Copy);
            l_x_Rx.m_ul_BytesReceived += l_ul_Copy;
            l_puc_Next += l_ul_Copy;
            if (l_x_Rx.m_ul_BytesReceived == l_x_Rx.m_ul_BytesToReceive) {
                l_x_Rx.m_uc_State = STATE_TRAILER_E;
            }
            continue;
        }
        if (l_uc_State == STATE_SYNC_FIRST) {
            // Between frames only an 'S' matters; skip noise in one sweep.
            const void* l_pv_S =
                memchr(l_puc_Next, FRAME_SYNC[0], static_cast<size_t>(l_puc_End - l_puc_Next));
            if (l_pv_S == nullptr) {
                break;
            }
            l_puc_Next = static_cast<const uint8_t*>(l_pv_S) + 1;
            l_x_Rx.m_uc_State = STATE_SYNC_FIRST + 1;
            continue;
        }
        const uint8_t l_uc_Byte = *l_puc_Next++;
        if (l_uc_State < STATE_LENGTH_FIRST) {
            if (l_uc_Byte == static_cast<uint8_t>(FRAME_SYNC[l_uc_State])) {
                l_x_Rx.m_uc_State = l_uc_State + 1;
            } else {
                l_x_Rx.m_uc_State = l_uc_Byte == FRAME_SYNC[0] ? 1 : STATE_SYNC_FIRST;
            }
        } else if (l_uc_State < STATE_COMPLEMENT_FIRST) {
            const unsigned l_u_Shift = 8u * (l_uc_State - STATE_LENGTH_FIRST);
            const uint32_t l_ul_Kept =
                l_uc_State == STATE_LENGTH_FIRST ? 0 : l_x_Rx.m_ul_BytesToReceive;
            l_x_Rx.m_ul_BytesToReceive =
                l_ul_Kept | (static_cast<uint32_t>(l_uc_Byte) << l_u_Shift);
            l_x_Rx.m_uc_State = l_uc_State + 1;
        } else if (l_uc_State < STATE_DATA) {
            const unsigned l_u_Shift = 8u * (l_uc_State - STATE_COMPLEMENT_FIRST);
            const uint32_t l_ul_Kept =
                l_uc_State == STATE_COMPLEMENT_FIRST ? 0 : l_x_Rx.m_ul_LengthComplement;
            l_x_Rx.m_ul_LengthComplement =
                l_ul_Kept | (static_cast<uint32_t>(l_uc_Byte) << l_u_Shift);
            l_x_Rx.m_uc_State = l_uc_State + 1;
            if (l_x_Rx.m_uc_State == STATE_DATA) {
                const int32_t l_i_Status = CheckHeader();
                if (l_i_Status != TULVO_OK) {
                    return Fail(l_i_Status);
                }
            }
        } else if (l_uc_State == STATE_TRAILER_E && l_uc_Byte == FRAME_TRAILER[0]) {
            l_x_Rx.m_uc_State = STATE_TRAILER_N;
        } else if (l_uc_State == STATE_TRAILER_N && l_uc_Byte == FRAME_TRAILER[1]) {
            DeliverFrame();
        } else {
            // An empty frame has no first data byte to show; it shows 0.
            const unsigned l_u_First = l_x_Rx.m_ul_BytesToReceive > 0 ? l_x_Rx.m_puc_Frame[0] : 0u;
            TraceLog_Printf("TULVO_HandleReceiveBytes : CURRPUTED FRAME (ILV %X)  \n", l_u_First);
            return Fail(TULVO_CORRUPTED_FRAME);
        }
    }
    return TULVO_OK;
}
