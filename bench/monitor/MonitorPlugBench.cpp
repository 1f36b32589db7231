// Time from a sensor's plug to its device being listed by TulvoServ_EnumDevices, with the
// monitor in this process and a simulated sensor behind the port (bench/monitor/run.sh). A
// plug is what the system shows the monitor: the device appears in the tree with its port,
// then the port's arrival notification reaches the window. A client thread asks for the list
// every millisecond and notes when the device first shows.
//
// Baselines from the same run: a notification for a port of no supported device (the registry
// dump and the enumeration that every notification costs), and the two exchanges with which a
// device object opens (serial number and run level) read again through a pipe.
#include "bench/common/BenchStats.h"
#include "device/manager/GestVekPipe.h"
#include "device/monitor/HideDlg.h"
#include "ipc/protocol/TulvoStatus.h"
#include "tests/device/link/SimLinkSupport.h"
#include "tools/devtree/DevTree.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

const char g_ac_Serial[] = "TLVBENCH0001";
const char g_ac_InstanceId[] = "USB\\VID_2F3A&PID_0101\\TLVBENCH0001";

double NowMs() {
    return tulvo_bench::NowUs() / 1000.0;
}

bool IsListed() {
    TulvoEnum_DeviceProperties* l_px_List = nullptr;
    int32_t l_i_Count = 0;
    bool l_b_Listed = false;
    if (TulvoServ_EnumDevices(&l_px_List, &l_i_Count) == TULVO_OK) {
        for (int32_t l_i = 0; l_i < l_i_Count; ++l_i) {
            const char* l_pc_Serial =
                reinterpret_cast<const char*>(l_px_List[l_i].m_puc_SerialNumber);
            l_b_Listed =
                l_b_Listed || (l_pc_Serial != nullptr && strcmp(l_pc_Serial, g_ac_Serial) == 0);
        }
    }
    TulvoServ_FreeDeviceList(&l_px_List, l_i_Count);
    return l_b_Listed;
}

void Report(const char* i_pc_What, const char* i_pc_Key, const std::vector<double>& i_ad_Ms) {
    const tulvo_bench::SSummary l_x_Ms = tulvo_bench::Summarise(i_ad_Ms);
    printf("%-44s median %7.1f ms  min %7.1f  max %7.1f  (%zu rounds)\n", i_pc_What,
           l_x_Ms.m_d_Median, l_x_Ms.m_d_Min, l_x_Ms.m_d_Max, l_x_Ms.m_st_Count);
    tulvo_bench::PrintBenchLine(i_pc_Key, {{"median_ms", l_x_Ms.m_d_Median},
                                           {"min_ms", l_x_Ms.m_d_Min},
                                           {"max_ms", l_x_Ms.m_d_Max},
                                           {"n", static_cast<double>(l_x_Ms.m_st_Count)}});
}

} // namespace

int main(int argc, char** argv) {
    int l_i_Rounds = 20;
    for (int l_i = 1; l_i + 1 < argc; ++l_i) {
        if (strcmp(argv[l_i], "--rounds") == 0) {
            l_i_Rounds = atoi(argv[l_i + 1]);
        }
    }
    tulvo_test::CSimControl l_x_Sim;
    if (l_i_Rounds < 1 || !l_x_Sim.Connect()) {
        fprintf(stderr, "bench_monitor_plug: needs the simulator (run bench/monitor/run.sh)\n");
        return 1;
    }
    const std::string l_x_Com = std::to_string(tulvo_test::NextComNumber());
    const std::string l_x_Port = "COM" + l_x_Com;
    int l_i_Stale = 0;
    DevTree_RemoveMatching("TLVBENCH", &l_i_Stale, nullptr);
    if (l_x_Sim.Command("add b com" + l_x_Com + " " + g_ac_Serial) != "ok" ||
        !l_x_Sim.Ok("unplug b")) {
        fprintf(stderr, "bench_monitor_plug: the simulator refused the sensor\n");
        return 1;
    }
    TulvoServ_OpenHideDlg(1);
    const HWND l_h_Window = DevTree_FindWindow("TulvoServDeviceMonitor", 30000);
    IsListed();

    std::atomic<bool> l_b_Stop{false};
    std::atomic<double> l_d_ListedAt{0};
    std::thread l_x_Client([&] {
        while (!l_b_Stop) {
            const bool l_b_Listed = IsListed();
            const double l_d_Now = NowMs();
            if (l_b_Listed && l_d_ListedAt.load() == 0) {
                l_d_ListedAt = l_d_Now;
            } else if (!l_b_Listed) {
                l_d_ListedAt = 0;
            }
            Sleep(1);
        }
    });

    DevTree_Device l_x_Device;
    l_x_Device.m_x_InstanceId = g_ac_InstanceId;
    l_x_Device.m_x_PortName = l_x_Port;
    std::vector<double> l_ax_Listed, l_ax_Handled, l_ax_Appear, l_ax_Unsupported, l_ax_Opening;
    for (int l_i_Round = 0; l_i_Round < l_i_Rounds; ++l_i_Round) {
        while (l_d_ListedAt.load() != 0) {
            Sleep(1);
        }
        const double l_d_Start = NowMs();
        DevTree_Add(l_x_Device, true, nullptr);
        l_x_Sim.Ok("plug b");
        const double l_d_Appeared = NowMs();
        DevTree_SendPortEvent(l_h_Window, true, l_x_Port, 60000);
        const double l_d_Handled = NowMs();
        // A device that is never listed fails the run rather than holding it for ever.
        if (!tulvo_test::WaitFor([&] { return l_d_ListedAt.load() != 0; }, 30000)) {
            fprintf(stderr, "bench_monitor_plug: round %d: %s not listed within 30 s (window %p)\n",
                    l_i_Round, g_ac_Serial, static_cast<void*>(l_h_Window));
            l_b_Stop = true;
            l_x_Client.join();
            TulvoServ_CloseHideDlg();
            l_x_Sim.Command("remove b");
            return 1;
        }
        l_ax_Appear.push_back(l_d_Appeared - l_d_Start);
        l_ax_Handled.push_back(l_d_Handled - l_d_Start);
        l_ax_Listed.push_back(l_d_ListedAt.load() - l_d_Start);

        TulvoServ_VekEntry* l_px_Entry = nullptr;
        CGestVekHold l_x_Hold;
        CGestVek_Pipe* l_px_Pipe = nullptr;
        if (TulvoServ_GetGestVek(g_ac_Serial, &l_px_Entry) == TULVO_OK &&
            TulvoServ_GetPipe(l_px_Entry, 0, &l_x_Hold, &l_px_Pipe) == TULVO_OK) {
            char l_ac_Serial[GESTVEK_SERIAL_NUMBER_SIZE];
            uint8_t l_uc_Level = 0;
            const double l_d_Before = NowMs();
            l_px_Pipe->GetSerialNumber(l_ac_Serial);
            l_px_Pipe->GetRunLevel(&l_uc_Level);
            l_ax_Opening.push_back(NowMs() - l_d_Before);
        }
        l_x_Hold.Reset();

        l_x_Sim.Ok("unplug b");
        DevTree_SendPortEvent(l_h_Window, false, l_x_Port, 60000);
        DevTree_Remove(g_ac_InstanceId, nullptr);

        const double l_d_Before = NowMs();
        DevTree_SendPortEvent(l_h_Window, true, "COM999", 60000);
        l_ax_Unsupported.push_back(NowMs() - l_d_Before);
    }
    l_b_Stop = true;
    l_x_Client.join();
    TulvoServ_CloseHideDlg();
    l_x_Sim.Command("remove b");

    printf("Device monitor, plug to listed (%s, client polls every 1 ms)\n", l_x_Port.c_str());
    Report("plug -> listed by TulvoServ_EnumDevices", "monitor.listed", l_ax_Listed);
    Report("  of which: device and port appear", "monitor.appear", l_ax_Appear);
    Report("  plug -> arrival handled (SendMessage back)", "monitor.handled", l_ax_Handled);
    Report("baseline: arrival of an unsupported port", "monitor.unsupported", l_ax_Unsupported);
    if (!l_ax_Opening.empty()) {
        Report("baseline: serial number + run level", "monitor.opening", l_ax_Opening);
    }
    return 0;
}
