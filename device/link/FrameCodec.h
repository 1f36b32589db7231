// The link framing of the sensor's serial byte stream, both directions:
//   "SYNC" | L (u32 LE) | ~L (u32 LE) | L data bytes (one ILV record) | "EN"
// The framing has no checksum; a frame is recognised by its header, the complement of its
// length and its trailer. This file is portable: CUsbSerialProtocole feeds the receiver with
// every chunk its receive thread reads, and the sensor simulator uses both halves.
#ifndef TULVO_DEVICE_LINK_FRAMECODEC_H
#define TULVO_DEVICE_LINK_FRAMECODEC_H

#include <stddef.h>
#include <stdint.h>

#define FRAME_SYNC "SYNC"
#define FRAME_TRAILER "EN"
#define FRAME_HEADER_SIZE 12
#define FRAME_TRAILER_SIZE 2
#define FRAME_OVERHEAD (FRAME_HEADER_SIZE + FRAME_TRAILER_SIZE)

// Largest data length the receiver accepts. The header's complement only proves the length was
// not garbled, not that it is sane; without a bound one bad header could make the receive
// thread allocate up to 4 GiB. Sensor records (images included) stay far below this.
#define FRAME_MAX_DATA_LENGTH (8u * 1024u * 1024u)

// The USB serial driver cannot tell a transfer that ends exactly on a 64-byte packet boundary
// from one still going on; the writer follows such a frame, after this pause, with one 0x00
// byte, which the receiver skips as noise while it hunts for "SYNC".
#define FRAME_PACKET_SIZE 64
#define FRAME_ZERO_BYTE_DELAY_MS 10

// Bytes on the wire for L data bytes; 0 when that does not fit in 32 bits.
uint32_t Frame_EncodedSize(uint32_t i_ul_DataLength);

// True when a frame of that many bytes on the wire must be followed by the 0x00 byte.
bool Frame_NeedsZeroByte(uint32_t i_ul_FrameSize);

// Writes the frame of the L data bytes into o_puc_Frame, which holds i_ul_Capacity bytes.
// 0; TULVO_BAD_PARAMETER when the capacity is below Frame_EncodedSize(L) or data is missing;
// TULVO_DATA_TOO_LARGE when the frame size does not fit in 32 bits.
int32_t Frame_Encode(const uint8_t* i_puc_Data, uint32_t i_ul_DataLength, uint8_t* o_puc_Frame,
                     uint32_t i_ul_Capacity);

// Allocates (malloc) and encodes the whole frame so that it goes out in one write; the caller
// frees it. TULVO_NO_MEMORY with nothing handed out when the allocation fails (the caller logs
// the system error), or a status of Frame_Encode.
int32_t Frame_AllocEncoded(const uint8_t* i_puc_Data, uint32_t i_ul_DataLength,
                           uint8_t** o_ppuc_Frame, uint32_t* o_pul_FrameSize);

// Whoever owns the link gets every complete frame.
class CFrameOwner {
public:
    // i_puc_Frame (malloc'ed, released with free) passes to the owner with the call; it holds
    // the frame's i_ul_Length data bytes and is never NULL, also for L = 0. The result is not
    // looked at.
    virtual int32_t HandleReceiveFrame(uint8_t* i_puc_Frame, uint32_t i_ul_Length) = 0;

protected:
    ~CFrameOwner() = default;
};

// Receive state machine over the byte stream, fed chunk by chunk in stream order. States:
//   0..3   matching "SYNC" (a stray 'S' restarts the match at 1)
//   4..7   L, lowest byte first          8..11  complement of L, lowest byte first
//   12     data bytes                    13, 14 'E', 'N'
// Runs on one thread (the port's receive thread); not thread-safe.
class CFrameReceiver {
public:
    struct RxStruct {
        uint32_t m_ul_BytesReceived;
        uint32_t m_ul_BytesToReceive;
        uint32_t m_ul_LengthComplement; // kept so that a header split across chunks still checks
        uint8_t* m_puc_Frame;           // owned until handed to the owner or dropped
        uint8_t m_uc_State;
    };

    explicit CFrameReceiver(CFrameOwner* i_px_Owner = nullptr);
    ~CFrameReceiver();
    CFrameReceiver(const CFrameReceiver&) = delete;
    CFrameReceiver& operator=(const CFrameReceiver&) = delete;

    void SetOwner(CFrameOwner* i_px_Owner) { m_px_Owner = i_px_Owner; }

    // Consumes the chunk and delivers each frame completed in it, in order. 0, or the status
    // that stopped the chunk: TULVO_BAD_FRAME_LENGTH (complement mismatch, or a length above
    // FRAME_MAX_DATA_LENGTH), TULVO_NO_MEMORY, TULVO_CORRUPTED_FRAME (bad trailer). After a
    // failure the rest of the chunk is not looked at and the caller is expected to call
    // ResetReceive.
    int32_t HandleReceiveBytes(const uint8_t* i_puc_Bytes, uint32_t i_ul_Count);

    // Drops any partial frame and hunts for "SYNC" again.
    void ResetReceive();

    // The fewest bytes that can complete the frame in progress, at least 1: while the header is
    // incomplete, the rest of the shortest frame (FRAME_OVERHEAD bytes), else the data still
    // missing and the trailer. Whatever the stream holds, the next complete frame owes at least
    // this many bytes, so a read of this size never waits behind a complete frame.
    uint32_t GetBytesToCompleteFrame() const;

    const RxStruct& GetRxStruct() const { return m_x_RxStruct; }

private:
    int32_t CheckHeader();
    int32_t Fail(int32_t i_i_Status);
    void DeliverFrame();

    CFrameOwner* m_px_Owner;
    RxStruct m_x_RxStruct;
};

#endif
