// Round trips over a private channel between two processes, next to a raw two-event
// ping-pong between the same two processes, and the kernel calls each message costs.
//   toolshare_bench [iterations scale]     run everything (starts its own server process)
//   toolshare_bench --server <base>        the server end (started by the above)
// Requests: 'E' + data: echo it back; 'A' + data: answer 16 bytes; 'K': answer the kernel
// calls the server made to read the previous request and to write its response; 'M': answer
// 16 bytes and from then on read every request into one kept buffer and answer 16 bytes,
// until the next 'M'.
#include "bench/common/BenchStats.h"
#include "ipc/protocol/TulvoStatus.h"
#include "ipc/toolshare/ToolShare.h"

#include <algorithm>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <thread>
#include <vector>

namespace {

const uint32_t LIMIT_MS = 60000;

std::string PingName(const std::string& i_x_Base, const char* i_pc_Which) {
    return i_x_Base + ":" + i_pc_Which;
}

// The server reads like the service's receive threads: wait, length, allocate, body.
int32_t ReadRequest(ToolShare_Channel* io_px_Channel, uint8_t** o_ppuc_Data,
                    uint32_t* o_pul_Length) {
    int32_t l_i_Status = ToolShare_WaitData(io_px_Channel, nullptr, INFINITE);
    if (l_i_Status == TULVO_OK) {
        l_i_Status = ToolShare_ReadLenData(io_px_Channel, o_pul_Length, nullptr, LIMIT_MS);
    }
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    *o_ppuc_Data = static_cast<uint8_t*>(malloc(*o_pul_Length == 0 ? 1 : *o_pul_Length));
    if (*o_ppuc_Data == nullptr) {
        return TULVO_NO_MEMORY;
    }
    l_i_Status = ToolShare_ReadData(io_px_Channel, *o_ppuc_Data, *o_pul_Length, nullptr, LIMIT_MS);
    if (l_i_Status != TULVO_OK) {
        free(*o_ppuc_Data);
        *o_ppuc_Data = nullptr;
    }
    return l_i_Status;
}

int RunServer(const char* i_pc_Base) {
    ToolShare_Init();
    ToolShare_Param l_x_Param = {i_pc_Base, TOOLSHARE_DEFAULT_SECTION_SIZE};
    ToolShare_Channel l_x_Public = {};
    if (ToolShareSrv_PublicListen(&l_x_Param, &l_x_Public) != TULVO_OK) {
        return 3;
    }
    // Raw ping-pong partner: two auto-reset events, one kernel call each way per side.
    HANDLE l_h_Ping = CreateEventA(nullptr, FALSE, FALSE, PingName(i_pc_Base, "Ping").c_str());
    HANDLE l_h_Pong = CreateEventA(nullptr, FALSE, FALSE, PingName(i_pc_Base, "Pong").c_str());
    std::thread([l_h_Ping, l_h_Pong] {
        while (WaitForSingleObject(l_h_Ping, INFINITE) == WAIT_OBJECT_0) {
            SetEvent(l_h_Pong);
        }
    }).detach();

    uint8_t* l_puc_Request = nullptr;
    uint32_t l_ul_Length = 0;
    if (ReadRequest(&l_x_Public, &l_puc_Request, &l_ul_Length) != TULVO_OK ||
        ToolShareSrv_IsPrivateConnectRequest(l_puc_Request, l_ul_Length) != TULVO_OK) {
        return 3;
    }
    ToolShare_Channel l_x_Private = {};
    int32_t l_i_Status = ToolShareSrv_CreatePrivateConnect(
        &l_x_Param, &l_x_Private, &l_x_Public, l_puc_Request, l_ul_Length, nullptr, 1000);
    free(l_puc_Request);
    if (l_i_Status != TULVO_OK) {
        return 3;
    }
    uint32_t l_aul_Calls[2] = {0, 0};
    std::vector<uint8_t> l_x_Small(16, 0x42);
    // Reuse mode: read into one buffer kept across messages, to show the transport without
    // the cost of faulting in a fresh allocation for every message.
    bool l_b_Reuse = false;
    std::vector<uint8_t> l_x_Kept;
    for (;;) {
        uint32_t l_ul_Before = ToolShare_GetKernelCallCount();
        if (l_b_Reuse) {
            l_i_Status = ToolShare_WaitData(&l_x_Private, nullptr, INFINITE);
            if (l_i_Status == TULVO_OK) {
                l_i_Status = ToolShare_ReadLenData(&l_x_Private, &l_ul_Length, nullptr, LIMIT_MS);
            }
            if (l_i_Status == TULVO_OK) {
                if (l_x_Kept.size() < l_ul_Length) {
                    l_x_Kept.resize(l_ul_Length);
                }
                l_i_Status = ToolShare_ReadData(&l_x_Private, l_x_Kept.data(), l_ul_Length, nullptr,
                                                LIMIT_MS);
            }
            if (l_i_Status != TULVO_OK) {
                return 0;
            }
            l_b_Reuse = l_ul_Length == 0 || l_x_Kept[0] != 'M';
            l_i_Status = ToolShare_WriteLenDataAndData(&l_x_Private, l_x_Small.data(), 16, nullptr,
                                                       LIMIT_MS);
            if (l_i_Status != TULVO_OK) {
                return 0;
            }
            continue;
        }
        if (ReadRequest(&l_x_Private, &l_puc_Request, &l_ul_Length) != TULVO_OK) {
            return 0; // the client is gone
        }
        uint32_t l_ul_Read = ToolShare_GetKernelCallCount();
        char l_c_Kind = l_ul_Length > 0 ? char(l_puc_Request[0]) : 'E';
        if (l_c_Kind == 'M') {
            l_b_Reuse = true;
            l_c_Kind = 'A';
        }
        if (l_c_Kind == 'K') {
            uint8_t l_auc_Calls[8];
            memcpy(l_auc_Calls, l_aul_Calls, sizeof(l_auc_Calls));
            l_i_Status =
                ToolShare_WriteLenDataAndData(&l_x_Private, l_auc_Calls, 8, nullptr, LIMIT_MS);
        } else if (l_c_Kind == 'A') {
            l_i_Status = ToolShare_WriteLenDataAndData(&l_x_Private, l_x_Small.data(), 16, nullptr,
                                                       LIMIT_MS);
        } else {
            l_i_Status = ToolShare_WriteLenDataAndData(&l_x_Private, l_puc_Request, l_ul_Length,
                                                       nullptr, LIMIT_MS);
        }
        free(l_puc_Request);
        if (l_c_Kind != 'K') {
            l_aul_Calls[0] = l_ul_Read - l_ul_Before;
            l_aul_Calls[1] = ToolShare_GetKernelCallCount() - l_ul_Read;
        }
        if (l_i_Status != TULVO_OK) {
            return 0;
        }
    }
}

using tulvo_bench::NowUs;
using tulvo_bench::SSummary;
using tulvo_bench::Summarise;

// One exchange as the client library makes it: write, wait, length, allocate, body. The
// response stays in its heap buffer (the caller frees it), as the library hands it out.
bool Exchange(ToolShare_Channel* io_px_Channel, const std::vector<uint8_t>& i_x_Request,
              uint8_t** o_ppuc_Response, uint32_t* o_pul_Length) {
    if (ToolShare_WriteLenDataAndData(io_px_Channel, i_x_Request.data(),
                                      static_cast<uint32_t>(i_x_Request.size()), nullptr,
                                      LIMIT_MS) != TULVO_OK) {
        return false;
    }
    return ReadRequest(io_px_Channel, o_ppuc_Response, o_pul_Length) == TULVO_OK;
}

// Exchange into a vector, for the few exchanges whose answer is looked at.
bool ExchangeCopy(ToolShare_Channel* io_px_Channel, const std::vector<uint8_t>& i_x_Request,
                  std::vector<uint8_t>* o_px_Response) {
    uint8_t* l_puc_Data = nullptr;
    uint32_t l_ul_Length = 0;
    if (!Exchange(io_px_Channel, i_x_Request, &l_puc_Data, &l_ul_Length)) {
        return false;
    }
    o_px_Response->assign(l_puc_Data, l_puc_Data + l_ul_Length);
    free(l_puc_Data);
    return true;
}

int RunClient(int i_i_Scale) {
    char l_ac_Base[40];
    snprintf(l_ac_Base, sizeof(l_ac_Base), "TsBench%lu",
             static_cast<unsigned long>(GetCurrentProcessId()));
    char l_ac_Path[MAX_PATH];
    GetModuleFileNameA(nullptr, l_ac_Path, MAX_PATH);
    std::string l_x_Command = std::string("\"") + l_ac_Path + "\" --server " + l_ac_Base;
    STARTUPINFOA l_x_Startup = {};
    l_x_Startup.cb = sizeof(l_x_Startup);
    PROCESS_INFORMATION l_x_Server = {};
    if (!CreateProcessA(nullptr, &l_x_Command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &l_x_Startup, &l_x_Server)) {
        fprintf(stderr, "cannot start the server process\n");
        return 1;
    }

    ToolShare_Init();
    ToolShare_Param l_x_Param = {l_ac_Base, TOOLSHARE_DEFAULT_SECTION_SIZE};
    ToolShare_Channel l_x_Public = {};
    DWORD l_ul_Start = GetTickCount();
    while (ToolShareClt_PublicConnect(&l_x_Param, &l_x_Public) != TULVO_OK ||
           ToolShareClt_ServerOK(&l_x_Public) != TULVO_OK) {
        ToolShare_Close(&l_x_Public);
        if (GetTickCount() - l_ul_Start > LIMIT_MS) {
            fprintf(stderr, "server did not start\n");
            TerminateProcess(l_x_Server.hProcess, 1);
            return 1;
        }
        Sleep(10);
    }
    ToolShare_Channel l_x_Private = {};
    if (ToolShareClt_Lock(&l_x_Public, LIMIT_MS) != TULVO_OK ||
        ToolShareClt_AcquirePrivateConnect(&l_x_Param, &l_x_Private, &l_x_Public, nullptr,
                                           LIMIT_MS) != TULVO_OK) {
        fprintf(stderr, "no private channel\n");
        TerminateProcess(l_x_Server.hProcess, 1);
        return 1;
    }
    ToolShareClt_Unlock(&l_x_Public);

    printf("ToolShare round trips over a private channel (section %u bytes), two processes, "
           "times in microseconds\n",
           TOOLSHARE_DEFAULT_SECTION_SIZE);

    // Raw ping-pong between the same two processes: the floor for any request/response.
    HANDLE l_h_Ping = OpenEventA(EVENT_MODIFY_STATE, FALSE, PingName(l_ac_Base, "Ping").c_str());
    HANDLE l_h_Pong = OpenEventA(SYNCHRONIZE, FALSE, PingName(l_ac_Base, "Pong").c_str());
    std::vector<double> l_x_Samples;
    for (int l_i_Round = 0; l_i_Round < 2000 * i_i_Scale + 100; ++l_i_Round) {
        double l_d_Start = NowUs();
        SetEvent(l_h_Ping);
        WaitForSingleObject(l_h_Pong, INFINITE);
        if (l_i_Round >= 100) {
            l_x_Samples.push_back(NowUs() - l_d_Start);
        }
    }
    SSummary l_x_Ping = Summarise(l_x_Samples);
    printf("%-28s median %9.1f  p99 %9.1f   (4 kernel calls per round trip)\n",
           "raw two-event ping-pong", l_x_Ping.m_d_Median, l_x_Ping.m_d_P99);
    tulvo_bench::PrintSeriesLine("transport.pingpong", l_x_Ping, {{"calls", 4}});

    struct {
        const char* m_pc_Label;
        const char* m_pc_Key;
        uint32_t m_ul_Size;
        int m_i_Rounds;
        char m_c_Kind;
    } l_ax_Cases[] = {
        {"16 B echo", "transport.echo16B", 16, 2000, 'E'},
        {"4 KiB echo", "transport.echo4K", 4096, 2000, 'E'},
        {"512 KiB echo", "transport.echo512K", 512 * 1024, 200, 'E'},
        {"8 MiB echo", "transport.echo8M", 8 * 1024 * 1024, 30, 'E'},
        {"8 MiB request, 16 B answer", "transport.request8M", 8 * 1024 * 1024, 30, 'A'},
        {"  same, server buffer kept", "transport.request8M_kept", 8 * 1024 * 1024, 30, 'R'},
    };
    for (const auto& l_x_Case : l_ax_Cases) {
        std::vector<uint8_t> l_x_Request(l_x_Case.m_ul_Size);
        for (size_t l_ul_Index = 0; l_ul_Index < l_x_Request.size(); ++l_ul_Index) {
            l_x_Request[l_ul_Index] = uint8_t(l_ul_Index * 7 + 1);
        }
        l_x_Request[0] = uint8_t(l_x_Case.m_c_Kind);
        std::vector<uint8_t> l_x_Mode(1, 'M');
        std::vector<uint8_t> l_x_Ignored;
        if (l_x_Case.m_c_Kind == 'R' && !ExchangeCopy(&l_x_Private, l_x_Mode, &l_x_Ignored)) {
            fprintf(stderr, "mode switch failed\n");
            return 1;
        }
        l_x_Samples.clear();
        int l_i_Rounds = l_x_Case.m_i_Rounds * i_i_Scale;
        uint32_t l_ul_ResponseLength = 0;
        for (int l_i_Round = 0; l_i_Round < l_i_Rounds + 5; ++l_i_Round) {
            uint8_t* l_puc_Response = nullptr;
            double l_d_Start = NowUs();
            if (!Exchange(&l_x_Private, l_x_Request, &l_puc_Response, &l_ul_ResponseLength)) {
                fprintf(stderr, "exchange failed\n");
                return 1;
            }
            if (l_i_Round >= 5) {
                l_x_Samples.push_back(NowUs() - l_d_Start);
            }
            bool l_b_Wrong = l_x_Case.m_c_Kind == 'E' &&
                             (l_ul_ResponseLength != l_x_Request.size() ||
                              (l_i_Round == l_i_Rounds + 4 &&
                               memcmp(l_puc_Response, l_x_Request.data(), l_ul_ResponseLength)));
            free(l_puc_Response);
            if (l_b_Wrong) {
                fprintf(stderr, "echo differs\n");
                return 1;
            }
        }
        if (l_x_Case.m_c_Kind == 'R' && !ExchangeCopy(&l_x_Private, l_x_Mode, &l_x_Ignored)) {
            fprintf(stderr, "mode switch failed\n");
            return 1;
        }
        SSummary l_x_Stats = Summarise(l_x_Samples);
        size_t l_ul_Moved = l_x_Request.size() + l_ul_ResponseLength;
        printf("%-28s median %9.1f  p99 %9.1f   %7.1f MB/s moved (%.1f ping-pongs)\n",
               l_x_Case.m_pc_Label, l_x_Stats.m_d_Median, l_x_Stats.m_d_P99,
               double(l_ul_Moved) / l_x_Stats.m_d_Median,
               l_x_Stats.m_d_Median / l_x_Ping.m_d_Median);
        tulvo_bench::PrintSeriesLine(l_x_Case.m_pc_Key, l_x_Stats,
                                     {{"mbps", double(l_ul_Moved) / l_x_Stats.m_d_Median}});
    }

    // Kernel calls of one single-chunk message at each end, counted by the transport.
    std::vector<uint8_t> l_x_Small(16, 'E');
    std::vector<uint8_t> l_x_Response;
    uint32_t l_ul_Before = ToolShare_GetKernelCallCount();
    ExchangeCopy(&l_x_Private, l_x_Small, &l_x_Response);
    uint32_t l_ul_Total = ToolShare_GetKernelCallCount() - l_ul_Before;
    l_ul_Before = ToolShare_GetKernelCallCount();
    ToolShare_WriteLenDataAndData(&l_x_Private, l_x_Small.data(), 16, nullptr, LIMIT_MS);
    uint32_t l_ul_ClientWrite = ToolShare_GetKernelCallCount() - l_ul_Before;
    uint8_t* l_puc_Data = nullptr;
    uint32_t l_ul_Length = 0;
    l_ul_Before = ToolShare_GetKernelCallCount();
    ReadRequest(&l_x_Private, &l_puc_Data, &l_ul_Length);
    uint32_t l_ul_ClientRead = ToolShare_GetKernelCallCount() - l_ul_Before;
    free(l_puc_Data);
    std::vector<uint8_t> l_x_Ask(1, 'K');
    ExchangeCopy(&l_x_Private, l_x_Ask, &l_x_Response);
    uint32_t l_aul_Server[2] = {0, 0};
    if (l_x_Response.size() == 8) {
        memcpy(l_aul_Server, l_x_Response.data(), 8);
    }
    printf("kernel calls per single-chunk message: client write %u, service read %u, "
           "service write %u, client read %u; %u per round trip (client side %u)\n",
           l_ul_ClientWrite, l_aul_Server[0], l_aul_Server[1], l_ul_ClientRead,
           l_ul_ClientWrite + l_aul_Server[0] + l_aul_Server[1] + l_ul_ClientRead, l_ul_Total);
    tulvo_bench::PrintBenchLine(
        "transport.calls",
        {{"client_write", l_ul_ClientWrite},
         {"service_read", l_aul_Server[0]},
         {"service_write", l_aul_Server[1]},
         {"client_read", l_ul_ClientRead},
         {"round_trip", l_ul_ClientWrite + l_aul_Server[0] + l_aul_Server[1] + l_ul_ClientRead},
         {"client_side", l_ul_Total}});
    printf("  write: Running test, one zero-time-out wait for stale signals/peer/cancel, signal\n"
           "  read:  Running test + message wait (WaitData), wait-all data+Running (length),\n"
           "         wait-all data+Running and the consuming reset (body);\n"
           "         one call less per message where the record has no Running event\n");

    ToolShare_Close(&l_x_Private);
    ToolShare_Close(&l_x_Public);
    WaitForSingleObject(l_x_Server.hProcess, 5000);
    TerminateProcess(l_x_Server.hProcess, 0);
    CloseHandle(l_x_Server.hProcess);
    CloseHandle(l_x_Server.hThread);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && strcmp(argv[1], "--server") == 0) {
        return RunServer(argv[2]);
    }
    int l_i_Scale = argc >= 2 ? std::max(1, atoi(argv[1])) : 1;
    return RunClient(l_i_Scale);
}
