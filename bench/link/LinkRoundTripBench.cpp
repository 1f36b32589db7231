// Frame round trip through the serial link against the simulator's echo, next to a raw
// overlapped write/read echo on the same port, and the sustained receive of real-time log
// frames. Runs under wine with the simulator (scripts/bench-link.sh).
//
// The receive thread ends a read only once the line has been quiet for 5 ms, so the link's
// round trip carries that interval by design; the figures show it separately:
// overhead = link - raw - interval. With frame-complete reads (the runner's
// --frame-complete-reads 1 sets the service's value, which the link reads when it opens the
// port) a read ends with its frame and the link's figures have no interval in them; 1 MiB frames
// show what that mode costs when a frame takes many reads.
#include "tests/device/link/SimLinkSupport.h"

#include "bench/common/BenchStats.h"

#include "device/link/Ilv.h"
#include "device/link/UsbSerialProtocole.h"
#include "ipc/protocol/TulvoStatus.h"

#include <windows.h>

#include <algorithm>
#include <initializer_list>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>

using tulvo_test::CRecordingOwner;
using tulvo_test::CSimControl;
using tulvo_test::Pattern;

namespace {

using tulvo_bench::NowUs;
using tulvo_bench::SSummary;
using tulvo_bench::Summarise;

std::vector<uint8_t> Frame(const std::vector<uint8_t>& i_x_Data) {
    std::vector<uint8_t> l_x_Frame(i_x_Data.size() + FRAME_OVERHEAD);
    Frame_Encode(i_x_Data.data(), static_cast<uint32_t>(i_x_Data.size()), l_x_Frame.data(),
                 static_cast<uint32_t>(l_x_Frame.size()));
    return l_x_Frame;
}

// Plain overlapped I/O: one write of the frame, then reads until the whole echo is back.
// With i_ul_IntervalMs 0 a read waits until it has every byte asked for; otherwise reads of
// up to 32 KiB end after that quiet interval, as the receive thread's do, and the echo is
// gathered from as many reads as it takes.
bool RawRoundTrips(const std::string& i_x_Port, size_t i_st_Size, int i_i_Count,
                   uint32_t i_ul_IntervalMs, std::vector<double>* o_px_Samples) {
    const std::string l_x_Path = "\\\\.\\" + i_x_Port;
    HANDLE l_h_Port = CreateFileA(l_x_Path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (l_h_Port == INVALID_HANDLE_VALUE) {
        return false;
    }
    DCB l_x_Dcb;
    memset(&l_x_Dcb, 0, sizeof(l_x_Dcb));
    l_x_Dcb.DCBlength = sizeof(l_x_Dcb);
    GetCommState(l_h_Port, &l_x_Dcb);
    l_x_Dcb.BaudRate = 460800;
    l_x_Dcb.ByteSize = 8;
    l_x_Dcb.Parity = NOPARITY;
    l_x_Dcb.StopBits = ONESTOPBIT;
    SetCommState(l_h_Port, &l_x_Dcb);
    COMMTIMEOUTS l_x_Timeouts = {i_ul_IntervalMs, 0, 0, 0, 0};
    SetCommTimeouts(l_h_Port, &l_x_Timeouts);
    PurgeComm(l_h_Port, PURGE_RXCLEAR | PURGE_TXCLEAR);
    const std::vector<uint8_t> l_x_Frame = Frame(Pattern(i_st_Size, 1));
    std::vector<uint8_t> l_x_Echo(i_ul_IntervalMs == 0 ? l_x_Frame.size() : 32768);
    HANDLE l_h_WriteEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE l_h_ReadEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bool l_b_Ok = true;
    for (int l_i_Round = 0; l_i_Round < i_i_Count && l_b_Ok; ++l_i_Round) {
        OVERLAPPED l_x_Read = {};
        l_x_Read.hEvent = l_h_ReadEvent;
        OVERLAPPED l_x_Write = {};
        l_x_Write.hEvent = l_h_WriteEvent;
        const double l_d_Start = NowUs();
        DWORD l_ul_Done = 0;
        if (!WriteFile(l_h_Port, l_x_Frame.data(), static_cast<DWORD>(l_x_Frame.size()), nullptr,
                       &l_x_Write) &&
            GetLastError() != ERROR_IO_PENDING) {
            l_b_Ok = false;
            break;
        }
        std::vector<uint8_t> l_x_Got;
        while (l_b_Ok && l_x_Got.size() < l_x_Frame.size()) {
            ResetEvent(l_h_ReadEvent);
            l_x_Read = {};
            l_x_Read.hEvent = l_h_ReadEvent;
            const DWORD l_ul_Ask = i_ul_IntervalMs == 0
                                       ? static_cast<DWORD>(l_x_Frame.size() - l_x_Got.size())
                                       : static_cast<DWORD>(l_x_Echo.size());
            if (!ReadFile(l_h_Port, l_x_Echo.data(), l_ul_Ask, nullptr, &l_x_Read) &&
                GetLastError() != ERROR_IO_PENDING) {
                l_b_Ok = false;
                break;
            }
            if (!GetOverlappedResult(l_h_Port, &l_x_Read, &l_ul_Done, TRUE) &&
                GetLastError() != ERROR_TIMEOUT) {
                l_b_Ok = false;
            }
            l_x_Got.insert(l_x_Got.end(), l_x_Echo.begin(), l_x_Echo.begin() + l_ul_Done);
        }
        l_b_Ok = l_b_Ok && GetOverlappedResult(l_h_Port, &l_x_Write, &l_ul_Done, TRUE);
        o_px_Samples->push_back(NowUs() - l_d_Start);
        l_b_Ok = l_b_Ok && l_x_Got == l_x_Frame;
    }
    CloseHandle(l_h_WriteEvent);
    CloseHandle(l_h_ReadEvent);
    CloseHandle(l_h_Port);
    return l_b_Ok;
}

bool LinkRoundTrips(CUsbSerialProtocole& io_x_Link, CRecordingOwner& io_x_Owner, size_t i_st_Size,
                    int i_i_Count, std::vector<double>* o_px_Samples) {
    const std::vector<uint8_t> l_x_Data = Pattern(i_st_Size, 2);
    for (int l_i_Round = 0; l_i_Round < i_i_Count; ++l_i_Round) {
        const double l_d_Start = NowUs();
        if (io_x_Link.WriteFrame(10000, l_x_Data.data(), static_cast<uint32_t>(l_x_Data.size())) !=
                TULVO_OK ||
            !io_x_Owner.WaitFrames(1, 10000)) {
            return false;
        }
        o_px_Samples->push_back(NowUs() - l_d_Start);
        const auto l_x_Frames = io_x_Owner.TakeFrames();
        if (l_x_Frames.size() != 1 || l_x_Frames[0] != l_x_Data) {
            return false;
        }
    }
    return true;
}

// Real-time log frames as fast as the pty carries them, checked one by one.
int Sustain(CSimControl& io_x_Sim, const std::string& i_x_Sensor, CRecordingOwner& io_x_Owner,
            int i_i_Seconds, uint32_t i_ul_ValueSize) {
    io_x_Owner.TakeFrames();
    if (!io_x_Sim.Ok("async " + i_x_Sensor + " 0x0135 0 " + std::to_string(i_ul_ValueSize))) {
        return 1;
    }
    uint32_t l_ul_Expected = 0;
    uint64_t l_ull_Bad = 0;
    uint64_t l_ull_Bytes = 0;
    const double l_d_Start = NowUs();
    const double l_d_End = l_d_Start + i_i_Seconds * 1e6;
    bool l_b_Stopped = false;
    double l_d_LastFrame = NowUs();
    for (;;) {
        if (!l_b_Stopped && NowUs() > l_d_End) {
            io_x_Sim.Ok("async " + i_x_Sensor + " off");
            l_b_Stopped = true;
        }
        io_x_Owner.WaitFrames(1, 200);
        const auto l_x_Frames = io_x_Owner.TakeFrames();
        if (l_x_Frames.empty()) {
            if (l_b_Stopped && NowUs() - l_d_LastFrame > 1e6) {
                break;
            }
            continue;
        }
        l_d_LastFrame = NowUs();
        for (const auto& l_x_Frame : l_x_Frames) {
            l_ull_Bytes += l_x_Frame.size() + FRAME_OVERHEAD;
            bool l_b_Good =
                ILV_Check(l_x_Frame.data(), static_cast<uint32_t>(l_x_Frame.size())) == 0 &&
                ILV_GetIdentifier(l_x_Frame.data()) == ILV_VEK_ASYNC_REALTIMELOG &&
                ILV_GetLength(l_x_Frame.data()) == i_ul_ValueSize;
            uint32_t l_ul_Seq = 0;
            if (l_b_Good) {
                const uint8_t* l_puc_Value = ILV_GetValue(l_x_Frame.data());
                memcpy(&l_ul_Seq, l_puc_Value, 4);
                for (uint32_t l_ul_At = 8; l_ul_At < i_ul_ValueSize && l_b_Good; ++l_ul_At) {
                    l_b_Good = l_puc_Value[l_ul_At] == static_cast<uint8_t>(l_ul_Seq + l_ul_At);
                }
            }
            if (!l_b_Good || l_ul_Seq != l_ul_Expected) {
                ++l_ull_Bad;
            }
            l_ul_Expected = l_ul_Seq + 1;
        }
    }
    const double l_d_Seconds = (l_d_LastFrame - l_d_Start) / 1e6;
    const long long l_ll_Sent = io_x_Sim.Stat(i_x_Sensor, "async_sent");
    printf("sustained 0x0135, value %u B: %u frames in %.1f s (%.0f frames/s, %.2f MB/s); "
           "sent by the simulator %lld; lost %lld; corrupted or out of order %llu\n",
           i_ul_ValueSize, l_ul_Expected, l_d_Seconds, l_ul_Expected / l_d_Seconds,
           static_cast<double>(l_ull_Bytes) / l_d_Seconds / 1e6, l_ll_Sent,
           l_ll_Sent - static_cast<long long>(l_ul_Expected),
           static_cast<unsigned long long>(l_ull_Bad));
    tulvo_bench::PrintBenchLine("link.sustain",
                                {{"frames_per_s", l_ul_Expected / l_d_Seconds},
                                 {"mbps", static_cast<double>(l_ull_Bytes) / l_d_Seconds / 1e6},
                                 {"lost", static_cast<double>(l_ll_Sent - l_ul_Expected)},
                                 {"corrupt", static_cast<double>(l_ull_Bad)}});
    return (l_ull_Bad == 0 && l_ll_Sent == static_cast<long long>(l_ul_Expected)) ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    int l_i_Rounds = 500;
    int l_i_SustainSeconds = 0;
    for (int l_i_Arg = 1; l_i_Arg + 1 < argc; l_i_Arg += 2) {
        if (strcmp(argv[l_i_Arg], "--rounds") == 0) {
            l_i_Rounds = atoi(argv[l_i_Arg + 1]);
        } else if (strcmp(argv[l_i_Arg], "--sustain") == 0) {
            l_i_SustainSeconds = atoi(argv[l_i_Arg + 1]);
        }
    }
    CSimControl l_x_Sim;
    if (!l_x_Sim.Connect()) {
        fprintf(stderr, "no simulator (TULVO_SIM_PORT)\n");
        return 1;
    }
    const int l_i_Com = tulvo_test::NextComNumber();
    const std::string l_x_Port = "COM" + std::to_string(l_i_Com);
    const std::string l_x_Sensor = "bench";
    if (!l_x_Sim.Ok("add " + l_x_Sensor + " com" + std::to_string(l_i_Com)) ||
        !l_x_Sim.Ok("echo " + l_x_Sensor + " raw")) {
        fprintf(stderr, "simulator refused the sensor\n");
        return 1;
    }
    const char* l_pc_Mode = getenv("TULVO_FRAME_COMPLETE_READS");
    const bool l_b_FrameCompleteReads = l_pc_Mode != nullptr && strcmp(l_pc_Mode, "1") == 0;
    printf("round trips through %s, %d rounds each, %d for 1 MiB (microseconds); the link's "
           "receive mode: %s\n",
           l_x_Port.c_str(), l_i_Rounds, std::max(l_i_Rounds / 10, 5),
           l_b_FrameCompleteReads ? "frame-complete reads" : "reads ended by 5 ms of quiet");
    printf("raw: one read of the whole echo, no time-outs; raw+5ms: reads ended by the same "
           "5 ms quiet interval as the link's\n");
    printf("%-8s %10s %10s %12s %12s %11s %11s %12s %12s\n", "size", "raw med", "raw p99",
           "raw+5ms med", "raw+5ms p99", "link med", "link p99", "link-raw+5ms", "link-raw-5ms");
    int l_i_Status = 0;
    for (size_t l_st_Size : {size_t{100}, size_t{4096}, size_t{1} << 20}) {
        const int l_i_SizeRounds = l_st_Size > 4096 ? std::max(l_i_Rounds / 10, 5) : l_i_Rounds;
        std::vector<double> l_x_Raw;
        std::vector<double> l_x_RawInterval;
        std::vector<double> l_x_LinkSamples;
        if (!RawRoundTrips(l_x_Port, l_st_Size, l_i_SizeRounds, 0, &l_x_Raw) ||
            !RawRoundTrips(l_x_Port, l_st_Size, l_i_SizeRounds, USBSERIAL_RX_INTERVAL_MS,
                           &l_x_RawInterval)) {
            fprintf(stderr, "raw echo failed\n");
            return 1;
        }
        {
            CRecordingOwner l_x_Owner;
            CUsbSerialProtocole l_x_Link(&l_x_Owner, l_x_Port.c_str());
            if (l_x_Link.Start() != TULVO_OK ||
                !LinkRoundTrips(l_x_Link, l_x_Owner, l_st_Size, l_i_SizeRounds, &l_x_LinkSamples)) {
                fprintf(stderr, "link echo failed\n");
                return 1;
            }
        }
        const SSummary l_x_RawFigures = Summarise(l_x_Raw);
        const SSummary l_x_IntervalFigures = Summarise(l_x_RawInterval);
        const SSummary l_x_LinkFigures = Summarise(l_x_LinkSamples);
        printf("%-8zu %10.0f %10.0f %12.0f %12.0f %11.0f %11.0f %12.0f %12.0f\n", l_st_Size,
               l_x_RawFigures.m_d_Median, l_x_RawFigures.m_d_P99, l_x_IntervalFigures.m_d_Median,
               l_x_IntervalFigures.m_d_P99, l_x_LinkFigures.m_d_Median, l_x_LinkFigures.m_d_P99,
               l_x_LinkFigures.m_d_Median - l_x_IntervalFigures.m_d_Median,
               l_x_LinkFigures.m_d_Median - l_x_RawFigures.m_d_Median -
                   USBSERIAL_RX_INTERVAL_MS * 1000.0);
        const std::string l_x_Size = std::to_string(l_st_Size) + "B";
        tulvo_bench::PrintSeriesLine(("link.raw." + l_x_Size).c_str(), l_x_RawFigures);
        tulvo_bench::PrintSeriesLine(("link.raw5ms." + l_x_Size).c_str(), l_x_IntervalFigures);
        tulvo_bench::PrintSeriesLine(("link.link." + l_x_Size).c_str(), l_x_LinkFigures);
    }
    if (l_i_SustainSeconds > 0) {
        l_x_Sim.Ok("echo " + l_x_Sensor + " ilv");
        CRecordingOwner l_x_Owner;
        CUsbSerialProtocole l_x_Link(&l_x_Owner, l_x_Port.c_str());
        if (l_x_Link.Start() != TULVO_OK) {
            return 1;
        }
        l_i_Status = Sustain(l_x_Sim, l_x_Sensor, l_x_Owner, l_i_SustainSeconds, 1024);
    }
    l_x_Sim.Command("remove " + l_x_Sensor);
    return l_i_Status;
}
