// A client of the channel servers that the tests start as a child process and kill at one
// step of its exchange. It prints "ready" once it stands where the test wants to kill it,
// then waits to be killed.
//   server_test_client idle                  nothing: a process that others name in requests
//   server_test_client partial               a private channel, the first chunk of a request
//                                            longer than the section written, nothing more
//   server_test_client lockpipe SERIAL PIPE  a private channel linked and its pipe locked
//   server_test_client recv SERIAL PIPE      a private channel linked, RECVBUFFER with no
//                                            time-out written
// Exit codes: 2 bad arguments, 3 a step failed (its status on the output).
#include "ipc/protocol/TulvoStatus.h"
#include "tests/ipc/server/ServerTestSupport.h"
#include "tests/ipc/toolshare/ToolShareTestSupport.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

using srvtest::Bytes;
using srvtest::CRawChannel;

namespace {

int Fail(const char* i_pc_Step, int32_t i_i_Status) {
    printf("server_test_client: %s failed: %d\n", i_pc_Step, static_cast<int>(i_i_Status));
    fflush(stdout);
    return 3;
}

int Ready() {
    printf("ready\n");
    fflush(stdout);
    Sleep(INFINITE);
    return 0;
}

int32_t Linked(CRawChannel* o_px_Private, const char* i_pc_Serial, const char* i_pc_Pipe) {
    int32_t l_i_Status = srvtest::OpenPrivateChannel(o_px_Private);
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    Bytes l_x_Response;
    l_i_Status = o_px_Private->Exchange(
        srvtest::LinkRequest(static_cast<uint8_t>(atoi(i_pc_Pipe)), i_pc_Serial), &l_x_Response);
    return l_i_Status != TULVO_OK ? l_i_Status : srvtest::StatusOf(l_x_Response);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return 2;
    }
    ToolShare_Init();
    const char* const l_pc_Mode = argv[1];
    if (strcmp(l_pc_Mode, "idle") == 0) {
        return Ready();
    }
    if (strcmp(l_pc_Mode, "partial") == 0) {
        CRawChannel l_x_Private;
        const int32_t l_i_Status = srvtest::OpenPrivateChannel(&l_x_Private);
        if (l_i_Status != TULVO_OK) {
            return Fail("connect", l_i_Status);
        }
        tstest::WriteFirstChunkOnly(l_x_Private.Get(), l_x_Private.Get()->m_ul_SectionSize * 2);
        return Ready();
    }
    if (argc < 4) {
        return 2;
    }
    CRawChannel l_x_Private;
    int32_t l_i_Status = Linked(&l_x_Private, argv[2], argv[3]);
    if (l_i_Status != TULVO_OK) {
        return Fail("link", l_i_Status);
    }
    if (strcmp(l_pc_Mode, "lockpipe") == 0) {
        Bytes l_x_Response;
        l_i_Status =
            l_x_Private.Exchange(srvtest::LockRequest(srvtest::LONG_WAIT_MS), &l_x_Response);
        if (l_i_Status == TULVO_OK) {
            l_i_Status = srvtest::StatusOf(l_x_Response);
        }
        return l_i_Status != TULVO_OK ? Fail("lockpipe", l_i_Status) : Ready();
    }
    if (strcmp(l_pc_Mode, "recv") == 0) {
        l_i_Status = l_x_Private.Write(srvtest::RecvRequest(INFINITE));
        return l_i_Status != TULVO_OK ? Fail("recv", l_i_Status) : Ready();
    }
    return 2;
}
