// Shared by the device monitor's tests under wine: a monitor opened in the test process, fake
// sensors in wine's device tree (with a simulated pty behind them when the simulator runs),
// the port notifications a plug and an unplug send to the monitor's window, and a client
// thread whose gated wait can be observed.
#ifndef TULVO_TESTS_DEVICE_MONITOR_MONITORTESTSUPPORT_H
#define TULVO_TESTS_DEVICE_MONITOR_MONITORTESTSUPPORT_H

#include "device/monitor/HideDlgMonitor.h"
#include "tests/common/TempDir.h"
#include "tests/common/TraceCapture.h"
#include "tests/device/link/SimLinkSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace monitor_test {

// Every fake device of these tests carries this text in its instance id.
#define MONITOR_TEST_TAG "TLVMON"

const uint32_t LONG_WAIT_MS = 30000;

class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A sensor on COMn: in the device tree (USB serial number "TLVMONU<n>") and, with
    // i_b_Pty, a simulated pty that reports "TLVMON<n>". Not notified. Gives the port name.
    std::string Add(int i_i_Com, bool i_b_Pty = true);
    // What the system shows the monitor: the device appears, then its arrival; its removal,
    // then it leaves the tree (the monitor looks the port up while it handles the removal).
    void Plug(int i_i_Com);
    void Unplug(int i_i_Com);
    void Notify(bool i_b_Arrival, const std::string& i_x_Port);
    void Open();
    void Close();
    // Timer 1 fires: the tests end the wake-up configuration themselves, the real timer (and a
    // gate's own limit) wait longer than any test.
    void FireWakeUpTimer();
    // Serial numbers (as reported) of the listed test devices, in list order.
    std::vector<std::string> Listed(int32_t* o_pi_Status = nullptr);
    std::string Sim(const std::string& i_x_Line);
    // A silent sensor ("silent sN on") speaks again and answers the serial-number request it
    // took in silence, so that a test decides when an opening may go on.
    void AnswerSerialNumber(int i_i_Com);

    static std::string Port(int i_i_Com) { return "COM" + std::to_string(i_i_Com); }
    static std::string Reported(int i_i_Com) { return MONITOR_TEST_TAG + std::to_string(i_i_Com); }
    static std::string Usb(int i_i_Com) { return MONITOR_TEST_TAG "U" + std::to_string(i_i_Com); }

    std::unique_ptr<tulvo_test::CTraceCapture> m_px_Log;
    tulvo_test::CSimControl m_x_Sim;
    bool m_b_HaveSim = false;
    CHideDlg* m_px_HideDlg = nullptr;
    std::vector<int> m_ai_Sensors;
};

// Runs a call on a thread of its own that owns a window, so that a test can tell when the call
// is inside a wait that dispatches the thread's messages.
class CWaitingClient {
public:
    explicit CWaitingClient(std::function<int32_t()> i_x_Call);
    ~CWaitingClient();
    CWaitingClient(const CWaitingClient&) = delete;
    CWaitingClient& operator=(const CWaitingClient&) = delete;

    // True once the thread has dispatched a message posted to its window after this call
    // began: it is waiting (or has dispatched it on its way out).
    bool WaitUntilWaiting(uint32_t i_ul_Ms);
    bool Done() const { return m_b_Done; }
    // The call's status, once Done.
    int32_t Join();

private:
    static LRESULT CALLBACK WindowProc(HWND i_h_Window, UINT i_ui_Message, WPARAM i_x_WParam,
                                       LPARAM i_x_LParam);
    std::function<int32_t()> m_x_Call;
    std::atomic<HWND> m_h_Window{nullptr};
    std::atomic<int> m_i_Dispatched{0};
    std::atomic<bool> m_b_Done{false};
    int32_t m_i_Status = 0;
    std::thread m_x_Thread;
};

} // namespace monitor_test

#endif
