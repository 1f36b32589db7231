// The system scenarios' stage: the real Serv_Tulvo.exe, simulated sensors announced through
// the device-tree tool (run_server_sim.py starts the simulator with --devtree), and client
// processes (tulvo_scenario_client.exe) driven line by line, whose every received frame is
// checked against what the simulator sent.
#ifndef TULVO_TESTS_SYSTEM_SYSTEMTESTSUPPORT_H
#define TULVO_TESTS_SYSTEM_SYSTEMTESTSUPPORT_H

#include "tests/common/ChildProcess.h"
#include "tests/common/ServiceProcess.h"
#include "tests/common/TempDir.h"
#include "tests/ipc/server/ServerTestSupport.h"

#include <stdint.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace systest {

// The result line of one client command: "=<n> <verb> <status> key=value ...".
struct SResult {
    bool m_b_Done = false;
    int32_t m_i_Status = INT32_MIN;
    std::map<std::string, std::string> m_x_Fields;
    std::string m_x_Line;

    long long Number(const std::string& i_x_Name) const;
    std::string Text(const std::string& i_x_Name) const;
};

// gtest's printout of a result: its line, or that none came.
std::ostream& operator<<(std::ostream& io_x_Out, const SResult& i_x_Result);

// One tulvo_scenario_client.exe, its commands written to its standard input.
class CScenarioClient {
public:
    explicit CScenarioClient(const std::string& i_x_Name);
    bool Start();
    // Sends one command; its number, for Wait.
    int Send(const std::string& i_x_Command);
    // The result of that command once it came (m_b_Done false after the limit).
    SResult Wait(int i_i_Number, uint32_t i_ul_Timeout = srvtest::LONG_WAIT_MS);
    SResult Do(const std::string& i_x_Command, uint32_t i_ul_Timeout = srvtest::LONG_WAIT_MS) {
        return Wait(Send(i_x_Command), i_ul_Timeout);
    }
    // Ends the loop that runs (run, watchrun) and gives that command's result.
    SResult Stop(int i_i_Number, uint32_t i_ul_Timeout = srvtest::LONG_WAIT_MS);
    void Kill() { m_x_Process.Kill(); }
    bool Quit(uint32_t i_ul_Timeout = srvtest::LONG_WAIT_MS);
    std::string Output() { return m_x_Process.Output(); }
    const std::string& Name() const { return m_x_Name; }

private:
    std::string m_x_Name;
    tulvo_test::CChildProcess m_x_Process;
    int m_i_Sent = 0;
};

// A running client loop and what it must show when stopped.
class SystemScenario : public srvtest::ServerTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Serv_Tulvo.exe -debug in the test's directory, its trace log on; waits for "..Started".
    void StartService();
    // Sets the stop event; the milliseconds until the process ended (a failure past the limit).
    uint32_t StopService(uint32_t i_ul_Limit);
    // Simulated sensors on new COM numbers, plugged (announced when the service runs).
    std::vector<std::string> AddSensors(int i_i_Count);
    // The serial numbers the service lists (empty when the list cannot be had).
    std::set<std::string> Listed();
    bool WaitListed(const std::set<std::string>& i_x_Serials);
    // A client process, started; it lives until the test ends.
    CScenarioClient& NewClient(const std::string& i_x_Name);
    // tulvo_devtree.exe with those arguments; its exit code.
    int DevTree(const std::string& i_x_Arguments);
    // How many times the text is in the service's trace log so far.
    int TraceCount(const std::string& i_x_Text);
    bool WaitTrace(const std::string& i_x_Text, int i_i_Count);
    // How many more private channels the service gives right now, as it counts them.
    int FreeChannels();
    std::string SimName(const std::string& i_x_Serial) const { return SensorName(i_x_Serial); }

    tulvo_test::CTempDir m_x_Dir;
    tulvo_test::CServiceProcess m_x_Service;
    std::vector<std::unique_ptr<CScenarioClient>> m_apx_Clients;
};

// The serial numbers the service lists (empty when the list cannot be had).
std::set<std::string> ListedSerials();

// Statuses a call may end with when its sensor goes away under it or is not there: a status,
// never a frame that is not the answer.
bool IsDeviceGoneStatus(int32_t i_i_Status);

} // namespace systest

#endif
