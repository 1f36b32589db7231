// Shared by the channel servers' tests, their child client and the server benchmark: requests
// written byte by byte from the protocol's layouts (never through the client library), a raw
// client end of the public and private channels, and the fixture that opens the device
// monitor and the public server in the test process, with simulated sensors behind the ports
// when the simulator runs (run_server_sim.py).
#ifndef TULVO_TESTS_IPC_SERVER_SERVERTESTSUPPORT_H
#define TULVO_TESTS_IPC_SERVER_SERVERTESTSUPPORT_H

#include "ipc/toolshare/ToolShare.h"
#include "tests/common/TempDir.h"
#include "tests/common/TraceCapture.h"
#include "tests/device/link/SimLinkSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

namespace srvtest {

// Generous limit for every wait of the tests: they wait for conditions, never for time.
const uint32_t LONG_WAIT_MS = 30000;
// Every fake device of these tests carries this text in its serial number.
#define SERVER_TEST_TAG "TLVSRV"

typedef std::vector<uint8_t> Bytes;

Bytes operator+(Bytes i_x_Left, const Bytes& i_x_Right);
Bytes Be32(uint32_t i_ul_Value);
// The text and its NUL.
Bytes Text(const std::string& i_x_Text);

// Requests of the protocol, as their layouts give them.
Bytes Head(uint8_t i_uc_Command);
Bytes EnumDevicesRequest();
Bytes ServerInfosRequest(uint32_t i_ul_InfoType, uint32_t i_ul_Value);
Bytes LinkRequest(uint8_t i_uc_Pipe, const std::string& i_x_Key);
Bytes LockRequest(uint32_t i_ul_Timeout);
Bytes UnlockRequest();
Bytes SendRequest(uint32_t i_ul_Timeout, const Bytes& i_x_Frame);
Bytes RecvRequest(uint32_t i_ul_Timeout);
Bytes RebootRequest(uint32_t i_ul_WriteTimeout, uint32_t i_ul_RebootWait, const Bytes& i_x_Frame);
Bytes DestroyRequest();
// The 7-byte status response to a request of that command code.
Bytes StatusResponse(uint8_t i_uc_Command, int32_t i_i_Status);
// Status and data of a response (INT32_MIN, empty data when too short).
int32_t StatusOf(const Bytes& i_x_Response);
Bytes DataOf(const Bytes& i_x_Response);
// The frame the simulated sensor echoes (identifier 0x0F00) with a value of that size.
Bytes EchoFrame(size_t i_st_ValueSize, uint32_t i_ul_Seed);
// The frame that makes the simulated sensor restart, back after that many milliseconds.
Bytes RestartFrame(uint32_t i_ul_BackAfterMs);

// One client end of a channel, used byte for byte.
class CRawChannel {
public:
    CRawChannel() = default;
    virtual ~CRawChannel();
    CRawChannel(const CRawChannel&) = delete;
    CRawChannel& operator=(const CRawChannel&) = delete;

    ToolShare_Channel* Get() { return &m_x_Channel; }
    int32_t Write(const Bytes& i_x_Message, uint32_t i_ul_Timeout = LONG_WAIT_MS);
    int32_t Read(Bytes* o_px_Message, uint32_t i_ul_Timeout = LONG_WAIT_MS);
    // Write then read; the first failing transfer's status.
    int32_t Exchange(const Bytes& i_x_Request, Bytes* o_px_Response,
                     uint32_t i_ul_Timeout = LONG_WAIT_MS);
    // Exchange that must succeed (a test failure otherwise); the response.
    Bytes Ask(const Bytes& i_x_Request, uint32_t i_ul_Timeout = LONG_WAIT_MS);
    void Close();
    // Lets go of a record whose handles belong to another process, without closing them.
    void Forget() { m_x_Channel = {}; }

protected:
    ToolShare_Channel m_x_Channel = {};
};

// The client end of the public channel.
class CRawClient : public CRawChannel {
public:
    // Opens the public channel once the service listens (retries up to the limit).
    int32_t Connect(uint32_t i_ul_Timeout = LONG_WAIT_MS);
    int32_t Lock(uint32_t i_ul_Timeout = LONG_WAIT_MS);
    void Unlock();
    // CREATEPRIVATECHANNEL for that process id, reply read and decoded by hand. 0 with the
    // channel; the status of a 7-byte status response; or a transfer's status.
    int32_t OpenPrivate(CRawChannel* o_px_Private, uint32_t i_ul_ProcessId = GetCurrentProcessId());
};

// Connects, locks, opens a private channel, unlocks: what every client does first.
int32_t OpenPrivateChannel(CRawChannel* o_px_Private);

// The device monitor and the public server opened in the test process, their trace log
// captured, and the simulated sensors' device-tree entries removed at the end.
class ServerTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Opens the monitor (devices opened at once when i_i_OpenAllowed is 1) and the server.
    void Open(int32_t i_i_OpenAllowed = 1);
    // Closes the server and waits until every private channel has ended, then the monitor.
    void Close();
    // A simulated sensor on a new COM number, in the device tree and, when the monitor is
    // open, announced to it. Gives its serial number.
    std::string AddSensor();
    void Unplug(const std::string& i_x_Serial);
    void Plug(const std::string& i_x_Serial);
    std::string Sim(const std::string& i_x_Line);
    static std::string SensorName(const std::string& i_x_Serial);

    // In a working directory of its own, the test's current directory.
    std::unique_ptr<tulvo_test::CTraceCapture> m_px_Log;
    tulvo_test::CSimControl m_x_Sim;
    bool m_b_HaveSim = false;
    bool m_b_Open = false;
    std::vector<std::string> m_ax_Sensors;
};

} // namespace srvtest

#endif
