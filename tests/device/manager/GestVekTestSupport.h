// Shared by the device manager's tests and benchmark under wine: an owner standing in for the
// device monitor, and a supported device in wine's device tree so that a device object built
// by port name finds its properties.
#ifndef TULVO_TESTS_DEVICE_MANAGER_GESTVEKTESTSUPPORT_H
#define TULVO_TESTS_DEVICE_MANAGER_GESTVEKTESTSUPPORT_H

#include "device/manager/GestVek.h"

#include <windows.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

namespace manager_test {

// Every fake device of these tests has this text in its instance id.
#define MANAGER_TEST_TAG "TLVMGR"

// Stands in for the device monitor: counts error notices, takes objects handed back by the
// last holder, and runs a check at every destruction.
class CTestOwner : public CGestVekOwner {
public:
    ~CTestOwner();
    void HandleSendBackError() override;
    void HandleGestVekReturned(CGestVek* i_px_GestVek) override;
    void HandleGestVekDestroyed(CGestVek* i_px_GestVek) override;

    // Waits for an object handed back and destroys it on the calling thread (the home
    // thread); false when none came within the limit.
    bool DestroyNextReturned(uint32_t i_ul_Ms);
    int ErrorNotices();
    int Destroyed();
    DWORD ReturnedOnThread();

    // Runs inside every destruction, on the destroying thread.
    std::function<void(CGestVek*)> m_x_OnDestroyed;

private:
    std::mutex m_x_Lock;
    std::condition_variable m_x_Changed;
    std::deque<CGestVek*> m_x_Returned;
    DWORD m_ul_ReturnedOnThread = 0;
    int m_i_ErrorNotices = 0;
    int m_i_Destroyed = 0;
};

// A supported device whose "PortName" is the port, present while the object lives.
class CTreeDevice {
public:
    CTreeDevice(const std::string& i_x_Port, const std::string& i_x_Serial);
    ~CTreeDevice();
    CTreeDevice(const CTreeDevice&) = delete;
    CTreeDevice& operator=(const CTreeDevice&) = delete;
    bool IsAdded() const { return m_b_Added; }

private:
    std::string m_x_InstanceId;
    bool m_b_Added = false;
};

} // namespace manager_test

#endif
