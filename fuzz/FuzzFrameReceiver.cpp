// The frame receiver on hostile serial input, fed in chunks whose sizes the input chooses.
// When neither run fails, feeding the same stream whole must deliver the same frames: a
// frame must never depend on where the reads happened to split the stream.
#include "device/link/FrameCodec.h"
#include "ipc/protocol/TulvoStatus.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <vector>

namespace {

class CCollector : public CFrameOwner {
public:
    int32_t HandleReceiveFrame(uint8_t* i_puc_Frame, uint32_t i_ul_Length) override {
        if (i_puc_Frame == nullptr) {
            abort();
        }
        m_ax_Frames.emplace_back(i_puc_Frame, i_puc_Frame + i_ul_Length);
        free(i_puc_Frame);
        return 0;
    }
    std::vector<std::vector<uint8_t>> m_ax_Frames;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* i_puc_Data, size_t i_st_Size) {
    if (i_st_Size < 1) {
        return 0;
    }
    // First byte: seed of the chunk sizes (1 to 16 bytes, or the whole rest when 0).
    uint32_t l_ul_Seed = i_puc_Data[0];
    const uint8_t* l_puc_Stream = i_puc_Data + 1;
    const size_t l_st_Length = i_st_Size - 1;

    CCollector l_x_Chunked;
    CFrameReceiver l_x_Receiver(&l_x_Chunked);
    bool l_b_ChunkedFailed = false;
    size_t l_st_At = 0;
    while (l_st_At < l_st_Length) {
        l_ul_Seed = l_ul_Seed * 1103515245u + 12345u;
        size_t l_st_Chunk = l_ul_Seed == 0 ? l_st_Length : 1 + (l_ul_Seed >> 16) % 16;
        if (l_st_Chunk > l_st_Length - l_st_At) {
            l_st_Chunk = l_st_Length - l_st_At;
        }
        // Each chunk in its own block, so that a read past it is caught.
        std::vector<uint8_t> l_x_Chunk(l_puc_Stream + l_st_At, l_puc_Stream + l_st_At + l_st_Chunk);
        if (l_x_Receiver.HandleReceiveBytes(l_x_Chunk.data(), static_cast<uint32_t>(l_st_Chunk)) !=
            TULVO_OK) {
            l_b_ChunkedFailed = true;
            l_x_Receiver.ResetReceive();
        }
        l_st_At += l_st_Chunk;
    }

    CCollector l_x_Whole;
    CFrameReceiver l_x_WholeReceiver(&l_x_Whole);
    std::vector<uint8_t> l_x_All(l_puc_Stream, l_puc_Stream + l_st_Length);
    const int32_t l_i_WholeStatus = l_x_WholeReceiver.HandleReceiveBytes(
        l_x_All.empty() ? nullptr : l_x_All.data(), static_cast<uint32_t>(l_st_Length));
    if (!l_b_ChunkedFailed && l_i_WholeStatus == TULVO_OK &&
        l_x_Chunked.m_ax_Frames != l_x_Whole.m_ax_Frames) {
        abort();
    }
    // Every delivered frame must travel back through the encoder to a stream that yields it.
    for (const std::vector<uint8_t>& l_x_Frame : l_x_Whole.m_ax_Frames) {
        uint8_t* l_puc_Encoded = nullptr;
        uint32_t l_ul_Size = 0;
        if (Frame_AllocEncoded(l_x_Frame.data(), static_cast<uint32_t>(l_x_Frame.size()),
                               &l_puc_Encoded, &l_ul_Size) != TULVO_OK) {
            abort();
        }
        CCollector l_x_Again;
        CFrameReceiver l_x_AgainReceiver(&l_x_Again);
        if (l_x_AgainReceiver.HandleReceiveBytes(l_puc_Encoded, l_ul_Size) != TULVO_OK ||
            l_x_Again.m_ax_Frames.size() != 1 || l_x_Again.m_ax_Frames[0] != l_x_Frame) {
            abort();
        }
        free(l_puc_Encoded);
    }
    return 0;
}
