// The whole service under load and at rest, under wine with simulated sensors
// (bench/system/run.sh; the simulator announces its sensors through the device-tree tool).
//  1. Throughput: the real Serv_Tulvo.exe -debug and 1, 4 and 10 client processes
//     (tulvo_scenario_client.exe, whose every answer is checked against its request) running
//     echo exchanges for N seconds each, all on one sensor, then spread over four: exchanges
//     per second, the median of the clients' medians and the worst client's p99. Every client
//     connects before any of them starts, so that the rounds start together.
//  2. The service's CPU time while four sensors are attached and no client talks to it, read
//     from the service's own Unix process (/proc/PID/stat; wine's GetProcessTimes gives zeros
//     for another process), next to the wineserver's own CPU time in the same window: under
//     wine every kernel call of the service is work of the wineserver.
//
//   bench_system [--seconds N] [--idle SECONDS] [--size BYTES] [--wineserver-pid PID]
//                [--clk-tck TICKS]
#include "bench/system/SystemFigures.h"
#include "ipc/client/TulvoCli.h"
#include "ipc/protocol/TulvoStatus.h"
#include "tests/system/SystemTestSupport.h"
#include "tools/devtree/DevTree.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

const char g_ac_Tag[] = "TLVSYB";
const uint32_t g_ul_StartLimit = 60000;

struct SOptions {
    int m_i_Seconds = 20;
    int m_i_IdleSeconds = 60;
    // A 100-byte echo frame: value plus the record's 5 bytes of header.
    unsigned m_u_Size = 95;
    unsigned long m_ul_WineserverPid = 0;
    int m_i_ClockTicks = 100;
};

bool AddSensor(tulvo_test::CSimControl* io_px_Sim, std::vector<std::string>* io_px_Serials) {
    const std::string l_x_Com = std::to_string(tulvo_test::NextComNumber());
    io_px_Serials->push_back(g_ac_Tag + l_x_Com);
    return io_px_Sim->Ok("add y" + l_x_Com + " com" + l_x_Com + " " + io_px_Serials->back());
}

bool WaitListed(const std::vector<std::string>& i_ax_Serials) {
    const std::set<std::string> l_x_Wanted(i_ax_Serials.begin(), i_ax_Serials.end());
    return tulvo_test::WaitFor([&] { return systest::ListedSerials() == l_x_Wanted; },
                               g_ul_StartLimit);
}

tulvo_bench::SClientRun ParseRun(const systest::SResult& i_x_Result) {
    tulvo_bench::SClientRun l_x_Run;
    l_x_Run.m_b_Done = i_x_Result.m_b_Done && i_x_Result.Number("ok") >= 0;
    l_x_Run.m_ll_Ok = i_x_Result.Number("ok");
    l_x_Run.m_ll_Failed = i_x_Result.Number("failed");
    l_x_Run.m_ll_Corrupt = i_x_Result.Number("corrupt");
    l_x_Run.m_d_MedianUs = static_cast<double>(i_x_Result.Number("median_us"));
    l_x_Run.m_d_P99Us = static_cast<double>(i_x_Result.Number("p99_us"));
    return l_x_Run;
}

// One round: that many client processes, client i on sensor i modulo the sensors given.
bool RunRound(const std::vector<std::string>& i_ax_Serials, int i_i_Clients,
              const SOptions& i_x_Options) {
    std::vector<std::unique_ptr<systest::CScenarioClient>> l_apx_Clients;
    bool l_b_Ready = true;
    for (int l_i = 0; l_i < i_i_Clients && l_b_Ready; ++l_i) {
        l_apx_Clients.emplace_back(new systest::CScenarioClient("c" + std::to_string(l_i)));
        const systest::SResult l_x_Connect =
            l_apx_Clients.back()->Start()
                ? l_apx_Clients.back()->Do("connect " + i_ax_Serials[l_i % i_ax_Serials.size()])
                : systest::SResult();
        if (!l_x_Connect.m_b_Done || l_x_Connect.m_i_Status != TULVO_OK) {
            printf("client %d did not connect: %s\n", l_i, l_apx_Clients.back()->Output().c_str());
            l_b_Ready = false;
        }
    }
    std::vector<tulvo_bench::SClientRun> l_ax_Runs;
    if (l_b_Ready) {
        std::vector<int> l_ai_Numbers;
        const std::string l_x_Run = "run " + std::to_string(i_x_Options.m_u_Size) +
                                    " seconds=" + std::to_string(i_x_Options.m_i_Seconds);
        for (auto& l_px_Client : l_apx_Clients) {
            l_ai_Numbers.push_back(l_px_Client->Send(l_x_Run));
        }
        for (size_t l_st = 0; l_st < l_apx_Clients.size(); ++l_st) {
            const systest::SResult l_x_Result = l_apx_Clients[l_st]->Wait(
                l_ai_Numbers[l_st], static_cast<uint32_t>(i_x_Options.m_i_Seconds) * 1000 + 60000);
            l_ax_Runs.push_back(ParseRun(l_x_Result));
            if (!l_ax_Runs.back().m_b_Done) {
                printf("client %zu gave no result: %s\n", l_st,
                       l_apx_Clients[l_st]->Output().c_str());
            }
        }
    }
    for (auto& l_px_Client : l_apx_Clients) {
        if (!l_px_Client->Quit()) {
            l_px_Client->Kill();
        }
    }
    if (!l_b_Ready) {
        return false;
    }
    const tulvo_bench::SRoundFigures l_x_Round =
        tulvo_bench::CombineRuns(l_ax_Runs, i_x_Options.m_i_Seconds);
    printf("%2d client(s) on %zu sensor(s): %8.1f exchanges/s, median %7.0f us, p99 %7.0f us "
           "(%lld ok, %lld failed, %lld corrupt, %d without result, %d without an exchange)\n",
           i_i_Clients, i_ax_Serials.size(), l_x_Round.m_d_PerSecond, l_x_Round.m_d_MedianUs,
           l_x_Round.m_d_P99Us, l_x_Round.m_ll_Ok, l_x_Round.m_ll_Failed, l_x_Round.m_ll_Corrupt,
           l_x_Round.m_i_Missing, l_x_Round.m_i_Starved);
    const std::string l_x_Key =
        "system.s" + std::to_string(i_ax_Serials.size()) + "c" + std::to_string(i_i_Clients);
    tulvo_bench::PrintBenchLine(l_x_Key.c_str(),
                                {{"per_s", l_x_Round.m_d_PerSecond},
                                 {"median_us", l_x_Round.m_d_MedianUs},
                                 {"p99_us", l_x_Round.m_d_P99Us},
                                 {"ok", static_cast<double>(l_x_Round.m_ll_Ok)},
                                 {"failed", static_cast<double>(l_x_Round.m_ll_Failed)},
                                 {"corrupt", static_cast<double>(l_x_Round.m_ll_Corrupt)},
                                 {"missing", l_x_Round.m_i_Missing},
                                 {"starved", l_x_Round.m_i_Starved}});
    return l_x_Round.Ok();
}

double ProcessCpuSeconds(HANDLE i_h_Process) {
    FILETIME l_x_Created, l_x_Exited, l_x_Kernel, l_x_User;
    if (!GetProcessTimes(i_h_Process, &l_x_Created, &l_x_Exited, &l_x_Kernel, &l_x_User)) {
        return -1;
    }
    const auto l_f_Ticks = [](const FILETIME& i_x_Time) {
        return static_cast<double>((static_cast<uint64_t>(i_x_Time.dwHighDateTime) << 32) |
                                   i_x_Time.dwLowDateTime);
    };
    return (l_f_Ticks(l_x_Kernel) + l_f_Ticks(l_x_User)) / 1e7;
}

// A file of /proc/<i_x_Pid>/ of a Unix process (drive Z: is the root of the Unix file system),
// "" when it cannot be read.
std::string ReadProcFile(const std::string& i_x_Pid, const char* i_pc_File) {
    FILE* l_px_File = fopen(("Z:\\proc\\" + i_x_Pid + "\\" + i_pc_File).c_str(), "rb");
    if (l_px_File == nullptr) {
        return "";
    }
    std::string l_x_Text;
    char l_ac_Buffer[512];
    for (size_t l_st_Read;
         (l_st_Read = fread(l_ac_Buffer, 1, sizeof(l_ac_Buffer), l_px_File)) > 0;) {
        l_x_Text.append(l_ac_Buffer, l_st_Read);
    }
    fclose(l_px_File);
    return l_x_Text;
}

std::string ReadProcStat(const std::string& i_x_Pid) {
    return ReadProcFile(i_x_Pid, "stat");
}

// The WINEPREFIX=... entry of a Unix process's environment, "" without one.
std::string WinePrefixOf(const std::string& i_x_Pid) {
    const std::string l_x_Environment = ReadProcFile(i_x_Pid, "environ");
    for (size_t l_st_At = 0; l_st_At < l_x_Environment.size();) {
        const size_t l_st_End = l_x_Environment.find('\0', l_st_At);
        const std::string l_x_Entry = l_x_Environment.substr(l_st_At, l_st_End - l_st_At);
        if (l_x_Entry.compare(0, 11, "WINEPREFIX=") == 0) {
            return l_x_Entry;
        }
        l_st_At = l_st_End == std::string::npos ? l_x_Environment.size() : l_st_End + 1;
    }
    return "";
}

// CPU seconds of a Unix process from its /proc entry, or -1 when it cannot be read.
double UnixCpuSeconds(unsigned long i_ul_Pid, const SOptions& i_x_Options) {
    const long long l_ll_Ticks =
        i_ul_Pid == 0 ? -1 : tulvo_bench::ProcStatCpuTicks(ReadProcStat(std::to_string(i_ul_Pid)));
    return l_ll_Ticks < 0 ? -1 : static_cast<double>(l_ll_Ticks) / i_x_Options.m_i_ClockTicks;
}

// The Unix process of the service: the process of that name in this wine prefix (wine's Unix
// processes are not children of those that started them). 0 when none is found.
unsigned long ServiceUnixPid() {
    const std::string l_x_Prefix = WinePrefixOf("self");
    WIN32_FIND_DATAA l_x_Found;
    HANDLE l_h_Find =
        l_x_Prefix.empty() ? INVALID_HANDLE_VALUE : FindFirstFileA("Z:\\proc\\*", &l_x_Found);
    if (l_h_Find == INVALID_HANDLE_VALUE) {
        return 0;
    }
    unsigned long l_ul_Pid = 0;
    do {
        const std::string l_x_Name = l_x_Found.cFileName;
        if (l_x_Name.find_first_not_of("0123456789") == std::string::npos &&
            tulvo_bench::ProcStatName(ReadProcStat(l_x_Name)) == "Serv_Tulvo.exe" &&
            WinePrefixOf(l_x_Name) == l_x_Prefix) {
            l_ul_Pid = strtoul(l_x_Name.c_str(), nullptr, 10);
        }
    } while (l_ul_Pid == 0 && FindNextFileA(l_h_Find, &l_x_Found));
    FindClose(l_h_Find);
    return l_ul_Pid;
}

void PrintIdle(const char* i_pc_Key, const char* i_pc_What, double i_d_CpuSeconds,
               double i_d_WallSeconds) {
    const double l_d_Percent = 100.0 * i_d_CpuSeconds / i_d_WallSeconds;
    printf("%-44s %8.1f ms CPU in %.1f s: %.3f%% of one core\n", i_pc_What, i_d_CpuSeconds * 1000,
           i_d_WallSeconds, l_d_Percent);
    tulvo_bench::PrintBenchLine(i_pc_Key, {{"cpu_pct", l_d_Percent},
                                           {"cpu_ms", i_d_CpuSeconds * 1000},
                                           {"seconds", i_d_WallSeconds}});
}

bool MeasureIdle(HANDLE i_h_Service, const SOptions& i_x_Options) {
    // Let the last clients' channels close before the window opens.
    Sleep(2000);
    const double l_d_Wall0 = tulvo_bench::NowUs();
    // Wine's GetProcessTimes gives zeros for another process: the service's own Unix process
    // is read instead, and GetProcessTimes only shown beside it.
    const unsigned long l_ul_ServicePid = ServiceUnixPid();
    const double l_d_Service0 = UnixCpuSeconds(l_ul_ServicePid, i_x_Options);
    const double l_d_Reported0 = ProcessCpuSeconds(i_h_Service);
    const double l_d_Server0 = UnixCpuSeconds(i_x_Options.m_ul_WineserverPid, i_x_Options);
    Sleep(static_cast<DWORD>(i_x_Options.m_i_IdleSeconds) * 1000);
    const double l_d_Service1 = UnixCpuSeconds(l_ul_ServicePid, i_x_Options);
    const double l_d_Reported1 = ProcessCpuSeconds(i_h_Service);
    const double l_d_Server1 = UnixCpuSeconds(i_x_Options.m_ul_WineserverPid, i_x_Options);
    const double l_d_Wall = (tulvo_bench::NowUs() - l_d_Wall0) / 1e6;
    if (l_d_Service0 < 0 || l_d_Service1 < 0) {
        printf("the service's Unix process (%lu) could not be read\n", l_ul_ServicePid);
        return false;
    }
    PrintIdle("system.idle_service", "idle, 4 sensors: the service process",
              l_d_Service1 - l_d_Service0, l_d_Wall);
    printf("%-44s %8.1f ms\n", "  (GetProcessTimes of it says)",
           (l_d_Reported1 - l_d_Reported0) * 1000);
    if (l_d_Server0 < 0 || l_d_Server1 < 0) {
        printf("the wineserver's /proc/%lu/stat could not be read\n",
               i_x_Options.m_ul_WineserverPid);
        return false;
    }
    PrintIdle("system.idle_wineserver", "idle, 4 sensors: the wineserver (whole prefix)",
              l_d_Server1 - l_d_Server0, l_d_Wall);
    return true;
}

SOptions ParseOptions(int argc, char** argv) {
    SOptions l_x_Options;
    for (int l_i = 1; l_i + 1 < argc; l_i += 2) {
        const char* l_pc_Value = argv[l_i + 1];
        if (strcmp(argv[l_i], "--seconds") == 0) {
            l_x_Options.m_i_Seconds = std::max(1, atoi(l_pc_Value));
        } else if (strcmp(argv[l_i], "--idle") == 0) {
            l_x_Options.m_i_IdleSeconds = std::max(1, atoi(l_pc_Value));
        } else if (strcmp(argv[l_i], "--size") == 0) {
            l_x_Options.m_u_Size = static_cast<unsigned>(std::max(8, atoi(l_pc_Value)));
        } else if (strcmp(argv[l_i], "--wineserver-pid") == 0) {
            l_x_Options.m_ul_WineserverPid = strtoul(l_pc_Value, nullptr, 10);
        } else if (strcmp(argv[l_i], "--clk-tck") == 0) {
            l_x_Options.m_i_ClockTicks = std::max(1, atoi(l_pc_Value));
        }
    }
    return l_x_Options;
}

int Run(const SOptions& i_x_Options, tulvo_test::CSimControl* io_px_Sim,
        std::vector<std::string>* io_px_Serials) {
    if (!AddSensor(io_px_Sim, io_px_Serials)) {
        printf("the simulator refused a sensor\n");
        return 1;
    }
    tulvo_test::CTempDir l_x_Dir;
    l_x_Dir.Enter();
    tulvo_test::CServiceProcess l_x_Service;
    if (!l_x_Service.Start(l_x_Dir.Path()) ||
        !l_x_Service.WaitForOutput("..Started", g_ul_StartLimit) || !WaitListed(*io_px_Serials)) {
        printf("the service did not start with its sensor:\n%s\n", l_x_Service.Output().c_str());
        l_x_Dir.Leave();
        return 1;
    }
    printf("bench_system: %u-byte echo frames, %d s a round, idle window %d s\n",
           i_x_Options.m_u_Size + 5, i_x_Options.m_i_Seconds, i_x_Options.m_i_IdleSeconds);
    bool l_b_Ok = true;
    for (int l_i_Sensors : {1, 4}) {
        while (l_b_Ok && static_cast<int>(io_px_Serials->size()) < l_i_Sensors) {
            l_b_Ok = AddSensor(io_px_Sim, io_px_Serials);
        }
        if (!l_b_Ok || !WaitListed(*io_px_Serials)) {
            printf("the service does not list the %d sensors\n", l_i_Sensors);
            l_b_Ok = false;
            break;
        }
        for (int l_i_Clients : {1, 4, 10}) {
            l_b_Ok = RunRound(*io_px_Serials, l_i_Clients, i_x_Options) && l_b_Ok;
        }
    }
    l_b_Ok = l_b_Ok && MeasureIdle(l_x_Service.Process(), i_x_Options);
    if (!l_x_Service.Stop(g_ul_StartLimit)) {
        printf("the service did not stop\n");
        l_b_Ok = false;
    }
    l_x_Dir.Leave();
    return l_b_Ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    const SOptions l_x_Options = ParseOptions(argc, argv);
    tulvo_test::CSimControl l_x_Sim;
    if (!l_x_Sim.Connect()) {
        printf("no simulator (TULVO_SIM_PORT): run bench/system/run.sh\n");
        return 1;
    }
    int l_i_Removed = 0;
    DevTree_RemoveMatching(g_ac_Tag, &l_i_Removed, nullptr);
    std::vector<std::string> l_ax_Serials;
    const int l_i_Status = Run(l_x_Options, &l_x_Sim, &l_ax_Serials);
    for (const std::string& l_x_Serial : l_ax_Serials) {
        l_x_Sim.Command("remove y" + l_x_Serial.substr(sizeof(g_ac_Tag) - 1));
    }
    DevTree_RemoveMatching(g_ac_Tag, &l_i_Removed, nullptr);
    if (l_i_Status != 0) {
        printf("bench_system: failed\n");
    }
    return l_i_Status;
}
