// tulvo_scenario_client: a client process of the VEK USB Service for the system scenarios, the
// soak and the system benchmark. It talks to the service through the client library and
// checks every frame it receives against what the simulated sensor sends: an echo must equal
// its request byte for byte, a real-time log frame must carry the simulator's sequence number,
// size and pattern, in rising order.
//
// Commands come from the arguments (one per argument) and then from standard input, one per
// line, and run in order. Each prints one result line, numbered from 1:
//     =<n> <verb> <status> key=value ...
// with the status of the library call (0 when it went as it should). A "stop" line ends the
// loop that runs (run, watchrun) without waiting its turn; the end of the input quits.
#include "bench/common/BenchStats.h"
#include "device/link/Ilv.h"
#include "ipc/client/Client.h"
#include "ipc/client/TulvoCli.h"
#include "ipc/protocol/GestIpcFormat.h"
#include "ipc/protocol/TulvoStatus.h"
#include "tests/ipc/server/ServerTestSupport.h"

#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const char g_ac_Help[] =
    "tulvo_scenario_client - a checking client of the VEK USB Service (tests, soak, bench)\n"
    "\n"
    "Usage: tulvo_scenario_client [COMMAND]...   then more commands on standard input\n"
    "\n"
    "Commands (one result line each: =<n> <verb> <status> key=value ...):\n"
    "  connect SERIAL          TulvoCli_Connect (kept for reconnects)\n"
    "  disconnect              TulvoCli_Disconnect\n"
    "  list                    TulvoCli_EnumDevices: count=, serials=A,B\n"
    "  exchange COUNT [SIZE]   COUNT echo exchanges on pipe 1, up to the first failure:\n"
    "                          ok=, corrupt=\n"
    "  run [SIZE] [seconds=N] [progress] [failures]\n"
    "                          echo exchanges until 'stop' (or N seconds), reconnecting when\n"
    "                          the connection is lost: ok=, failed=, corrupt=, lost=,\n"
    "                          statuses=, median_us=, p99_us=; lost counts frames the\n"
    "                          service accepted whose answer never came (the wait ran out\n"
    "                          with no reason given); progress prints '+ progress ...' every\n"
    "                          second, failures prints '! fail|lost t=<unix ms> status=S'\n"
    "  lock [MS] | unlock      TulvoCli_Lock / TulvoCli_Unlock (pipe 0)\n"
    "  send [SIZE] [MS]        TulvoCli_SendFrame of the next echo frame (pipe 0)\n"
    "  recv [MS]               TulvoCli_ReceiveFrame, compared with the last frame sent:\n"
    "                          match=1|0\n"
    "  watch COUNT [MS]        TulvoCli_ReceiveRealTimeLog until COUNT frames or a failure:\n"
    "                          frames=, first=, last=, gaps=, back=, corrupt=, invalid=\n"
    "  watchrun [MS] [progress] the same until 'stop'; time-outs are not failures\n"
    "  reboot BACK_MS [WAIT_MS] TulvoCli_WaitForReboot with the simulator's restart frame\n"
    "  public-lock             open the public channel and take its Lock (kept)\n"
    "  open-unlinked           a private channel on the kept public conversation, not linked\n"
    "  recv-request [MS]       write a RECVBUFFER request on pipe 0 and read no answer\n"
    "  quit                    end (also at the end of the input)\n"
    "  stop                    (out of turn) end the running loop\n";

const uint32_t g_ul_Timeout = 5000;
const size_t g_st_DefaultSize = 64;

std::mutex g_x_OutputLock;
std::mutex g_x_QueueLock;
std::condition_variable g_x_QueueChanged;
std::deque<std::string> g_ax_Queue;
std::atomic<int> g_i_StopsAsked{0};
int g_i_StopsTaken = 0;

TulvoCli_Connection* g_px_Conx = nullptr;
std::string g_x_Serial;
uint32_t g_ul_NextSeed = 0;
srvtest::Bytes g_x_LastSent;
ToolShare_Channel g_x_Public = {};
ToolShare_Channel g_x_Unlinked = {};

void Print(const char* i_pc_Format, ...) {
    std::lock_guard<std::mutex> l_x_Guard(g_x_OutputLock);
    va_list l_x_Args;
    va_start(l_x_Args, i_pc_Format);
    vprintf(i_pc_Format, l_x_Args);
    va_end(l_x_Args);
    fflush(stdout);
}

void Push(const std::string& i_x_Line) {
    std::lock_guard<std::mutex> l_x_Guard(g_x_QueueLock);
    g_ax_Queue.push_back(i_x_Line);
    g_x_QueueChanged.notify_one();
}

std::string Pop() {
    std::unique_lock<std::mutex> l_x_Guard(g_x_QueueLock);
    g_x_QueueChanged.wait(l_x_Guard, [] { return !g_ax_Queue.empty(); });
    std::string l_x_Line = g_ax_Queue.front();
    g_ax_Queue.pop_front();
    return l_x_Line;
}

// Standard input, line by line; "stop" goes past the queue to the loop that runs.
void ReadInput() {
    HANDLE l_h_Input = GetStdHandle(STD_INPUT_HANDLE);
    std::string l_x_Pending;
    char l_ac_Buffer[512];
    DWORD l_ul_Read = 0;
    while (l_h_Input != nullptr && l_h_Input != INVALID_HANDLE_VALUE &&
           ReadFile(l_h_Input, l_ac_Buffer, sizeof(l_ac_Buffer), &l_ul_Read, nullptr) &&
           l_ul_Read > 0) {
        l_x_Pending.append(l_ac_Buffer, l_ul_Read);
        for (size_t l_st_End = l_x_Pending.find('\n'); l_st_End != std::string::npos;
             l_st_End = l_x_Pending.find('\n')) {
            std::string l_x_Line = l_x_Pending.substr(0, l_st_End);
            l_x_Pending.erase(0, l_st_End + 1);
            while (!l_x_Line.empty() && (l_x_Line.back() == '\r' || l_x_Line.back() == ' ')) {
                l_x_Line.pop_back();
            }
            if (l_x_Line == "stop") {
                ++g_i_StopsAsked;
            } else if (!l_x_Line.empty()) {
                Push(l_x_Line);
            }
        }
    }
    Push("quit");
}

bool StopAsked() {
    return g_i_StopsAsked.load() > g_i_StopsTaken;
}

uint64_t UnixMs() {
    FILETIME l_x_Now;
    GetSystemTimeAsFileTime(&l_x_Now);
    const uint64_t l_ull_Ticks =
        (static_cast<uint64_t>(l_x_Now.dwHighDateTime) << 32) | l_x_Now.dwLowDateTime;
    return l_ull_Ticks / 10000 - 11644473600000ULL;
}

srvtest::Bytes NextEchoFrame(size_t i_st_Size) {
    return srvtest::EchoFrame(i_st_Size, (GetCurrentProcessId() << 12) + ++g_ul_NextSeed);
}

srvtest::Bytes Take(uint8_t** io_ppuc_Buffer, uint32_t i_ul_Length) {
    srvtest::Bytes l_x_Bytes;
    if (*io_ppuc_Buffer != nullptr) {
        l_x_Bytes.assign(*io_ppuc_Buffer, *io_ppuc_Buffer + i_ul_Length);
    }
    TulvoCli_FreeBuffer(io_ppuc_Buffer);
    return l_x_Bytes;
}

// One echo exchange on pipe 1, in the library's own steps (lock, write, read, unlock) so that
// the caller learns whether the service accepted the frame: the call's status;
// *o_pb_Accepted when the write went through; *o_pb_Corrupt when it succeeded with an answer
// other than the request.
int32_t EchoExchange(size_t i_st_Size, bool* o_pb_Corrupt, bool* o_pb_Accepted) {
    *o_pb_Corrupt = false;
    *o_pb_Accepted = false;
    if (g_px_Conx == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    const srvtest::Bytes l_x_Frame = NextEchoFrame(i_st_Size);
    Client_PipeConx* const l_px_Pipe = &g_px_Conx->m_ax_Pipes[CLIENT_EXCHANGE_PIPE];
    uint8_t* l_puc_Answer = nullptr;
    uint32_t l_ul_Length = 0;
    int32_t l_i_Status = Client_LockCmd(l_px_Pipe, g_ul_Timeout);
    if (l_i_Status == TULVO_OK) {
        l_i_Status = Client_WriteFrameCmd(l_px_Pipe, g_ul_Timeout, l_x_Frame.data(),
                                          static_cast<uint32_t>(l_x_Frame.size()));
    }
    if (l_i_Status == TULVO_OK) {
        *o_pb_Accepted = true;
        l_i_Status = Client_ReadFrameCmd(l_px_Pipe, g_ul_Timeout, &l_puc_Answer, &l_ul_Length);
    }
    Client_UnLockCmd(l_px_Pipe);
    *o_pb_Corrupt = l_i_Status == TULVO_OK && Take(&l_puc_Answer, l_ul_Length) != l_x_Frame;
    TulvoCli_FreeBuffer(&l_puc_Answer);
    return l_i_Status;
}

// An accepted frame whose answer never came: the wait ran out, and the service gave no reason
// (a removed sensor, a stopped pipe or a lost service each have a status of their own).
bool AnswerLost(bool i_b_Accepted, int32_t i_i_Status) {
    return i_b_Accepted && (i_i_Status == TULVO_TIMEOUT || i_i_Status == TULVO_TS_TIMEOUT ||
                            i_i_Status == TULVO_NO_RESPONSE);
}

int32_t Connect() {
    TulvoCli_Disconnect(&g_px_Conx);
    return TulvoCli_Connect(&g_px_Conx, g_x_Serial.c_str());
}

// A failed call on a connection that no longer reaches the service: connect again.
bool ConnectionLost(int32_t i_i_Status) {
    return g_px_Conx == nullptr || i_i_Status == TULVO_TS_PEER_LOST ||
           i_i_Status == TULVO_TS_SERVER_NOT_RUNNING || i_i_Status == TULVO_TS_CHANNEL_ERROR ||
           i_i_Status == TULVO_NO_RESPONSE;
}

// What a real-time log frame holds, as the simulator builds it: sequence number and value size
// (little-endian), then bytes (sequence + offset).
struct SWatch {
    uint64_t m_ull_Frames = 0;
    int64_t m_ll_First = -1;
    int64_t m_ll_Last = -1;
    uint64_t m_ull_Gaps = 0;
    uint64_t m_ull_Back = 0;
    uint64_t m_ull_Corrupt = 0;
    uint64_t m_ull_Invalid = 0;

    void Check(const srvtest::Bytes& i_x_Frame) {
        const uint32_t l_ul_Size = static_cast<uint32_t>(i_x_Frame.size());
        if (l_ul_Size == 0 || ILV_Check(i_x_Frame.data(), l_ul_Size) != 0) {
            ++m_ull_Corrupt;
            return;
        }
        const uint16_t l_us_Id = ILV_GetIdentifier(i_x_Frame.data());
        const uint32_t l_ul_Length = ILV_GetLength(i_x_Frame.data());
        // The sensor's answer to the cancel the service sends for a frame nobody read.
        if (l_us_Id == ILV_INVALID && l_ul_Length == 0) {
            ++m_ull_Invalid;
            return;
        }
        const uint8_t* const l_puc_Value = ILV_GetValue(i_x_Frame.data());
        bool l_b_Good = l_us_Id == ILV_VEK_ASYNC_REALTIMELOG && l_ul_Length >= 8;
        uint32_t l_ul_Seq = 0;
        uint32_t l_ul_Declared = 0;
        if (l_b_Good) {
            for (int l_i_Byte = 3; l_i_Byte >= 0; --l_i_Byte) {
                l_ul_Seq = (l_ul_Seq << 8) | l_puc_Value[l_i_Byte];
                l_ul_Declared = (l_ul_Declared << 8) | l_puc_Value[4 + l_i_Byte];
            }
            l_b_Good = l_ul_Declared == l_ul_Length;
            for (uint32_t l_ul_At = 8; l_ul_At < l_ul_Length && l_b_Good; ++l_ul_At) {
                l_b_Good = l_puc_Value[l_ul_At] == static_cast<uint8_t>(l_ul_Seq + l_ul_At);
            }
        }
        if (!l_b_Good) {
            ++m_ull_Corrupt;
            return;
        }
        ++m_ull_Frames;
        if (m_ll_First < 0) {
            m_ll_First = l_ul_Seq;
        } else if (static_cast<int64_t>(l_ul_Seq) <= m_ll_Last) {
            ++m_ull_Back;
        } else {
            m_ull_Gaps += static_cast<uint64_t>(l_ul_Seq - m_ll_Last - 1);
        }
        m_ll_Last = std::max<int64_t>(m_ll_Last, l_ul_Seq);
    }
    std::string Fields() const {
        std::ostringstream l_x_Out;
        l_x_Out << "frames=" << m_ull_Frames << " first=" << m_ll_First << " last=" << m_ll_Last
                << " gaps=" << m_ull_Gaps << " back=" << m_ull_Back << " corrupt=" << m_ull_Corrupt
                << " invalid=" << m_ull_Invalid;
        return l_x_Out.str();
    }
};

struct SArgs {
    std::vector<std::string> m_ax_Words; // every word but the name=value ones
    std::vector<unsigned long> m_aul_Numbers;
    std::map<std::string, std::string> m_x_Options;
    bool Has(const std::string& i_x_Flag) const {
        return std::find(m_ax_Words.begin(), m_ax_Words.end(), i_x_Flag) != m_ax_Words.end();
    }
    // The numeric words in order, from 0.
    unsigned long Number(size_t i_st_Index, unsigned long i_ul_Default) const {
        return i_st_Index < m_aul_Numbers.size() ? m_aul_Numbers[i_st_Index] : i_ul_Default;
    }
    unsigned long Option(const std::string& i_x_Name, unsigned long i_ul_Default) const {
        const auto l_x_At = m_x_Options.find(i_x_Name);
        return l_x_At == m_x_Options.end() ? i_ul_Default
                                           : strtoul(l_x_At->second.c_str(), nullptr, 0);
    }
};

SArgs Parse(const std::string& i_x_Line) {
    SArgs l_x_Args;
    std::istringstream l_x_In(i_x_Line);
    for (std::string l_x_Word; l_x_In >> l_x_Word;) {
        const size_t l_st_Equal = l_x_Word.find('=');
        if (l_st_Equal != std::string::npos) {
            l_x_Args.m_x_Options[l_x_Word.substr(0, l_st_Equal)] = l_x_Word.substr(l_st_Equal + 1);
            continue;
        }
        char* l_pc_End = nullptr;
        const unsigned long l_ul_Value = strtoul(l_x_Word.c_str(), &l_pc_End, 0);
        if (!l_x_Args.m_ax_Words.empty() && *l_pc_End == '\0') {
            l_x_Args.m_aul_Numbers.push_back(l_ul_Value);
        }
        l_x_Args.m_ax_Words.push_back(l_x_Word);
    }
    return l_x_Args;
}

std::string RunLoop(const SArgs& i_x_Args, int32_t* o_pi_Status) {
    const size_t l_st_Size = i_x_Args.Number(0, g_st_DefaultSize);
    const uint64_t l_ull_Seconds = i_x_Args.Option("seconds", 0);
    const bool l_b_Progress = i_x_Args.Has("progress");
    const bool l_b_Failures = i_x_Args.Has("failures");
    const double l_d_End = tulvo_bench::NowUs() + static_cast<double>(l_ull_Seconds) * 1e6;
    uint64_t l_ull_Ok = 0, l_ull_Failed = 0, l_ull_Corrupt = 0, l_ull_Lost = 0;
    std::map<int32_t, uint64_t> l_x_Statuses;
    std::vector<double> l_ad_Us;
    double l_d_NextProgress = tulvo_bench::NowUs() + 1e6;
    int l_i_InARow = 0;
    while (!StopAsked() && (l_ull_Seconds == 0 || tulvo_bench::NowUs() < l_d_End)) {
        int32_t l_i_Status = TULVO_OK;
        bool l_b_Corrupt = false;
        bool l_b_Accepted = false;
        if (g_px_Conx == nullptr) {
            l_i_Status = Connect();
        }
        if (l_i_Status == TULVO_OK) {
            const double l_d_Start = tulvo_bench::NowUs();
            l_i_Status = EchoExchange(l_st_Size, &l_b_Corrupt, &l_b_Accepted);
            if (l_i_Status == TULVO_OK) {
                l_ad_Us.push_back(tulvo_bench::NowUs() - l_d_Start);
            }
        }
        if (l_b_Corrupt) {
            ++l_ull_Corrupt;
            Print("! corrupt t=%llu\n", static_cast<unsigned long long>(UnixMs()));
        } else if (l_i_Status == TULVO_OK) {
            ++l_ull_Ok;
            l_i_InARow = 0;
        } else {
            ++l_ull_Failed;
            ++l_x_Statuses[l_i_Status];
            const bool l_b_Lost = AnswerLost(l_b_Accepted, l_i_Status);
            l_ull_Lost += l_b_Lost ? 1 : 0;
            if (l_b_Failures) {
                Print("! %s t=%llu status=%d\n", l_b_Lost ? "lost" : "fail",
                      static_cast<unsigned long long>(UnixMs()), static_cast<int>(l_i_Status));
            }
            // A sensor that is away may come back on its port; one that moved needs a new
            // connection, and so does a lost service.
            if (ConnectionLost(l_i_Status) || ++l_i_InARow % 10 == 0) {
                TulvoCli_Disconnect(&g_px_Conx);
            }
            Sleep(20);
        }
        if (l_b_Progress && tulvo_bench::NowUs() > l_d_NextProgress) {
            l_d_NextProgress += 1e6;
            Print("+ progress ok=%llu failed=%llu corrupt=%llu lost=%llu\n",
                  static_cast<unsigned long long>(l_ull_Ok),
                  static_cast<unsigned long long>(l_ull_Failed),
                  static_cast<unsigned long long>(l_ull_Corrupt),
                  static_cast<unsigned long long>(l_ull_Lost));
        }
    }
    if (StopAsked()) {
        ++g_i_StopsTaken;
    }
    const tulvo_bench::SSummary l_x_Us = tulvo_bench::Summarise(l_ad_Us);
    std::ostringstream l_x_Out;
    l_x_Out << "ok=" << l_ull_Ok << " failed=" << l_ull_Failed << " corrupt=" << l_ull_Corrupt
            << " lost=" << l_ull_Lost << " statuses=";
    bool l_b_First = true;
    for (const auto& l_x_Entry : l_x_Statuses) {
        l_x_Out << (l_b_First ? "" : ",") << l_x_Entry.first << ":" << l_x_Entry.second;
        l_b_First = false;
    }
    l_x_Out << " median_us=" << static_cast<uint64_t>(l_x_Us.m_d_Median)
            << " p99_us=" << static_cast<uint64_t>(l_x_Us.m_d_P99);
    *o_pi_Status = l_ull_Corrupt > 0 ? TULVO_CORRUPTED_FRAME : TULVO_OK;
    return l_x_Out.str();
}

std::string Watch(const SArgs& i_x_Args, bool i_b_UntilStop, int32_t* o_pi_Status) {
    const uint64_t l_ull_Count = i_b_UntilStop ? 0 : i_x_Args.Number(0, 1);
    const uint32_t l_ul_Wait =
        static_cast<uint32_t>(i_x_Args.Number(i_b_UntilStop ? 0 : 1, g_ul_Timeout));
    const bool l_b_Progress = i_x_Args.Has("progress");
    SWatch l_x_Watch;
    int32_t l_i_Status = TULVO_OK;
    double l_d_NextProgress = tulvo_bench::NowUs() + 1e6;
    while (i_b_UntilStop ? !StopAsked() : l_x_Watch.m_ull_Frames < l_ull_Count) {
        if (g_px_Conx == nullptr && (l_i_Status = Connect()) != TULVO_OK) {
            Sleep(20);
            continue;
        }
        uint8_t* l_puc_Frame = nullptr;
        uint32_t l_ul_Length = 0;
        l_i_Status = TulvoCli_ReceiveRealTimeLog(g_px_Conx, l_ul_Wait, &l_puc_Frame, &l_ul_Length);
        if (l_i_Status == TULVO_OK) {
            l_x_Watch.Check(Take(&l_puc_Frame, l_ul_Length));
        } else if (!i_b_UntilStop) {
            break;
        } else if (l_i_Status != TULVO_TIMEOUT) {
            if (ConnectionLost(l_i_Status)) {
                TulvoCli_Disconnect(&g_px_Conx);
            }
            Sleep(20);
        }
        if (l_b_Progress && tulvo_bench::NowUs() > l_d_NextProgress) {
            l_d_NextProgress += 1e6;
            Print("+ progress %s\n", l_x_Watch.Fields().c_str());
        }
    }
    if (i_b_UntilStop) {
        if (StopAsked()) {
            ++g_i_StopsTaken;
        }
        l_i_Status = TULVO_OK;
    }
    if (l_x_Watch.m_ull_Corrupt > 0 || l_x_Watch.m_ull_Back > 0) {
        l_i_Status = TULVO_CORRUPTED_FRAME;
    }
    *o_pi_Status = l_i_Status;
    return l_x_Watch.Fields();
}

// One command; its result fields (the status goes to *o_pi_Status).
std::string Run(const SArgs& i_x_Args, int32_t* o_pi_Status) {
    const std::string& l_x_Verb = i_x_Args.m_ax_Words[0];
    int32_t& l_i_Status = *o_pi_Status;
    l_i_Status = TULVO_OK;
    if (l_x_Verb == "connect") {
        g_x_Serial = i_x_Args.m_ax_Words.size() > 1 ? i_x_Args.m_ax_Words[1] : "";
        l_i_Status = Connect();
        return "";
    }
    if (l_x_Verb == "disconnect") {
        l_i_Status = TulvoCli_Disconnect(&g_px_Conx);
        return "";
    }
    if (l_x_Verb == "list") {
        TulvoCli_DeviceProperties* l_px_List = nullptr;
        uint32_t l_ul_Count = 0;
        l_i_Status = TulvoCli_EnumDevices(&l_px_List, &l_ul_Count);
        std::string l_x_Serials;
        for (uint32_t l_ul_Index = 0; l_ul_Index < l_ul_Count; ++l_ul_Index) {
            l_x_Serials +=
                (l_ul_Index == 0 ? "" : ",") +
                std::string(reinterpret_cast<char*>(l_px_List[l_ul_Index].m_puc_SerialNumber));
        }
        TulvoCli_FreeDeviceList(&l_px_List, l_ul_Count);
        return "count=" + std::to_string(l_ul_Count) + " serials=" + l_x_Serials;
    }
    if (l_x_Verb == "exchange") {
        if (g_px_Conx == nullptr && !g_x_Serial.empty()) {
            l_i_Status = Connect();
        }
        const unsigned long l_ul_Count = i_x_Args.Number(0, 1);
        const size_t l_st_Size = i_x_Args.Number(1, g_st_DefaultSize);
        unsigned long l_ul_Ok = 0, l_ul_Corrupt = 0;
        for (unsigned long l_ul_Round = 0; l_ul_Round < l_ul_Count && l_i_Status == TULVO_OK;
             ++l_ul_Round) {
            bool l_b_Corrupt = false;
            bool l_b_Accepted = false;
            l_i_Status = EchoExchange(l_st_Size, &l_b_Corrupt, &l_b_Accepted);
            l_ul_Corrupt += l_b_Corrupt ? 1 : 0;
            l_ul_Ok += (l_i_Status == TULVO_OK && !l_b_Corrupt) ? 1 : 0;
            if (l_b_Corrupt) {
                l_i_Status = TULVO_CORRUPTED_FRAME;
            }
        }
        return "ok=" + std::to_string(l_ul_Ok) + " corrupt=" + std::to_string(l_ul_Corrupt);
    }
    if (l_x_Verb == "run") {
        return RunLoop(i_x_Args, o_pi_Status);
    }
    if (l_x_Verb == "lock") {
        l_i_Status =
            TulvoCli_Lock(g_px_Conx, static_cast<uint32_t>(i_x_Args.Number(0, g_ul_Timeout)));
        return "";
    }
    if (l_x_Verb == "unlock") {
        l_i_Status = TulvoCli_Unlock(g_px_Conx);
        return "";
    }
    if (l_x_Verb == "send") {
        g_x_LastSent = NextEchoFrame(i_x_Args.Number(0, g_st_DefaultSize));
        l_i_Status =
            TulvoCli_SendFrame(g_px_Conx, static_cast<uint32_t>(i_x_Args.Number(1, g_ul_Timeout)),
                               g_x_LastSent.data(), static_cast<uint32_t>(g_x_LastSent.size()));
        return "";
    }
    if (l_x_Verb == "recv") {
        uint8_t* l_puc_Frame = nullptr;
        uint32_t l_ul_Length = 0;
        l_i_Status = TulvoCli_ReceiveFrame(g_px_Conx,
                                           static_cast<uint32_t>(i_x_Args.Number(0, g_ul_Timeout)),
                                           &l_puc_Frame, &l_ul_Length);
        const srvtest::Bytes l_x_Frame = Take(&l_puc_Frame, l_ul_Length);
        if (l_x_Frame.empty()) {
            return "match=none";
        }
        return std::string("match=") + (l_x_Frame == g_x_LastSent ? "1" : "0");
    }
    if (l_x_Verb == "watch" || l_x_Verb == "watchrun") {
        return Watch(i_x_Args, l_x_Verb == "watchrun", o_pi_Status);
    }
    if (l_x_Verb == "reboot") {
        const srvtest::Bytes l_x_Restart =
            srvtest::RestartFrame(static_cast<uint32_t>(i_x_Args.Number(0, 300)));
        l_i_Status = TulvoCli_WaitForReboot(g_px_Conx, g_ul_Timeout, l_x_Restart.data(),
                                            static_cast<uint32_t>(l_x_Restart.size()),
                                            static_cast<uint32_t>(i_x_Args.Number(1, 30000)));
        return "";
    }
    if (l_x_Verb == "public-lock") {
        l_i_Status = Client_InitConnection(&g_x_Public);
        return "";
    }
    if (l_x_Verb == "open-unlinked") {
        const ToolShare_Param l_x_Param = {CLIENT_PUBLIC_BASENAME, 0};
        l_i_Status = ToolShareClt_AcquirePrivateConnect(&l_x_Param, &g_x_Unlinked, &g_x_Public,
                                                        nullptr, g_ul_Timeout);
        return "";
    }
    if (l_x_Verb == "recv-request") {
        uint8_t* l_puc_Request = nullptr;
        uint32_t l_ul_Length = 0;
        l_i_Status = g_px_Conx == nullptr ? TULVO_NO_RESPONSE
                                          : GestIpc_BuildRecvBufferRequest(
                                                static_cast<uint32_t>(i_x_Args.Number(0, INFINITE)),
                                                &l_puc_Request, &l_ul_Length);
        if (l_i_Status == TULVO_OK) {
            l_i_Status = Client_WriteData(&g_px_Conx->m_ax_Pipes[CLIENT_NORMAL_PIPE].m_x_Channel,
                                          l_puc_Request, l_ul_Length, g_ul_Timeout);
        }
        GestIpc_FreeBuffer(l_puc_Request);
        return "";
    }
    l_i_Status = TULVO_BAD_PARAMETER;
    return "unknown command";
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        printf("%s", g_ac_Help);
        return 0;
    }
    for (int l_i_Arg = 1; l_i_Arg < argc; ++l_i_Arg) {
        Push(argv[l_i_Arg]);
    }
    std::thread(ReadInput).detach();
    for (int l_i_Number = 1;; ++l_i_Number) {
        const std::string l_x_Line = Pop();
        const SArgs l_x_Args = Parse(l_x_Line);
        if (l_x_Args.m_ax_Words.empty() || l_x_Args.m_ax_Words[0] == "quit") {
            break;
        }
        int32_t l_i_Status = TULVO_OK;
        const std::string l_x_Fields = Run(l_x_Args, &l_i_Status);
        Print("=%d %s %d %s\n", l_i_Number, l_x_Args.m_ax_Words[0].c_str(),
              static_cast<int>(l_i_Status), l_x_Fields.c_str());
    }
    TulvoCli_Disconnect(&g_px_Conx);
    // The process ends here even while the input thread still waits for a line.
    fflush(stdout);
    ExitProcess(0);
}
