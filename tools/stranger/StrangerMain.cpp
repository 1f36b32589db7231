// tulvo_stranger: what a careless or hostile program on the same computer can do to the
// service with the rights every local process has, one act per run. The soak mixes these
// in; a service that is whole serves its other clients within a second or two of each.
#include "ipc/client/Client.h"
#include "ipc/client/TulvoCli.h"
#include "ipc/protocol/GestIpcFormat.h"
#include "ipc/protocol/TulvoStatus.h"
#include "ipc/toolshare/ToolShare.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

const char g_ac_Usage[] =
    "tulvo_stranger - plays a careless or hostile local program against the service\n"
    "\n"
    "Usage: tulvo_stranger ACT [ARGUMENTS]\n"
    "\n"
    "  running              reset the service's Running event and signal its Recv\n"
    "  channels PID [N]     N (default 100) private channel requests in the name of PID\n"
    "  trickle              announce a 16 MiB public request and stall; then a 2 MiB\n"
    "                       private one, one chunk every 9 s while the service takes them\n"
    "  hold SERIAL MS       lock the sensor's pipe 0 for MS milliseconds\n"
    "  lockwait SERIAL      wait for the sensor's pipe 0 lock without a time limit\n"
    "\n"
    "Prints what the service did; exit code 0, or 1 when an act could not be carried out.\n";

const uint32_t STRANGER_WAIT_MS = 10000;
const uint32_t STRANGER_TRICKLE_GAP_MS = 9000;

std::string ObjectName(const char* i_pc_Suffix) {
    return std::string(ToolShare_UseGlobalNames() ? "Global\\" : "") + CLIENT_PUBLIC_BASENAME +
           i_pc_Suffix;
}

int Fail(const char* i_pc_Step, int32_t i_i_Status) {
    printf("%s failed: %d (last error %lu)\n", i_pc_Step, static_cast<int>(i_i_Status),
           static_cast<unsigned long>(GetLastError()));
    return 1;
}

int ResetRunning() {
    HANDLE l_h_Running = OpenEventA(EVENT_MODIFY_STATE, FALSE, ObjectName(":Running").c_str());
    HANDLE l_h_Recv = OpenEventA(EVENT_MODIFY_STATE, FALSE, ObjectName(":Recv").c_str());
    if (l_h_Running == nullptr || l_h_Recv == nullptr || !ResetEvent(l_h_Running) ||
        !SetEvent(l_h_Recv)) {
        return Fail("running", TULVO_SYSTEM_ERROR);
    }
    CloseHandle(l_h_Running);
    CloseHandle(l_h_Recv);
    printf("running: reset, Recv signalled\n");
    return 0;
}

// The public channel, its Lock taken.
int32_t OpenPublic(ToolShare_Channel* o_px_Public) {
    const ToolShare_Param l_x_Param = {CLIENT_PUBLIC_BASENAME, 0};
    int32_t l_i_Status = ToolShareClt_PublicConnect(&l_x_Param, o_px_Public);
    return l_i_Status == TULVO_OK ? ToolShareClt_Lock(o_px_Public, STRANGER_WAIT_MS) : l_i_Status;
}

int RequestChannels(uint32_t i_ul_ProcessId, uint32_t i_ul_Count) {
    ToolShare_Channel l_x_Public = {};
    int32_t l_i_Status = OpenPublic(&l_x_Public);
    if (l_i_Status != TULVO_OK) {
        return Fail("connect", l_i_Status);
    }
    uint32_t l_ul_Accepted = 0;
    uint32_t l_ul_Refused = 0;
    for (uint32_t l_ul_Index = 0; l_ul_Index < i_ul_Count && l_i_Status == TULVO_OK; ++l_ul_Index) {
        uint8_t l_auc_Request[TOOLSHARE_PRIVATE_REQUEST_LENGTH];
        ToolShare_BuildPrivateConnectRequest(l_auc_Request, i_ul_ProcessId);
        uint8_t* l_puc_Reply = nullptr;
        uint32_t l_ul_Length = 0;
        l_i_Status = Client_WriteReadData(&l_x_Public, l_auc_Request, sizeof(l_auc_Request),
                                          &l_puc_Reply, &l_ul_Length, STRANGER_WAIT_MS);
        if (l_i_Status == TULVO_OK) {
            ++(l_ul_Length == TOOLSHARE_PRIVATE_REPLY_LENGTH ? l_ul_Accepted : l_ul_Refused);
        }
        free(l_puc_Reply);
    }
    ToolShareClt_Unlock(&l_x_Public);
    ToolShare_Close(&l_x_Public);
    printf("channels: %lu accepted, %lu refused in the name of process %lu\n",
           static_cast<unsigned long>(l_ul_Accepted), static_cast<unsigned long>(l_ul_Refused),
           static_cast<unsigned long>(i_ul_ProcessId));
    return l_i_Status == TULVO_OK ? 0 : Fail("channels", l_i_Status);
}

// Writes a length word and a first chunk of i_ul_Length bytes and signals it, as a writer of
// a long message does before it waits for the reader's acknowledgement.
void AnnounceLong(ToolShare_Channel* io_px_Channel, uint32_t i_ul_Length) {
    uint8_t* const l_puc_View = io_px_Channel->m_puc_View;
    const uint8_t l_auc_Length[4] = {uint8_t(i_ul_Length >> 24), uint8_t(i_ul_Length >> 16),
                                     uint8_t(i_ul_Length >> 8), uint8_t(i_ul_Length)};
    memcpy(l_puc_View + 4, l_auc_Length, 4);
    memset(l_puc_View + 8, 0x5A, io_px_Channel->m_ul_SectionSize - 8);
    SetEvent(io_px_Channel->m_h_Outgoing);
}

int Trickle() {
    ToolShare_Channel l_x_Public = {};
    int32_t l_i_Status = OpenPublic(&l_x_Public);
    if (l_i_Status != TULVO_OK) {
        return Fail("connect", l_i_Status);
    }
    AnnounceLong(&l_x_Public, 16u << 20);
    const bool l_b_Acknowledged = WaitForSingleObject(l_x_Public.m_h_Incoming, 2000) == 0;
    printf("trickle: public 16 MiB announcement %s\n",
           l_b_Acknowledged ? "acknowledged" : "not taken");
    ResetEvent(l_x_Public.m_h_Outgoing);
    ResetEvent(l_x_Public.m_h_Incoming);
    ToolShare_Channel l_x_Private = {};
    const ToolShare_Param l_x_Param = {CLIENT_PUBLIC_BASENAME, 0};
    l_i_Status = ToolShareClt_AcquirePrivateConnect(&l_x_Param, &l_x_Private, &l_x_Public, nullptr,
                                                    STRANGER_WAIT_MS);
    ToolShareClt_Unlock(&l_x_Public);
    ToolShare_Close(&l_x_Public);
    if (l_i_Status != TULVO_OK) {
        return Fail("private channel", l_i_Status);
    }
    const ULONGLONG l_ull_Start = GetTickCount64();
    ULONGLONG l_ull_LastTaken = l_ull_Start;
    AnnounceLong(&l_x_Private, 2u << 20);
    uint32_t l_ul_Taken = 0;
    while (WaitForSingleObject(l_x_Private.m_h_Incoming, STRANGER_TRICKLE_GAP_MS + 2000) == 0) {
        l_ull_LastTaken = GetTickCount64();
        ++l_ul_Taken;
        ResetEvent(l_x_Private.m_h_Incoming);
        Sleep(STRANGER_TRICKLE_GAP_MS);
        SetEvent(l_x_Private.m_h_Outgoing);
    }
    printf("trickle: private 2 MiB request, %lu chunks taken, the last %llu ms after the first\n",
           static_cast<unsigned long>(l_ul_Taken),
           static_cast<unsigned long long>(l_ull_LastTaken - l_ull_Start));
    ToolShare_Close(&l_x_Private);
    return 0;
}

int HoldLock(const char* i_pc_Serial, uint32_t i_ul_HoldMs) {
    TulvoCli_Connection* l_px_Conx = nullptr;
    int32_t l_i_Status = TulvoCli_Connect(&l_px_Conx, i_pc_Serial);
    if (l_i_Status == TULVO_OK) {
        l_i_Status = TulvoCli_Lock(l_px_Conx, i_ul_HoldMs == 0 ? INFINITE : STRANGER_WAIT_MS);
    }
    if (l_i_Status != TULVO_OK) {
        TulvoCli_Disconnect(&l_px_Conx);
        return Fail("lock", l_i_Status);
    }
    printf("lock: held\n");
    fflush(stdout);
    Sleep(i_ul_HoldMs == 0 ? INFINITE : i_ul_HoldMs);
    TulvoCli_Unlock(l_px_Conx);
    TulvoCli_Disconnect(&l_px_Conx);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string l_x_Act = argc > 1 ? argv[1] : "";
    ToolShare_Init();
    if (l_x_Act == "running" && argc == 2) {
        return ResetRunning();
    }
    if (l_x_Act == "channels" && (argc == 3 || argc == 4)) {
        return RequestChannels(static_cast<uint32_t>(strtoul(argv[2], nullptr, 0)),
                               argc == 4 ? static_cast<uint32_t>(strtoul(argv[3], nullptr, 0))
                                         : 100);
    }
    if (l_x_Act == "trickle" && argc == 2) {
        return Trickle();
    }
    if (l_x_Act == "hold" && argc == 4) {
        return HoldLock(argv[2], static_cast<uint32_t>(strtoul(argv[3], nullptr, 0)));
    }
    if (l_x_Act == "lockwait" && argc == 3) {
        printf("lockwait: waiting\n");
        fflush(stdout);
        return HoldLock(argv[2], 0);
    }
    fputs(g_ac_Usage, l_x_Act == "--help" ? stdout : stderr);
    return l_x_Act == "--help" ? 0 : 1;
}
