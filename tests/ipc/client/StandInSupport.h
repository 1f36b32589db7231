// Test helper: the stand-in service (tulvo_standin.exe) as a child process, and its log of
// the requests it received.
#ifndef TULVO_TESTS_IPC_CLIENT_STANDINSUPPORT_H
#define TULVO_TESTS_IPC_CLIENT_STANDINSUPPORT_H

#include "tests/common/ChildProcess.h"

#include <stdint.h>

#include <string>
#include <vector>

namespace clitest {

// Generous limit for every wait of the tests: they wait for conditions, never for time.
const DWORD WAIT_LIMIT_MS = 20000;

// Uppercase hexadecimal, as the stand-in logs requests.
std::string Hex(const void* i_pv_Bytes, size_t i_ul_Length);
std::string Hex(const std::string& i_x_Text);

class CStandIn {
public:
    CStandIn() = default;
    ~CStandIn();
    CStandIn(const CStandIn&) = delete;
    CStandIn& operator=(const CStandIn&) = delete;

    // Starts it with the arguments (rules, devices, version) on a base name no other test
    // uses, or on i_x_Name; true once it listens.
    bool Start(const std::string& i_x_Arguments, const std::string& i_x_Name = "");
    const std::string& Name() const { return m_x_Name; }
    // Every log line so far, and the requests (hex) one channel received, in order.
    std::vector<std::string> Lines() const;
    std::vector<std::string> Requests(const std::string& i_x_Channel) const;
    // Waits until the log holds the line; false after the limit.
    bool WaitForLine(const std::string& i_x_Line) const;
    bool HasLine(const std::string& i_x_Line) const;
    void Kill() { m_x_Process.Kill(); }

private:
    tulvo_test::CChildProcess m_x_Process;
    std::string m_x_Name;
    std::string m_x_LogPath;
};

} // namespace clitest

#endif
