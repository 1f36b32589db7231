// What the client library adds to an exchange: TulvoCli_Exchange of a 100-byte frame against
// the same four requests (LOCKPIPE, SENDBUFFER, RECVBUFFER, UNLOCKPIPE) built by hand and sent
// with the transport calls on a private channel of their own, through the same stand-in
// service in the same run, in alternating blocks so that both meet the same machine state.
// Then eight threads of this process sharing one connection to one device.
//   client_bench [exchanges [exchanges per thread]]
// Reports median and p99 per exchange and the kernel calls this process makes per exchange
// (transport and library; under wine each is a round trip to wineserver).
#include "ipc/client/Client.h"
#include "ipc/client/TulvoCli.h"
#include "ipc/protocol/GestIpcFormat.h"
#include "ipc/protocol/TulvoStatus.h"
#include "ipc/toolshare/ToolShare.h"

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

double NowUs() {
    static LARGE_INTEGER s_x_Frequency = [] {
        LARGE_INTEGER l_x_Value;
        QueryPerformanceFrequency(&l_x_Value);
        return l_x_Value;
    }();
    LARGE_INTEGER l_x_Now;
    QueryPerformanceCounter(&l_x_Now);
    return static_cast<double>(l_x_Now.QuadPart) * 1e6 /
           static_cast<double>(s_x_Frequency.QuadPart);
}

uint32_t KernelCalls() {
    return ToolShare_GetKernelCallCount() + Client_GetKernelCallCount();
}

struct SSeries {
    std::vector<double> m_ad_Us;
    uint64_t m_ull_Calls = 0;
};

void Report(const char* i_pc_Name, SSeries* io_px_Series) {
    std::vector<double>& l_ad_Us = io_px_Series->m_ad_Us;
    std::sort(l_ad_Us.begin(), l_ad_Us.end());
    printf("%-28s median %8.1f us   p99 %8.1f us   kernel calls/exchange %5.1f\n", i_pc_Name,
           l_ad_Us[l_ad_Us.size() / 2], l_ad_Us[l_ad_Us.size() * 99 / 100],
           static_cast<double>(io_px_Series->m_ull_Calls) / static_cast<double>(l_ad_Us.size()));
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

// A private channel set up by hand and linked to pipe 1 of the device.
bool RawConnect(const char* i_pc_Name, ToolShare_Channel* o_px_Private) {
    ToolShare_Param l_x_Param = {i_pc_Name, 0};
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
    const int32_t l_i_Built = GestIpc_BuildLinkRequest(1, "SN1", &l_puc_Request, &l_ul_Length);
    return l_i_Status == TULVO_OK &&
           RawRequest(o_px_Private, l_i_Built, l_puc_Request, l_ul_Length);
}

bool StartStandIn(const std::string& i_x_Name, PROCESS_INFORMATION* o_px_Info) {
    char l_ac_Path[MAX_PATH];
    const DWORD l_ul_Length = GetModuleFileNameA(nullptr, l_ac_Path, MAX_PATH);
    std::string l_x_Command(l_ac_Path, l_ul_Length);
    l_x_Command.resize(l_x_Command.find_last_of("\\/") + 1);
    l_x_Command = "\"" + l_x_Command + "tulvo_standin.exe\" --name " + i_x_Name +
                  " --device \"inst|SN1|Bench sensor|COM9\"";
    STARTUPINFOA l_x_Startup = {};
    l_x_Startup.cb = sizeof(l_x_Startup);
    if (!CreateProcessA(nullptr, &l_x_Command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &l_x_Startup, o_px_Info)) {
        return false;
    }
    // Ready once its public channel answers.
    for (int l_i_Try = 0; l_i_Try < 2000; ++l_i_Try) {
        TulvoCli_DeviceProperties* l_px_List = nullptr;
        uint32_t l_ul_Count = 0;
        if (TulvoCli_EnumDevices(&l_px_List, &l_ul_Count) == TULVO_OK) {
            TulvoCli_FreeDeviceList(&l_px_List, l_ul_Count);
            return true;
        }
        Sleep(10);
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    const int l_i_Exchanges = argc > 1 ? atoi(argv[1]) : 2000;
    const int l_i_PerThread = argc > 2 ? atoi(argv[2]) : 250;
    char l_ac_Name[64];
    snprintf(l_ac_Name, sizeof(l_ac_Name), "TcBench%lu_%llx",
             static_cast<unsigned long>(GetCurrentProcessId()),
             static_cast<unsigned long long>(GetTickCount64()));
    Client_SetPublicBaseName(l_ac_Name);
    PROCESS_INFORMATION l_x_StandIn = {};
    if (!StartStandIn(l_ac_Name, &l_x_StandIn)) {
        fprintf(stderr, "client_bench: the stand-in service did not start\n");
        return 2;
    }
    TulvoCli_Connection* l_px_Conx = nullptr;
    ToolShare_Channel l_x_Raw = {};
    if (TulvoCli_Connect(&l_px_Conx, "SN1") != TULVO_OK || !RawConnect(l_ac_Name, &l_x_Raw)) {
        fprintf(stderr, "client_bench: cannot connect to the stand-in service\n");
        TerminateProcess(l_x_StandIn.hProcess, 1);
        return 2;
    }
    std::vector<uint8_t> l_x_Frame(FRAME_SIZE);
    l_x_Frame[0] = 0x0F;
    l_x_Frame[1] = FRAME_SIZE - 3;
    for (uint32_t l_ul_Index = 3; l_ul_Index < FRAME_SIZE; ++l_ul_Index) {
        l_x_Frame[l_ul_Index] = static_cast<uint8_t>(l_ul_Index);
    }

    SSeries l_x_Library;
    SSeries l_x_RawSeries;
    int l_i_Failures = 0;
    for (int l_i_Block = 0; l_i_Block <= BLOCKS; ++l_i_Block) {
        const bool l_b_Warmup = l_i_Block == 0;
        for (int l_i_Round = 0; l_i_Round < l_i_Exchanges / BLOCKS; ++l_i_Round) {
            uint32_t l_ul_Calls = KernelCalls();
            double l_d_Start = NowUs();
            uint8_t* l_puc_Answer = nullptr;
            uint32_t l_ul_AnswerLength = 0;
            if (TulvoCli_Exchange(l_px_Conx, TIMEOUT, l_x_Frame.data(), FRAME_SIZE, &l_puc_Answer,
                                  &l_ul_AnswerLength) != TULVO_OK ||
                l_ul_AnswerLength != FRAME_SIZE) {
                ++l_i_Failures;
            }
            TulvoCli_FreeBuffer(&l_puc_Answer);
            if (!l_b_Warmup) {
                l_x_Library.m_ad_Us.push_back(NowUs() - l_d_Start);
                l_x_Library.m_ull_Calls += KernelCalls() - l_ul_Calls;
            }
            l_ul_Calls = KernelCalls();
            l_d_Start = NowUs();
            if (!RawExchange(&l_x_Raw, l_x_Frame.data())) {
                ++l_i_Failures;
            }
            if (!l_b_Warmup) {
                l_x_RawSeries.m_ad_Us.push_back(NowUs() - l_d_Start);
                l_x_RawSeries.m_ull_Calls += KernelCalls() - l_ul_Calls;
            }
        }
    }
    printf("Exchange of a %u-byte frame (lock, send, receive, unlock), %d of each:\n", FRAME_SIZE,
           l_i_Exchanges);
    Report("raw requests (transport)", &l_x_RawSeries);
    Report("TulvoCli_Exchange", &l_x_Library);
    printf("library adds (median)         %8.1f us\n",
           l_x_Library.m_ad_Us[l_x_Library.m_ad_Us.size() / 2] -
               l_x_RawSeries.m_ad_Us[l_x_RawSeries.m_ad_Us.size() / 2]);

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
                                          &l_puc_Answer, &l_ul_AnswerLength) != TULVO_OK) {
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
        printf("%d thread(s), one connection, one device: %8.0f exchanges/s (%d exchanges, %d "
               "failed)\n",
               l_i_Threads, l_i_Threads * l_i_PerThread / l_d_Seconds, l_i_Threads * l_i_PerThread,
               l_i_Errors.load());
        l_i_Failures += l_i_Errors.load();
    }
    TulvoCli_Disconnect(&l_px_Conx);
    ToolShare_Close(&l_x_Raw);
    TerminateProcess(l_x_StandIn.hProcess, 0);
    WaitForSingleObject(l_x_StandIn.hProcess, 10000);
    CloseHandle(l_x_StandIn.hProcess);
    CloseHandle(l_x_StandIn.hThread);
    if (l_i_Failures > 0) {
        printf("%d exchanges failed\n", l_i_Failures);
        return 1;
    }
    return 0;
}
