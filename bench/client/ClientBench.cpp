// What the client library adds to an exchange with the real service (Serv_Tulvo.exe -debug,
// started here) and a simulated sensor (bench/client/run.sh runs this under wine with the
// simulator): TulvoCli_Exchange of a 100-byte frame against the same four requests
// (LOCKPIPE, SENDBUFFER, RECVBUFFER, UNLOCKPIPE) built by hand and sent with the transport
// calls on a private channel of their own linked to the same pipe, round for round in the same
// run. Then one and eight threads of this process sharing one connection to the sensor.
//   client_bench [exchanges [exchanges per thread]]
// Reports median and p99 per exchange and the kernel calls this process makes per exchange
// (transport and library; under wine each is a round trip to wineserver).
#include "bench/common/BenchStats.h"
#include "ipc/client/Client.h"
#include "ipc/client/TulvoCli.h"
#include "ipc/protocol/GestIpcFormat.h"
#include "ipc/protocol/TulvoStatus.h"
#include "ipc/toolshare/ToolShare.h"
#include "tests/common/ServiceProcess.h"
#include "tests/common/TempDir.h"
#include "tests/device/link/SimLinkSupport.h"
#include "tests/ipc/server/ServerTestSupport.h"

#include <algorithm>
#include <atomic>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <thread>
#include <vector>

namespace {

const uint32_t TIMEOUT = 10000;
const uint32_t FRAME_SIZE = 100;
const int BLOCKS = 10;
const uint32_t LIMIT_MS = 30000;

using tulvo_bench::NowUs;

struct SSeries {
    std::vector<double> m_ad_Us;
    uint64_t m_ull_TransportCalls = 0;
    uint64_t m_ull_LibraryCalls = 0;
};

void Report(const char* i_pc_Name, const char* i_pc_Key, const SSeries& i_x_Series) {
    const double l_d_Count = static_cast<double>(i_x_Series.m_ad_Us.size());
    const tulvo_bench::SSummary l_x_Us = tulvo_bench::Summarise(i_x_Series.m_ad_Us);
    const double l_d_Transport = static_cast<double>(i_x_Series.m_ull_TransportCalls) / l_d_Count;
    const double l_d_Library = static_cast<double>(i_x_Series.m_ull_LibraryCalls) / l_d_Count;
    printf("%-26s median %7.1f us  p99 %7.1f us  kernel calls/exchange %5.1f (transport %4.1f, "
           "library %4.1f)\n",
           i_pc_Name, l_x_Us.m_d_Median, l_x_Us.m_d_P99, l_d_Transport + l_d_Library, l_d_Transport,
           l_d_Library);
    tulvo_bench::PrintSeriesLine(i_pc_Key, l_x_Us,
                                 {{"calls", l_d_Transport + l_d_Library},
                                  {"transport_calls", l_d_Transport},
                                  {"library_calls", l_d_Library}});
}

// Runs one exchange and adds its time and kernel calls to the series (unless warming up).
template <class TExchange>
void Measure(SSeries* io_px_Series, bool i_b_Keep, TExchange i_f_Exchange) {
    const uint32_t l_ul_Transport = ToolShare_GetKernelCallCount();
    const uint32_t l_ul_Library = Client_GetKernelCallCount();
    const double l_d_Start = NowUs();
    i_f_Exchange();
    if (i_b_Keep) {
        io_px_Series->m_ad_Us.push_back(NowUs() - l_d_Start);
        io_px_Series->m_ull_TransportCalls += ToolShare_GetKernelCallCount() - l_ul_Transport;
        io_px_Series->m_ull_LibraryCalls += Client_GetKernelCallCount() - l_ul_Library;
    }
}

// One request and its response on a raw channel: what an application without the library
// would write.
bool RawRequest(ToolShare_Channel* io_px_Channel, int32_t i_i_Built, uint8_t* i_puc_Request,
                uint32_t i_ul_Length) {
    bool l_b_Ok = i_i_Built == TULVO_OK &&
                  ToolShare_WriteLenDataAndData(io_px_Channel, i_puc_Request, i_ul_Length, nullptr,
                                                TIMEOUT) == TULVO_OK &&
                  ToolShare_WaitData(io_px_Channel, nullptr, TIMEOUT) == TULVO_OK;
    GestIpc_FreeBuffer(i_puc_Request);
    uint32_t l_ul_Length = 0;
    l_b_Ok = l_b_Ok && ToolShare_ReadLenData(io_px_Channel, &l_ul_Length, nullptr, TIMEOUT) == 0;
    uint8_t* l_puc_Response = static_cast<uint8_t*>(malloc(l_ul_Length + 1));
    l_b_Ok = l_b_Ok && l_puc_Response != nullptr &&
             ToolShare_ReadData(io_px_Channel, l_puc_Response, l_ul_Length, nullptr, TIMEOUT) ==
                 TULVO_OK &&
             l_ul_Length >= 7 && GestIpc_GetU32(l_puc_Response + 3) == 0;
    free(l_puc_Response);
    return l_b_Ok;
}

bool RawExchange(ToolShare_Channel* io_px_Channel, const uint8_t* i_puc_Frame) {
    uint8_t* l_puc_Request = nullptr;
    uint32_t l_ul_Length = 0;
    int32_t l_i_Built = GestIpc_BuildLockPipeRequest(TIMEOUT, &l_puc_Request, &l_ul_Length);
    bool l_b_Ok = RawRequest(io_px_Channel, l_i_Built, l_puc_Request, l_ul_Length);
    l_i_Built = GestIpc_BuildSendBufferRequest(TIMEOUT, i_puc_Frame, FRAME_SIZE, &l_puc_Request,
                                               &l_ul_Length);
    l_b_Ok = RawRequest(io_px_Channel, l_i_Built, l_puc_Request, l_ul_Length) && l_b_Ok;
    l_i_Built = GestIpc_BuildRecvBufferRequest(TIMEOUT, &l_puc_Request, &l_ul_Length);
    l_b_Ok = RawRequest(io_px_Channel, l_i_Built, l_puc_Request, l_ul_Length) && l_b_Ok;
    l_i_Built = GestIpc_BuildUnlockPipeRequest(&l_puc_Request, &l_ul_Length);
    return RawRequest(io_px_Channel, l_i_Built, l_puc_Request, l_ul_Length) && l_b_Ok;
}

// A private channel set up by hand and linked to pipe 1 of the sensor.
bool RawConnect(const std::string& i_x_Serial, ToolShare_Channel* o_px_Private) {
    ToolShare_Param l_x_Param = {CLIENT_PUBLIC_BASENAME, 0};
    ToolShare_Channel l_x_Public = {};
    if (ToolShareClt_PublicConnect(&l_x_Param, &l_x_Public) != TULVO_OK ||
        ToolShareClt_Lock(&l_x_Public, TIMEOUT) != TULVO_OK) {
        return false;
    }
    const int32_t l_i_Status =
        ToolShareClt_AcquirePrivateConnect(&l_x_Param, o_px_Private, &l_x_Public, nullptr, TIMEOUT);
    ToolShareClt_Unlock(&l_x_Public);
    ToolShare_Close(&l_x_Public);
    uint8_t* l_puc_Request = nullptr;
    uint32_t l_ul_Length = 0;
    const int32_t l_i_Built =
        GestIpc_BuildLinkRequest(1, i_x_Serial.c_str(), &l_puc_Request, &l_ul_Length);
    return l_i_Status == TULVO_OK &&
           RawRequest(o_px_Private, l_i_Built, l_puc_Request, l_ul_Length);
}

bool Listed(const std::string& i_x_Serial) {
    TulvoCli_DeviceProperties* l_px_List = nullptr;
    uint32_t l_ul_Count = 0;
    bool l_b_Found = false;
    if (TulvoCli_EnumDevices(&l_px_List, &l_ul_Count) == TULVO_OK) {
        for (uint32_t l_ul_Index = 0; l_ul_Index < l_ul_Count; ++l_ul_Index) {
            l_b_Found = l_b_Found || i_x_Serial == reinterpret_cast<char*>(
                                                       l_px_List[l_ul_Index].m_puc_SerialNumber);
        }
    }
    TulvoCli_FreeDeviceList(&l_px_List, l_ul_Count);
    return l_b_Found;
}

// A simulated sensor and the service, which opens it at start.
bool StartService(tulvo_test::CSimControl* io_px_Sim, tulvo_test::CServiceProcess* io_px_Service,
                  const std::string& i_x_Directory, std::string* o_px_Serial) {
    const int l_i_Com = tulvo_test::NextComNumber();
    *o_px_Serial = "TLVCLB" + std::to_string(l_i_Com);
    if (!io_px_Sim->Connect() ||
        !io_px_Sim->Ok("add bench com" + std::to_string(l_i_Com) + " " + *o_px_Serial)) {
        fprintf(stderr, "client_bench: no simulated sensor (TULVO_SIM_PORT)\n");
        return false;
    }
    if (!io_px_Service->Start(i_x_Directory) ||
        !io_px_Service->WaitForOutput("..Started", LIMIT_MS) ||
        !tulvo_test::WaitFor([&] { return Listed(*o_px_Serial); }, LIMIT_MS)) {
        fprintf(stderr, "client_bench: the service did not start with the sensor\n%s",
                io_px_Service->Output().c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const int l_i_Exchanges = argc > 1 ? atoi(argv[1]) : 2000;
    const int l_i_PerThread = argc > 2 ? atoi(argv[2]) : 250;
    tulvo_test::CSimControl l_x_Sim;
    tulvo_test::CServiceProcess l_x_Service;
    tulvo_test::CTempDir l_x_Dir;
    l_x_Dir.Enter();
    std::string l_x_Serial;
    TulvoCli_Connection* l_px_Conx = nullptr;
    ToolShare_Channel l_x_Raw = {};
    if (!StartService(&l_x_Sim, &l_x_Service, l_x_Dir.Path(), &l_x_Serial) ||
        TulvoCli_Connect(&l_px_Conx, l_x_Serial.c_str()) != TULVO_OK ||
        !RawConnect(l_x_Serial, &l_x_Raw)) {
        fprintf(stderr, "client_bench: cannot reach the sensor through the service\n");
        l_x_Sim.Command("remove bench");
        return 2;
    }
    const srvtest::Bytes l_x_Frame = srvtest::EchoFrame(FRAME_SIZE - 5, 1);
    if (l_x_Frame.size() != FRAME_SIZE) {
        return 2;
    }

    // Round for round, so that both meet the same machine state.
    SSeries l_x_Library;
    SSeries l_x_RawSeries;
    int l_i_Failures = 0;
    const int l_i_Warmup = l_i_Exchanges / BLOCKS;
    for (int l_i_Round = 0; l_i_Round < l_i_Warmup + l_i_Exchanges; ++l_i_Round) {
        const bool l_b_Keep = l_i_Round >= l_i_Warmup;
        Measure(&l_x_Library, l_b_Keep, [&] {
            uint8_t* l_puc_Answer = nullptr;
            uint32_t l_ul_AnswerLength = 0;
            if (TulvoCli_Exchange(l_px_Conx, TIMEOUT, l_x_Frame.data(), FRAME_SIZE, &l_puc_Answer,
                                  &l_ul_AnswerLength) != TULVO_OK ||
                l_ul_AnswerLength != FRAME_SIZE) {
                ++l_i_Failures;
            }
            TulvoCli_FreeBuffer(&l_puc_Answer);
        });
        Measure(&l_x_RawSeries, l_b_Keep, [&] {
            if (!RawExchange(&l_x_Raw, l_x_Frame.data())) {
                ++l_i_Failures;
            }
        });
    }
    printf("Exchange of a %u-byte frame with the sensor through the service (lock, send, "
           "receive, unlock), %d of each:\n",
           FRAME_SIZE, l_i_Exchanges);
    // What the library adds, round by round: the device's own time, most of an exchange, and
    // its drift over the run cancel out of each difference.
    std::vector<double> l_ad_Added;
    for (size_t l_st_Round = 0; l_st_Round < l_x_Library.m_ad_Us.size(); ++l_st_Round) {
        l_ad_Added.push_back(l_x_Library.m_ad_Us[l_st_Round] - l_x_RawSeries.m_ad_Us[l_st_Round]);
    }
    Report("raw requests (transport)", "client.raw", l_x_RawSeries);
    Report("TulvoCli_Exchange", "client.library", l_x_Library);
    const tulvo_bench::SSummary l_x_Added = tulvo_bench::Summarise(l_ad_Added);
    printf("library adds (median of the round-by-round differences) %7.1f us\n",
           l_x_Added.m_d_Median);
    tulvo_bench::PrintSeriesLine("client.added", l_x_Added);

    for (int l_i_Threads : {1, 8}) {
        std::atomic<int> l_i_Errors{0};
        std::vector<std::thread> l_ax_Threads;
        const double l_d_Start = NowUs();
        for (int l_i_Thread = 0; l_i_Thread < l_i_Threads; ++l_i_Thread) {
            l_ax_Threads.emplace_back([&] {
                for (int l_i_Round = 0; l_i_Round < l_i_PerThread; ++l_i_Round) {
                    uint8_t* l_puc_Answer = nullptr;
                    uint32_t l_ul_AnswerLength = 0;
                    if (TulvoCli_Exchange(l_px_Conx, TIMEOUT, l_x_Frame.data(), FRAME_SIZE,
                                          &l_puc_Answer, &l_ul_AnswerLength) != TULVO_OK ||
                        l_ul_AnswerLength != FRAME_SIZE) {
                        ++l_i_Errors;
                    }
                    TulvoCli_FreeBuffer(&l_puc_Answer);
                }
            });
        }
        for (std::thread& l_x_Thread : l_ax_Threads) {
            l_x_Thread.join();
        }
        const double l_d_Seconds = (NowUs() - l_d_Start) / 1e6;
        printf("%d thread(s), one connection, one sensor: %7.0f exchanges/s (%d exchanges, %d "
               "failed)\n",
               l_i_Threads, l_i_Threads * l_i_PerThread / l_d_Seconds, l_i_Threads * l_i_PerThread,
               l_i_Errors.load());
        tulvo_bench::PrintBenchLine(
            l_i_Threads == 1 ? "client.threads1" : "client.threads8",
            {{"per_s", l_i_Threads * l_i_PerThread / l_d_Seconds}, {"failed", l_i_Errors.load()}});
        l_i_Failures += l_i_Errors.load();
    }
    TulvoCli_Disconnect(&l_px_Conx);
    uint8_t* l_puc_Request = nullptr;
    uint32_t l_ul_Length = 0;
    const int32_t l_i_Built = GestIpc_BuildDestroyConxRequest(&l_puc_Request, &l_ul_Length);
    RawRequest(&l_x_Raw, l_i_Built, l_puc_Request, l_ul_Length);
    ToolShare_Close(&l_x_Raw);
    l_x_Service.Stop(LIMIT_MS);
    l_x_Sim.Command("remove bench");
    l_x_Dir.Leave();
    if (l_i_Failures > 0) {
        printf("%d exchanges failed\n", l_i_Failures);
        return 1;
    }
    return 0;
}
