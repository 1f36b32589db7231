// Receive-side throughput of the link framing, the work the serial receive thread does for
// every read. Prints MB/s for 4 KiB frames fed in 32 KiB chunks next to a plain memcpy of the
// same bytes in the same run, and frames per second for small frames.
// Numbers are only meaningful without sanitizers; bench/run-all.sh builds such a tree
// (build/bench-host), or by hand:
//   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++ \
//         -DCMAKE_C_COMPILER=clang -DTULVO_SANITIZE=OFF && cmake --build build-bench \
//         --target bench_frame_receiver && build-bench/bin/bench_frame_receiver
#include "bench/common/BenchStats.h"
#include "device/link/FrameCodec.h"
#include "ipc/protocol/TulvoStatus.h"

#include <algorithm>
#include <chrono>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Takes each frame the way a device object does (it owns the buffer) and lets it go.
class CCountingOwner : public CFrameOwner {
public:
    int32_t HandleReceiveFrame(uint8_t* i_puc_Frame, uint32_t i_ul_Length) override {
        m_ull_Frames++;
        m_ull_Checksum += i_ul_Length > 0 ? i_puc_Frame[i_ul_Length - 1] : 0;
        free(i_puc_Frame);
        return 0;
    }
    uint64_t m_ull_Frames = 0;
    uint64_t m_ull_Checksum = 0;
};

std::vector<uint8_t> BuildStream(uint32_t i_ul_DataLength, uint32_t i_ul_Frames) {
    std::vector<uint8_t> l_x_Data(i_ul_DataLength);
    for (uint32_t l_ul_Index = 0; l_ul_Index < i_ul_DataLength; ++l_ul_Index) {
        l_x_Data[l_ul_Index] = static_cast<uint8_t>(l_ul_Index * 13 + 1);
    }
    std::vector<uint8_t> l_x_Stream;
    for (uint32_t l_ul_Frame = 0; l_ul_Frame < i_ul_Frames; ++l_ul_Frame) {
        uint8_t* l_puc_Frame = nullptr;
        uint32_t l_ul_Size = 0;
        if (Frame_AllocEncoded(l_x_Data.data(), i_ul_DataLength, &l_puc_Frame, &l_ul_Size) !=
            TULVO_OK) {
            abort();
        }
        l_x_Stream.insert(l_x_Stream.end(), l_puc_Frame, l_puc_Frame + l_ul_Size);
        free(l_puc_Frame);
        // What the writer sends after a frame of whole USB packets.
        if (Frame_NeedsZeroByte(l_ul_Size)) {
            l_x_Stream.push_back(0x00);
        }
    }
    return l_x_Stream;
}

// Best time of several rounds, each long enough to measure, in seconds per pass.
template <typename Pass> double BestSecondsPerPass(Pass i_x_Pass) {
    double l_d_Best = 1e9;
    for (int l_i_Round = 0; l_i_Round < 5; ++l_i_Round) {
        int l_i_Passes = 0;
        const Clock::time_point l_x_Start = Clock::now();
        double l_d_Elapsed = 0;
        do {
            i_x_Pass();
            ++l_i_Passes;
            l_d_Elapsed = std::chrono::duration<double>(Clock::now() - l_x_Start).count();
        } while (l_d_Elapsed < 0.2);
        l_d_Best = std::min(l_d_Best, l_d_Elapsed / l_i_Passes);
    }
    return l_d_Best;
}

void FeedInChunks(CFrameReceiver& io_x_Receiver, const std::vector<uint8_t>& i_x_Stream,
                  size_t i_st_Chunk) {
    for (size_t l_st_At = 0; l_st_At < i_x_Stream.size(); l_st_At += i_st_Chunk) {
        const size_t l_st_Count = std::min(i_st_Chunk, i_x_Stream.size() - l_st_At);
        if (io_x_Receiver.HandleReceiveBytes(i_x_Stream.data() + l_st_At,
                                             static_cast<uint32_t>(l_st_Count)) != TULVO_OK) {
            abort();
        }
    }
}

struct Result {
    double m_d_ReceiverMBps;
    double m_d_MemcpyMBps;
    double m_d_FramesPerSecond;
};

Result Measure(uint32_t i_ul_DataLength, uint32_t i_ul_Frames, size_t i_st_Chunk) {
    const std::vector<uint8_t> l_x_Stream = BuildStream(i_ul_DataLength, i_ul_Frames);
    const double l_d_MB = static_cast<double>(l_x_Stream.size()) / 1e6;

    std::vector<uint8_t> l_x_Copy(l_x_Stream.size());
    const double l_d_Memcpy = BestSecondsPerPass([&] {
        for (size_t l_st_At = 0; l_st_At < l_x_Stream.size(); l_st_At += i_st_Chunk) {
            const size_t l_st_Count = std::min(i_st_Chunk, l_x_Stream.size() - l_st_At);
            memcpy(l_x_Copy.data() + l_st_At, l_x_Stream.data() + l_st_At, l_st_Count);
        }
        // Keep the copy observable so that it is not optimised away.
        asm volatile("" : : "r"(l_x_Copy.data()) : "memory");
    });

    CCountingOwner l_x_Owner;
    CFrameReceiver l_x_Receiver(&l_x_Owner);
    const double l_d_Receive =
        BestSecondsPerPass([&] { FeedInChunks(l_x_Receiver, l_x_Stream, i_st_Chunk); });
    if (l_x_Owner.m_ull_Frames % i_ul_Frames != 0 || l_x_Owner.m_ull_Frames == 0) {
        fprintf(stderr, "frames lost: %llu\n",
                static_cast<unsigned long long>(l_x_Owner.m_ull_Frames));
        abort();
    }
    return {l_d_MB / l_d_Receive, l_d_MB / l_d_Memcpy, i_ul_Frames / l_d_Receive};
}

} // namespace

int main() {
    const size_t l_st_Chunk = 32 * 1024;
    const Result l_x_Big = Measure(4096, 1024, l_st_Chunk);
    printf("4 KiB frames, 32 KiB chunks: receiver %.0f MB/s, memcpy %.0f MB/s, ratio %.1f%% "
           "(goal >= 25%%), %.0f frames/s\n",
           l_x_Big.m_d_ReceiverMBps, l_x_Big.m_d_MemcpyMBps,
           100.0 * l_x_Big.m_d_ReceiverMBps / l_x_Big.m_d_MemcpyMBps, l_x_Big.m_d_FramesPerSecond);
    tulvo_bench::PrintBenchLine("codec.frames4K", {{"receiver_mbps", l_x_Big.m_d_ReceiverMBps},
                                                   {"memcpy_mbps", l_x_Big.m_d_MemcpyMBps},
                                                   {"frames_per_s", l_x_Big.m_d_FramesPerSecond}});
    // 64 bytes on the wire (a 50-byte record), each followed by the writer's 0x00 byte.
    const Result l_x_Wire64 = Measure(64 - FRAME_OVERHEAD, 65536, l_st_Chunk);
    printf("64-byte frames (50-byte record + 0x00 byte), 32 KiB chunks: %.2f M frames/s "
           "(goal >= 2 M), %.0f MB/s\n",
           l_x_Wire64.m_d_FramesPerSecond / 1e6, l_x_Wire64.m_d_ReceiverMBps);
    tulvo_bench::PrintBenchLine("codec.wire64",
                                {{"receiver_mbps", l_x_Wire64.m_d_ReceiverMBps},
                                 {"memcpy_mbps", l_x_Wire64.m_d_MemcpyMBps},
                                 {"mframes_per_s", l_x_Wire64.m_d_FramesPerSecond / 1e6}});
    const Result l_x_Data64 = Measure(64, 65536, l_st_Chunk);
    printf("64-byte records (78-byte frames), 32 KiB chunks: %.2f M frames/s, %.0f MB/s\n",
           l_x_Data64.m_d_FramesPerSecond / 1e6, l_x_Data64.m_d_ReceiverMBps);
    tulvo_bench::PrintBenchLine("codec.record64",
                                {{"receiver_mbps", l_x_Data64.m_d_ReceiverMBps},
                                 {"memcpy_mbps", l_x_Data64.m_d_MemcpyMBps},
                                 {"mframes_per_s", l_x_Data64.m_d_FramesPerSecond / 1e6}});
    return 0;
}
