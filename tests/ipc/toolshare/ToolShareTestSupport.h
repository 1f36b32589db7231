// Helpers shared by the transport tests and their peer program.
#ifndef TULVO_TESTS_IPC_TOOLSHARE_TOOLSHARETESTSUPPORT_H
#define TULVO_TESTS_IPC_TOOLSHARE_TOOLSHARETESTSUPPORT_H

#include "ipc/toolshare/ToolShare.h"
#include "tests/common/TestBytes.h"

#include <stdint.h>

#include <string>
#include <vector>

namespace tstest {

using tulvo_test::Pattern;
using tulvo_test::TextBytes;

// Generous limit for every wait of the tests: they wait for conditions, never for time.
const uint32_t WAIT_LIMIT_MS = 20000;

// A base name no other test process uses: "Ts<pid>_<tag>_<n>".
std::string UniqueBaseName(const char* i_pc_Tag);

// True for an all-zero record, as a closed or untouched one is.
bool IsClosed(const ToolShare_Channel& i_x_Channel);

// Reads one whole message (wait, length, body); the status of the first failing step.
int32_t ReadMessage(ToolShare_Channel* io_px_Channel, std::vector<uint8_t>* o_px_Message,
                    HANDLE i_h_Cancel, uint32_t i_ul_Timeout);
int32_t WriteMessage(ToolShare_Channel* io_px_Channel, const std::vector<uint8_t>& i_x_Message,
                     HANDLE i_h_Cancel, uint32_t i_ul_Timeout);

// How many handles the process holds: every handle value it answers to, probed by duplication.
size_t CountHandlesIn(HANDLE i_h_Process);
// How many views of exactly this size this process has mapped.
size_t CountViewsOfSize(size_t i_st_Size);
// Waits until the transport has made i_ul_Calls kernel calls since i_ul_Before (false after
// the limit). With the call counts of ToolShareTransfer.cpp this tells when a thread has
// reached the wait it is about to block in.
bool WaitForKernelCalls(uint32_t i_ul_Before, uint32_t i_ul_Calls);

// Requests the echo loop understands besides plain echo.
//  "stall"  stop reading: the peer's next write waits for an acknowledgement forever;
//  "half"   write the first chunk of a three-chunk message by hand, then stall;
//  "stop"   (service only) stop listening: reset Running, then keep echoing;
//  "exit"   end the process with code 0.
// Returns when a transfer fails (the status), never for the requests above.
int32_t EchoLoop(ToolShare_Channel* io_px_Channel, ToolShare_Channel* io_px_PublicToStop,
                 HANDLE i_h_Cancel);

// Writes by hand the first chunk of a message of i_ul_Length bytes (longer than one chunk)
// and signals it, as a writer that then stops would.
void WriteFirstChunkOnly(ToolShare_Channel* io_px_Channel, uint32_t i_ul_Length);

// Serves the public channel the way the service does: private-connection requests get a
// private channel (each then served by EchoLoop on its own thread), anything else is echoed.
// Returns when a transfer on the public channel fails (e.g. its cancel event is set).
int32_t ServePublic(const ToolShare_Param* i_px_Param, ToolShare_Channel* io_px_Public,
                    HANDLE i_h_Cancel);

// Client start-up: connect, test, lock, acquire one private channel, unlock.
int32_t ConnectPrivate(const ToolShare_Param* i_px_Param, ToolShare_Channel* o_px_Public,
                       ToolShare_Channel* o_px_Private);

// Connects to the public channel, retrying until the service listens (or the limit).
int32_t WaitForPublicChannel(const ToolShare_Param* i_px_Param, ToolShare_Channel* o_px_Public);

// A child process of the test: the peer program with arguments.
class CPeerProcess {
public:
    CPeerProcess() = default;
    ~CPeerProcess();
    CPeerProcess(const CPeerProcess&) = delete;
    CPeerProcess& operator=(const CPeerProcess&) = delete;

    bool Start(const std::string& i_x_Arguments);
    void Kill();
    // Exit code, or STILL_ACTIVE when the process did not end within the limit.
    DWORD WaitForExit(uint32_t i_ul_Timeout);
    DWORD ProcessId() const { return m_x_Info.dwProcessId; }
    HANDLE Process() const { return m_x_Info.hProcess; }

private:
    PROCESS_INFORMATION m_x_Info{};
};

} // namespace tstest

#endif
