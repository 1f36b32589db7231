// Shared by the link tests and the link benchmark that run under wine against the sensor
// simulator: the simulator's control connection and a frame owner that records what it gets.
#ifndef TULVO_TESTS_DEVICE_LINK_SIMLINKSUPPORT_H
#define TULVO_TESTS_DEVICE_LINK_SIMLINKSUPPORT_H

#include "device/link/UsbSerialProtocole.h"
#include "tests/common/TestBytes.h"
#include "tests/common/TraceCapture.h"
#include "tests/device/link/FrameRecorder.h"

#include <winsock2.h>

#include <stdint.h>

#include <mutex>
#include <string>
#include <vector>

namespace tulvo_test {

// One control connection to the simulator (its port comes from TULVO_SIM_PORT).
class CSimControl {
public:
    CSimControl() = default;
    ~CSimControl();
    CSimControl(const CSimControl&) = delete;
    CSimControl& operator=(const CSimControl&) = delete;

    bool Connect();
    // Sends one command line and returns the answer line ("ok ..." or "err ...").
    std::string Command(const std::string& i_x_Line);
    // Command() that must answer "ok".
    bool Ok(const std::string& i_x_Line) { return Command(i_x_Line).compare(0, 2, "ok") == 0; }
    // One numeric field of "stats NAME" (e.g. "bytes_in"); -1 when missing.
    long long Stat(const std::string& i_x_Sensor, const std::string& i_x_Field);

private:
    SOCKET m_x_Socket = INVALID_SOCKET;
    std::string m_x_Pending;
};

// Records every frame and every error notice the link hands over.
class CRecordingOwner : public CFrameRecorder<CUsbSerialProtocoleOwner> {
public:
    void HandleSendBackError() override;
    int ErrorNotices();

private:
    int m_i_ErrorNotices = 0;
};

// Polls a condition every few milliseconds; false after i_ul_Ms.
template <typename TCondition> bool WaitFor(TCondition i_x_Condition, uint32_t i_ul_Ms) {
    const ULONGLONG l_ull_End = GetTickCount64() + i_ul_Ms;
    while (!i_x_Condition()) {
        if (GetTickCount64() > l_ull_End) {
            return false;
        }
        Sleep(5);
    }
    return true;
}

// A COM number no other test of this run uses (base from TULVO_SIM_COM_BASE).
int NextComNumber();

} // namespace tulvo_test

#endif
