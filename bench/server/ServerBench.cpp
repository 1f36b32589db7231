// What the channel servers cost, under wine with simulated sensors (bench/server/run.sh).
//
// This process plays the service: it opens the device monitor and the public server as the
// run routine does, so that it can count the transport calls the service side makes. The
// clients are child processes (this program with a client role), each counting its own.
//  1. An exchange through the service (LOCKPIPE, SENDBUFFER, RECVBUFFER, UNLOCKPIPE with a
//     100-byte frame) next to what it is made of: the device's own round trip (a pipe's
//     WriteFrame and ReadFrame in this process) and four transport round trips of the same
//     message sizes on a private channel of an echo server in this process. The service adds
//     what the exchange takes beyond their sum.
//  2. The same exchange from a literal client (LiteralClient.h) and from the project's own
//     transport calls, with the kernel calls each side makes per exchange.
//  3. Ten clients on two sensors for a minute: exchanges per second, p99, errors.
//
//   bench_server [--rounds N] [--sustain SECONDS] [--clients N]
//   bench_server client own|literal|transport|sustain ...   (the children)
#include "bench/common/BenchStats.h"
#include "bench/server/LiteralClient.h"
#include "device/monitor/HideDlg.h"
#include "ipc/protocol/TulvoStatus.h"
#include "ipc/server/GestIpcPublic.h"
#include "tests/common/ChildProcess.h"
#include "tests/ipc/server/ServerTestSupport.h"
#include "tools/devtree/DevTree.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <thread>
#include <vector>

using srvtest::Bytes;
using srvtest::CRawChannel;

namespace {

const char g_ac_EchoBase[] = "TulvoBenchEcho";
const char g_ac_Ready[] = "Local\\TulvoBenchReady";
const char g_ac_Go[] = "Local\\TulvoBenchGo";
const char g_ac_Done[] = "Local\\TulvoBenchDone";
const char g_ac_Linked[] = "Local\\TulvoBenchLinked";
const uint32_t g_ul_Limit = 30000;
const size_t g_st_FrameSize = 100;

using tulvo_bench::NowUs;
using tulvo_bench::SSummary;
using tulvo_bench::Summarise;

// An echo frame of exactly 100 bytes, identifier 0x0F00.
Bytes HundredByteFrame(uint32_t i_ul_Seed) {
    for (size_t l_st_Value = g_st_FrameSize; l_st_Value > 0; --l_st_Value) {
        Bytes l_x_Frame = srvtest::EchoFrame(l_st_Value, i_ul_Seed);
        if (l_x_Frame.size() == g_st_FrameSize) {
            return l_x_Frame;
        }
    }
    return {};
}

HANDLE NamedEvent(const char* i_pc_Name) {
    return CreateEventA(nullptr, TRUE, FALSE, i_pc_Name);
}

// ---- Clients (child processes) ----

// One client end, own transport calls or literal ones, on a private channel.
class CClient {
public:
    virtual ~CClient() = default;
    virtual int32_t Open() = 0;
    virtual int32_t Exchange(const Bytes& i_x_Request, Bytes* o_px_Response) = 0;
    virtual uint32_t Calls() const = 0;
};

// The project's own connection calls, which map the private section once.
class COwnClient : public CClient {
public:
    int32_t Open() override {
        const ToolShare_Param l_x_Param = {"VEK_TulvoServer", TOOLSHARE_DEFAULT_SECTION_SIZE};
        ToolShare_Channel l_x_Public = {};
        int32_t l_i_Status = ToolShareClt_PublicConnect(&l_x_Param, &l_x_Public);
        if (l_i_Status == TULVO_OK) {
            l_i_Status = ToolShareClt_Lock(&l_x_Public, g_ul_Limit);
        }
        if (l_i_Status == TULVO_OK) {
            l_i_Status = ToolShareClt_AcquirePrivateConnect(&l_x_Param, m_x_Private.Get(),
                                                            &l_x_Public, nullptr, g_ul_Limit);
            ToolShareClt_Unlock(&l_x_Public);
        }
        ToolShare_Close(&l_x_Public);
        return l_i_Status;
    }
    int32_t Exchange(const Bytes& i_x_Request, Bytes* o_px_Response) override {
        return m_x_Private.Exchange(i_x_Request, o_px_Response, g_ul_Limit);
    }
    uint32_t Calls() const override { return ToolShare_GetKernelCallCount(); }

private:
    CRawChannel m_x_Private;
};

class CLiteralClient : public CClient {
public:
    ~CLiteralClient() override { literal::Close(&m_x_Private); }
    int32_t Open() override {
        literal::SChannel l_x_Public;
        int32_t l_i_Status = literal::PublicConnect("VEK_TulvoServer", &l_x_Public);
        if (l_i_Status == TULVO_OK) {
            l_i_Status = literal::Lock(&l_x_Public, g_ul_Limit);
        }
        if (l_i_Status == TULVO_OK) {
            l_i_Status = literal::AcquirePrivate(&l_x_Public, &m_x_Private, g_ul_Limit);
            literal::Unlock(&l_x_Public);
        }
        literal::Close(&l_x_Public);
        return l_i_Status;
    }
    int32_t Exchange(const Bytes& i_x_Request, Bytes* o_px_Response) override {
        return literal::Exchange(&m_x_Private, i_x_Request, o_px_Response, g_ul_Limit);
    }
    uint32_t Calls() const override { return literal::KernelCalls(); }

private:
    literal::SChannel m_x_Private;
};

// LOCKPIPE, SENDBUFFER, RECVBUFFER, UNLOCKPIPE; false when a status or the echo is wrong.
bool FullExchange(CClient* io_px_Client, const Bytes& i_x_Frame) {
    Bytes l_x_Response;
    bool l_b_Good = io_px_Client->Exchange(srvtest::LockRequest(g_ul_Limit), &l_x_Response) == 0 &&
                    srvtest::StatusOf(l_x_Response) == 0;
    l_b_Good = io_px_Client->Exchange(srvtest::SendRequest(5000, i_x_Frame), &l_x_Response) == 0 &&
               srvtest::StatusOf(l_x_Response) == 0 && l_b_Good;
    l_b_Good = io_px_Client->Exchange(srvtest::RecvRequest(5000), &l_x_Response) == 0 &&
               srvtest::StatusOf(l_x_Response) == 0 && srvtest::DataOf(l_x_Response) == i_x_Frame &&
               l_b_Good;
    l_b_Good = io_px_Client->Exchange(srvtest::UnlockRequest(), &l_x_Response) == 0 &&
               srvtest::StatusOf(l_x_Response) == 0 && l_b_Good;
    return l_b_Good;
}

// Signals that it is set up, waits for the go, runs, prints "RESULT ..." and ends.
int RunExchanges(CClient* io_px_Client, const char* i_pc_Serial, int i_i_Rounds) {
    Bytes l_x_Response;
    if (io_px_Client->Open() != TULVO_OK ||
        io_px_Client->Exchange(srvtest::LinkRequest(0, i_pc_Serial), &l_x_Response) != 0 ||
        srvtest::StatusOf(l_x_Response) != 0) {
        printf("RESULT failed to open and link\n");
        return 3;
    }
    const Bytes l_x_Frame = HundredByteFrame(7);
    for (int l_i = 0; l_i < 50; ++l_i) {
        FullExchange(io_px_Client, l_x_Frame);
    }
    HANDLE l_h_Ready = NamedEvent(g_ac_Ready);
    HANDLE l_h_Go = NamedEvent(g_ac_Go);
    SetEvent(l_h_Ready);
    WaitForSingleObject(l_h_Go, INFINITE);
    std::vector<double> l_x_Samples;
    int l_i_Errors = 0;
    const uint32_t l_ul_Calls = io_px_Client->Calls();
    for (int l_i = 0; l_i < i_i_Rounds; ++l_i) {
        const double l_d_Start = NowUs();
        l_i_Errors += FullExchange(io_px_Client, l_x_Frame) ? 0 : 1;
        l_x_Samples.push_back(NowUs() - l_d_Start);
    }
    const double l_d_Calls =
        static_cast<double>(io_px_Client->Calls() - l_ul_Calls) / static_cast<double>(i_i_Rounds);
    HANDLE l_h_Done = NamedEvent(g_ac_Done);
    SetEvent(l_h_Done);
    CloseHandle(l_h_Done);
    const SSummary l_x_Figures = Summarise(l_x_Samples);
    printf("RESULT %.1f %.1f %.2f %d\n", l_x_Figures.m_d_Median, l_x_Figures.m_d_P99, l_d_Calls,
           l_i_Errors);
    io_px_Client->Exchange(srvtest::DestroyRequest(), &l_x_Response);
    CloseHandle(l_h_Ready);
    CloseHandle(l_h_Go);
    return 0;
}

// Four round trips of the exchange's message sizes through a private channel of the echo
// server: requests of 7, 111, 7 and 3 bytes answered by 7, 7, 111 and 7 bytes.
int RunTransport(int i_i_Rounds) {
    const ToolShare_Param l_x_Param = {g_ac_EchoBase, TOOLSHARE_DEFAULT_SECTION_SIZE};
    ToolShare_Channel l_x_Public = {};
    ToolShare_Channel l_x_Private = {};
    if (ToolShareClt_PublicConnect(&l_x_Param, &l_x_Public) != TULVO_OK ||
        ToolShareClt_AcquirePrivateConnect(&l_x_Param, &l_x_Private, &l_x_Public, nullptr,
                                           g_ul_Limit) != TULVO_OK) {
        printf("RESULT failed to connect\n");
        return 3;
    }
    const uint32_t l_aul_Sizes[4][2] = {{7, 7}, {111, 7}, {7, 111}, {3, 7}};
    std::vector<double> l_x_Samples;
    int l_i_Errors = 0;
    uint32_t l_ul_Calls = 0;
    for (int l_i = -50; l_i < i_i_Rounds; ++l_i) {
        if (l_i == 0) {
            l_ul_Calls = ToolShare_GetKernelCallCount();
        }
        const double l_d_Start = NowUs();
        for (const uint32_t(&l_aul_Pair)[2] : l_aul_Sizes) {
            // The echo server answers with as many bytes as the request's first byte says.
            Bytes l_x_Request(l_aul_Pair[0], 0x5A);
            l_x_Request[0] = static_cast<uint8_t>(l_aul_Pair[1]);
            uint32_t l_ul_Length = 0;
            Bytes l_x_Response(l_aul_Pair[1]);
            const bool l_b_Good =
                ToolShare_WriteLenDataAndData(&l_x_Private, l_x_Request.data(),
                                              static_cast<uint32_t>(l_x_Request.size()), nullptr,
                                              g_ul_Limit) == TULVO_OK &&
                ToolShare_WaitData(&l_x_Private, nullptr, g_ul_Limit) == TULVO_OK &&
                ToolShare_ReadLenData(&l_x_Private, &l_ul_Length, nullptr, g_ul_Limit) ==
                    TULVO_OK &&
                l_ul_Length == l_aul_Pair[1] &&
                ToolShare_ReadData(&l_x_Private, l_x_Response.data(), l_ul_Length, nullptr,
                                   g_ul_Limit) == TULVO_OK;
            l_i_Errors += l_b_Good ? 0 : 1;
        }
        if (l_i >= 0) {
            l_x_Samples.push_back(NowUs() - l_d_Start);
        }
    }
    const SSummary l_x_Figures = Summarise(l_x_Samples);
    printf("RESULT %.1f %.1f %.2f %d\n", l_x_Figures.m_d_Median, l_x_Figures.m_d_P99,
           static_cast<double>(ToolShare_GetKernelCallCount() - l_ul_Calls) / i_i_Rounds,
           l_i_Errors);
    ToolShare_Close(&l_x_Private);
    ToolShare_Close(&l_x_Public);
    return 0;
}

// Exchanges for that many seconds; the samples (microseconds, one per line) go to the file.
int RunSustain(const char* i_pc_Serial, int i_i_Seconds, const char* i_pc_File) {
    COwnClient l_x_Client;
    Bytes l_x_Response;
    if (l_x_Client.Open() != TULVO_OK ||
        l_x_Client.Exchange(srvtest::LinkRequest(0, i_pc_Serial), &l_x_Response) != 0 ||
        srvtest::StatusOf(l_x_Response) != 0) {
        printf("RESULT failed to open and link\n");
        return 3;
    }
    HANDLE l_h_Linked = OpenSemaphoreA(SEMAPHORE_MODIFY_STATE, FALSE, g_ac_Linked);
    HANDLE l_h_Go = NamedEvent(g_ac_Go);
    ReleaseSemaphore(l_h_Linked, 1, nullptr);
    WaitForSingleObject(l_h_Go, INFINITE);
    const Bytes l_x_Frame = HundredByteFrame(GetCurrentProcessId());
    std::vector<double> l_x_Samples;
    int l_i_Errors = 0;
    const double l_d_End = NowUs() + i_i_Seconds * 1e6;
    while (NowUs() < l_d_End) {
        const double l_d_Start = NowUs();
        l_i_Errors += FullExchange(&l_x_Client, l_x_Frame) ? 0 : 1;
        l_x_Samples.push_back(NowUs() - l_d_Start);
    }
    FILE* l_px_File = fopen(i_pc_File, "w");
    if (l_px_File != nullptr) {
        for (double l_d_Sample : l_x_Samples) {
            fprintf(l_px_File, "%.1f\n", l_d_Sample);
        }
        fclose(l_px_File);
    }
    printf("RESULT %zu %d\n", l_x_Samples.size(), l_i_Errors);
    l_x_Client.Exchange(srvtest::DestroyRequest(), &l_x_Response);
    if (l_h_Linked != nullptr) {
        CloseHandle(l_h_Linked);
    }
    CloseHandle(l_h_Go);
    return 0;
}

int RunClient(int argc, char** argv) {
    ToolShare_Init();
    const std::string l_x_Role = argv[2];
    if (l_x_Role == "own" && argc >= 5) {
        COwnClient l_x_Client;
        return RunExchanges(&l_x_Client, argv[3], atoi(argv[4]));
    }
    if (l_x_Role == "literal" && argc >= 5) {
        CLiteralClient l_x_Client;
        return RunExchanges(&l_x_Client, argv[3], atoi(argv[4]));
    }
    if (l_x_Role == "transport" && argc >= 4) {
        return RunTransport(atoi(argv[3]));
    }
    if (l_x_Role == "sustain" && argc >= 6) {
        return RunSustain(argv[3], atoi(argv[4]), argv[5]);
    }
    return 2;
}

// ---- The service side ----

// Serves private channels of the echo channel: each request answered by as many bytes as
// its first byte says, until the channel fails.
void ServeEcho(ToolShare_Channel* io_px_Public, HANDLE i_h_Cancel) {
    const ToolShare_Param l_x_Param = {g_ac_EchoBase, TOOLSHARE_DEFAULT_SECTION_SIZE};
    for (;;) {
        Bytes l_x_Request;
        uint32_t l_ul_Length = 0;
        if (ToolShare_WaitData(io_px_Public, nullptr, INFINITE) != TULVO_OK ||
            ToolShare_ReadLenData(io_px_Public, &l_ul_Length, nullptr, g_ul_Limit) != TULVO_OK) {
            return;
        }
        l_x_Request.resize(l_ul_Length);
        ToolShare_ReadData(io_px_Public, l_x_Request.data(), l_ul_Length, nullptr, g_ul_Limit);
        ToolShare_Channel l_x_Private = {};
        if (ToolShareSrv_CreatePrivateConnect(&l_x_Param, &l_x_Private, io_px_Public,
                                              l_x_Request.data(), l_ul_Length, nullptr,
                                              g_ul_Limit) != TULVO_OK) {
            continue;
        }
        for (;;) {
            if (ToolShare_WaitData(&l_x_Private, i_h_Cancel, INFINITE) != TULVO_OK ||
                ToolShare_ReadLenData(&l_x_Private, &l_ul_Length, i_h_Cancel, g_ul_Limit) !=
                    TULVO_OK) {
                break;
            }
            l_x_Request.resize(l_ul_Length);
            ToolShare_ReadData(&l_x_Private, l_x_Request.data(), l_ul_Length, i_h_Cancel,
                               g_ul_Limit);
            const Bytes l_x_Response(l_x_Request.empty() ? 0 : l_x_Request[0], 0xA5);
            ToolShare_WriteLenDataAndData(&l_x_Private, l_x_Response.data(),
                                          static_cast<uint32_t>(l_x_Response.size()), nullptr,
                                          g_ul_Limit);
        }
        ToolShare_Close(&l_x_Private);
    }
}

std::string ClientCommand(const std::string& i_x_Arguments) {
    return "\"" + tulvo_test::BinDirectory() + "bench_server.exe\" client " + i_x_Arguments;
}

// Runs one child to its result line: median, p99, calls, errors.
bool RunChild(const std::string& i_x_Arguments, double (&o_ad_Values)[4],
              uint32_t* o_pul_ServiceCalls) {
    HANDLE l_h_Ready = NamedEvent(g_ac_Ready);
    HANDLE l_h_Go = NamedEvent(g_ac_Go);
    HANDLE l_h_Done = NamedEvent(g_ac_Done);
    ResetEvent(l_h_Ready);
    ResetEvent(l_h_Go);
    ResetEvent(l_h_Done);
    tulvo_test::CChildProcess l_x_Child;
    bool l_b_Done = l_x_Child.Start(ClientCommand(i_x_Arguments), "");
    if (l_b_Done && o_pul_ServiceCalls != nullptr) {
        // The service's calls while the child's timed exchanges run, and only then.
        HANDLE l_h_Process = OpenProcess(SYNCHRONIZE, FALSE, l_x_Child.ProcessId());
        const HANDLE l_ah_Ready[2] = {l_h_Ready, l_h_Process};
        l_b_Done = WaitForMultipleObjects(2, l_ah_Ready, FALSE, 120000) == WAIT_OBJECT_0;
        const uint32_t l_ul_Before = ToolShare_GetKernelCallCount();
        SetEvent(l_h_Go);
        const HANDLE l_ah_Done[2] = {l_h_Done, l_h_Process};
        l_b_Done = WaitForMultipleObjects(2, l_ah_Done, FALSE, 600000) == WAIT_OBJECT_0 && l_b_Done;
        *o_pul_ServiceCalls = ToolShare_GetKernelCallCount() - l_ul_Before;
        CloseHandle(l_h_Process);
        l_b_Done = l_x_Child.WaitForExit(600000) && l_b_Done;
    } else if (l_b_Done) {
        l_b_Done = l_x_Child.WaitForExit(600000);
    }
    const std::string l_x_Output = l_x_Child.Output();
    const size_t l_st_At = l_x_Output.find("RESULT ");
    l_b_Done = l_b_Done && l_st_At != std::string::npos &&
               sscanf(l_x_Output.c_str() + l_st_At, "RESULT %lf %lf %lf %lf", &o_ad_Values[0],
                      &o_ad_Values[1], &o_ad_Values[2], &o_ad_Values[3]) == 4;
    if (!l_b_Done) {
        printf("client %s failed: %s\n", i_x_Arguments.c_str(), l_x_Output.c_str());
    }
    CloseHandle(l_h_Ready);
    CloseHandle(l_h_Go);
    CloseHandle(l_h_Done);
    return l_b_Done;
}

int RunService(int i_i_Rounds, int i_i_Seconds, int i_i_Clients) {
    tulvo_test::CSimControl l_x_Sim;
    if (!l_x_Sim.Connect()) {
        printf("no simulator (TULVO_SIM_PORT)\n");
        return 1;
    }
    int l_i_Removed = 0;
    DevTree_RemoveMatching("TLVBEN", &l_i_Removed, nullptr);
    std::string l_ax_Serials[2];
    for (std::string& l_x_Serial : l_ax_Serials) {
        const int l_i_Com = tulvo_test::NextComNumber();
        l_x_Serial = "TLVBEN" + std::to_string(l_i_Com);
        l_x_Sim.Command("add b" + std::to_string(l_i_Com) + " com" + std::to_string(l_i_Com) + " " +
                        l_x_Serial);
    }
    TulvoServ_OpenHideDlg(1);
    TulvoServ_OpenGestIpcPublic();
    TulvoServ_VekEntry* l_px_Entry = nullptr;
    tulvo_test::WaitFor(
        [&] { return TulvoServ_GetGestVek(l_ax_Serials[1].c_str(), &l_px_Entry) == TULVO_OK; },
        g_ul_Limit);
    if (TulvoServ_GetGestVek(l_ax_Serials[0].c_str(), &l_px_Entry) != TULVO_OK) {
        printf("the sensors are not listed\n");
        return 1;
    }
    printf("bench_server: %d rounds, %d clients for %d s, 100-byte frames\n\n", i_i_Rounds,
           i_i_Clients, i_i_Seconds);

    // The device's own round trip, in this process.
    const Bytes l_x_Frame = HundredByteFrame(3);
    std::vector<double> l_x_Device;
    for (int l_i = -50; l_i < i_i_Rounds; ++l_i) {
        const double l_d_Start = NowUs();
        CGestVekHold l_x_Hold;
        CGestVek_Pipe* l_px_Pipe = nullptr;
        uint8_t* l_puc_Frame = nullptr;
        uint32_t l_ul_Length = 0;
        if (TulvoServ_GetPipe(l_px_Entry, 0, &l_x_Hold, &l_px_Pipe) == TULVO_OK &&
            l_px_Pipe->WriteFrame(5000, l_x_Frame.data(), g_st_FrameSize) == TULVO_OK) {
            l_px_Pipe->ReadFrame(5000, &l_puc_Frame, &l_ul_Length, nullptr);
            l_px_Pipe->FreeReadFrame(&l_puc_Frame);
        }
        if (l_i >= 0) {
            l_x_Device.push_back(NowUs() - l_d_Start);
        }
    }
    const SSummary l_x_DeviceFigures = Summarise(l_x_Device);

    // Four transport round trips, against an echo server of this process.
    const ToolShare_Param l_x_EchoParam = {g_ac_EchoBase, TOOLSHARE_DEFAULT_SECTION_SIZE};
    ToolShare_Channel l_x_Echo = {};
    ToolShareSrv_PublicListen(&l_x_EchoParam, &l_x_Echo);
    ToolShare_InitializeWaitEvent(&l_x_Echo.m_h_Peer);
    HANDLE l_h_EchoCancel = nullptr;
    ToolShare_InitializeWaitEvent(&l_h_EchoCancel);
    std::thread l_x_EchoThread([&] { ServeEcho(&l_x_Echo, l_h_EchoCancel); });
    double l_ad_Transport[4] = {};
    // A client that failed, or an exchange that went wrong, fails the run: its figures would
    // not be those of working exchanges.
    bool l_b_Ok = RunChild("transport " + std::to_string(i_i_Rounds), l_ad_Transport, nullptr);
    ToolShare_CancelWaitData(l_x_Echo.m_h_Peer);
    ToolShare_CancelWaitData(l_h_EchoCancel);
    l_x_EchoThread.join();
    ToolShareSrv_Close(&l_x_Echo);
    ToolShare_CloseWaitEvent(&l_h_EchoCancel);

    double l_ad_Own[4] = {};
    double l_ad_Literal[4] = {};
    uint32_t l_ul_OwnService = 0;
    uint32_t l_ul_LiteralService = 0;
    const std::string l_x_Rounds = " " + l_ax_Serials[0] + " " + std::to_string(i_i_Rounds);
    l_b_Ok = RunChild("own" + l_x_Rounds, l_ad_Own, &l_ul_OwnService) && l_b_Ok;
    l_b_Ok = RunChild("literal" + l_x_Rounds, l_ad_Literal, &l_ul_LiteralService) && l_b_Ok;
    l_b_Ok = l_b_Ok && l_ad_Transport[3] == 0 && l_ad_Own[3] == 0 && l_ad_Literal[3] == 0;

    printf("%-46s %10s %10s\n", "round trip (us)", "median", "p99");
    printf("%-46s %10.1f %10.1f\n", "device: pipe WriteFrame + ReadFrame",
           l_x_DeviceFigures.m_d_Median, l_x_DeviceFigures.m_d_P99);
    printf("%-46s %10.1f %10.1f\n", "transport: 4 round trips (7/7 111/7 7/111 3/7)",
           l_ad_Transport[0], l_ad_Transport[1]);
    printf("%-46s %10.1f %10.1f\n", "sum", l_x_DeviceFigures.m_d_Median + l_ad_Transport[0],
           l_x_DeviceFigures.m_d_P99 + l_ad_Transport[1]);
    printf("%-46s %10.1f %10.1f\n", "exchange through the service (own client)", l_ad_Own[0],
           l_ad_Own[1]);
    printf("%-46s %10.1f %10.1f\n", "the service adds (exchange - sum)",
           l_ad_Own[0] - l_x_DeviceFigures.m_d_Median - l_ad_Transport[0],
           l_ad_Own[1] - l_x_DeviceFigures.m_d_P99 - l_ad_Transport[1]);
    printf("%-46s %10.1f %10.1f\n", "exchange through the service (literal client)",
           l_ad_Literal[0], l_ad_Literal[1]);
    printf("\n%-46s %10s %10s %8s\n", "kernel calls per exchange", "client", "service", "errors");
    printf("%-46s %10.2f %10s %8.0f\n", "transport alone (4 round trips)", l_ad_Transport[2], "-",
           l_ad_Transport[3]);
    printf("%-46s %10.2f %10.2f %8.0f\n", "own transport calls", l_ad_Own[2],
           static_cast<double>(l_ul_OwnService) / i_i_Rounds, l_ad_Own[3]);
    printf("%-46s %10.2f %10.2f %8.0f\n", "literal client", l_ad_Literal[2],
           static_cast<double>(l_ul_LiteralService) / i_i_Rounds, l_ad_Literal[3]);
    tulvo_bench::PrintSeriesLine("server.device", l_x_DeviceFigures);
    tulvo_bench::PrintBenchLine("server.transport", {{"median_us", l_ad_Transport[0]},
                                                     {"p99_us", l_ad_Transport[1]},
                                                     {"calls", l_ad_Transport[2]},
                                                     {"errors", l_ad_Transport[3]}});
    tulvo_bench::PrintBenchLine("server.parts",
                                {{"median_us", l_x_DeviceFigures.m_d_Median + l_ad_Transport[0]},
                                 {"p99_us", l_x_DeviceFigures.m_d_P99 + l_ad_Transport[1]}});
    tulvo_bench::PrintBenchLine(
        "server.exchange_own",
        {{"median_us", l_ad_Own[0]},
         {"p99_us", l_ad_Own[1]},
         {"client_calls", l_ad_Own[2]},
         {"service_calls", static_cast<double>(l_ul_OwnService) / i_i_Rounds},
         {"errors", l_ad_Own[3]}});
    tulvo_bench::PrintBenchLine(
        "server.exchange_literal",
        {{"median_us", l_ad_Literal[0]},
         {"p99_us", l_ad_Literal[1]},
         {"client_calls", l_ad_Literal[2]},
         {"service_calls", static_cast<double>(l_ul_LiteralService) / i_i_Rounds},
         {"errors", l_ad_Literal[3]}});
    fflush(stdout);

    // Ten clients on two sensors.
    if (i_i_Seconds > 0) {
        char l_ac_Temp[MAX_PATH];
        GetTempPathA(sizeof(l_ac_Temp), l_ac_Temp);
        HANDLE l_h_Go = NamedEvent(g_ac_Go);
        ResetEvent(l_h_Go);
        HANDLE l_h_Linked = CreateSemaphoreA(nullptr, 0, i_i_Clients, g_ac_Linked);
        std::vector<std::unique_ptr<tulvo_test::CChildProcess>> l_ax_Children;
        std::vector<std::string> l_ax_Files;
        for (int l_i = 0; l_i < i_i_Clients; ++l_i) {
            l_ax_Files.push_back(std::string(l_ac_Temp) + "tulvo_bench_" +
                                 std::to_string(GetCurrentProcessId()) + "_" + std::to_string(l_i));
            l_ax_Children.emplace_back(new tulvo_test::CChildProcess);
            l_ax_Children.back()->Start(ClientCommand("sustain " + l_ax_Serials[l_i % 2] + " " +
                                                      std::to_string(i_i_Seconds) + " \"" +
                                                      l_ax_Files.back() + "\""),
                                        "");
        }
        // Every client linked before the clock starts.
        for (int l_i = 0; l_i < i_i_Clients; ++l_i) {
            WaitForSingleObject(l_h_Linked, 120000);
        }
        SetEvent(l_h_Go);
        std::vector<double> l_x_All;
        long long l_ll_Exchanges = 0;
        long long l_ll_Errors = 0;
        for (int l_i = 0; l_i < i_i_Clients; ++l_i) {
            l_ax_Children[l_i]->WaitForExit(i_i_Seconds * 1000 + 120000);
            const std::string l_x_Output = l_ax_Children[l_i]->Output();
            long long l_ll_Count = 0;
            long long l_ll_Failed = 0;
            const size_t l_st_At = l_x_Output.find("RESULT ");
            if (l_st_At == std::string::npos ||
                sscanf(l_x_Output.c_str() + l_st_At, "RESULT %lld %lld", &l_ll_Count,
                       &l_ll_Failed) != 2) {
                printf("client %d failed: %s\n", l_i, l_x_Output.c_str());
                ++l_ll_Errors;
                continue;
            }
            l_ll_Exchanges += l_ll_Count;
            l_ll_Errors += l_ll_Failed;
            FILE* l_px_File = fopen(l_ax_Files[l_i].c_str(), "r");
            double l_d_Sample = 0;
            while (l_px_File != nullptr && fscanf(l_px_File, "%lf", &l_d_Sample) == 1) {
                l_x_All.push_back(l_d_Sample);
            }
            if (l_px_File != nullptr) {
                fclose(l_px_File);
            }
            DeleteFileA(l_ax_Files[l_i].c_str());
        }
        CloseHandle(l_h_Go);
        CloseHandle(l_h_Linked);
        const SSummary l_x_Figures = Summarise(l_x_All);
        printf("\n%d clients on 2 sensors for %d s: %lld exchanges, %.1f per second, median %.1f "
               "us, p99 %.1f us, %lld errors\n",
               i_i_Clients, i_i_Seconds, l_ll_Exchanges,
               static_cast<double>(l_ll_Exchanges) / i_i_Seconds, l_x_Figures.m_d_Median,
               l_x_Figures.m_d_P99, l_ll_Errors);
        tulvo_bench::PrintSeriesLine("server.sustain", l_x_Figures,
                                     {{"clients", i_i_Clients},
                                      {"per_s", static_cast<double>(l_ll_Exchanges) / i_i_Seconds},
                                      {"errors", static_cast<double>(l_ll_Errors)}});
        l_b_Ok = l_b_Ok && l_ll_Errors == 0;
    }

    const double l_d_Start = NowUs();
    TulvoServ_CloseGestIpcPublic();
    TulvoServ_CloseHideDlg();
    printf("closing the server and the monitor: %.1f ms\n", (NowUs() - l_d_Start) / 1000);
    for (const std::string& l_x_Serial : l_ax_Serials) {
        l_x_Sim.Command("remove b" + l_x_Serial.substr(6));
    }
    DevTree_RemoveMatching("TLVBEN", &l_i_Removed, nullptr);
    if (!l_b_Ok) {
        printf("bench_server: a client failed or an exchange went wrong\n");
    }
    return l_b_Ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && strcmp(argv[1], "client") == 0) {
        return RunClient(argc, argv);
    }
    int l_i_Rounds = 2000;
    int l_i_Seconds = 60;
    int l_i_Clients = 10;
    for (int l_i = 1; l_i + 1 < argc; l_i += 2) {
        if (strcmp(argv[l_i], "--rounds") == 0) {
            l_i_Rounds = atoi(argv[l_i + 1]);
        } else if (strcmp(argv[l_i], "--sustain") == 0) {
            l_i_Seconds = atoi(argv[l_i + 1]);
        } else if (strcmp(argv[l_i], "--clients") == 0) {
            l_i_Clients = atoi(argv[l_i + 1]);
        }
    }
    ToolShare_Init();
    return RunService(std::max(1, l_i_Rounds), l_i_Seconds, std::max(1, l_i_Clients));
}
