// The other end for the transport tests, started by them as a child process.
//   toolshare_peer serve <base> <section size>   listen and serve like the service
//   toolshare_peer client <base>                 take a private channel and echo on it
//   toolshare_peer lock <base>                   take the public Lock, then end holding it
//   toolshare_peer hold <mutex name>             take a named mutex, then end holding it
//   toolshare_peer idle <event name>             signal the named event, then do nothing
// Exit codes: 0 as asked, 2 bad arguments, 3 a step failed (the status goes to stderr).
#include "ipc/protocol/TulvoStatus.h"
#include "ipc/toolshare/ToolShare.h"
#include "tests/ipc/toolshare/ToolShareTestSupport.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

int Fail(const char* i_pc_Step, int32_t i_i_Status) {
    fprintf(stderr, "toolshare_peer: %s failed: %d\n", i_pc_Step, static_cast<int>(i_i_Status));
    return 3;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        return 2;
    }
    ToolShare_Init();
    ToolShare_Param l_x_Param = {argv[2], TOOLSHARE_DEFAULT_SECTION_SIZE};
    if (strcmp(argv[1], "serve") == 0) {
        if (argc > 3) {
            l_x_Param.m_ul_SectionSize = static_cast<uint32_t>(strtoul(argv[3], nullptr, 0));
        }
        ToolShare_Channel l_x_Public = {};
        int32_t l_i_Status = ToolShareSrv_PublicListen(&l_x_Param, &l_x_Public);
        if (l_i_Status != TULVO_OK) {
            return Fail("ToolShareSrv_PublicListen", l_i_Status);
        }
        ToolShare_InitializeWaitEvent(&l_x_Public.m_h_Peer);
        l_i_Status = tstest::ServePublic(&l_x_Param, &l_x_Public, l_x_Public.m_h_Peer);
        return Fail("ServePublic", l_i_Status);
    }
    if (strcmp(argv[1], "client") == 0) {
        ToolShare_Channel l_x_Public = {};
        ToolShare_Channel l_x_Private = {};
        int32_t l_i_Status = tstest::ConnectPrivate(&l_x_Param, &l_x_Public, &l_x_Private);
        if (l_i_Status != TULVO_OK) {
            return Fail("ConnectPrivate", l_i_Status);
        }
        l_i_Status = tstest::EchoLoop(&l_x_Private, nullptr, nullptr);
        return Fail("EchoLoop", l_i_Status);
    }
    if (strcmp(argv[1], "lock") == 0) {
        ToolShare_Channel l_x_Public = {};
        int32_t l_i_Status = tstest::WaitForPublicChannel(&l_x_Param, &l_x_Public);
        if (l_i_Status == TULVO_OK) {
            l_i_Status = ToolShareClt_Lock(&l_x_Public, tstest::WAIT_LIMIT_MS);
        }
        if (l_i_Status != TULVO_OK) {
            return Fail("ToolShareClt_Lock", l_i_Status);
        }
        ExitProcess(0);
    }
    if (strcmp(argv[1], "hold") == 0) {
        HANDLE l_h_Mutex = OpenMutexA(SYNCHRONIZE, FALSE, argv[2]);
        if (l_h_Mutex == nullptr ||
            WaitForSingleObject(l_h_Mutex, tstest::WAIT_LIMIT_MS) != WAIT_OBJECT_0) {
            return Fail("hold", TULVO_SYSTEM_ERROR);
        }
        ExitProcess(0);
    }
    if (strcmp(argv[1], "idle") == 0) {
        HANDLE l_h_Ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[2]);
        if (l_h_Ready == nullptr || !SetEvent(l_h_Ready)) {
            return Fail("idle", TULVO_SYSTEM_ERROR);
        }
        Sleep(INFINITE);
    }
    return 2;
}
