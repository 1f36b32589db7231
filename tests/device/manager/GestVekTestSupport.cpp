#include "tests/device/manager/GestVekTestSupport.h"

#include "tools/devtree/DevTree.h"

#include <chrono>

namespace manager_test {

CTestOwner::~CTestOwner() {
    // An object handed back after its test ended still belongs to this owner.
    while (DestroyNextReturned(0)) {
    }
}

void CTestOwner::HandleSendBackError() {
    std::lock_guard<std::mutex> l_x_Guard(m_x_Lock);
    ++m_i_ErrorNotices;
}

void CTestOwner::HandleGestVekReturned(CGestVek* i_px_GestVek) {
    {
        std::lock_guard<std::mutex> l_x_Guard(m_x_Lock);
        m_x_Returned.push_back(i_px_GestVek);
        m_ul_ReturnedOnThread = GetCurrentThreadId();
    }
    m_x_Changed.notify_all();
}

void CTestOwner::HandleGestVekDestroyed(CGestVek* i_px_GestVek) {
    if (m_x_OnDestroyed) {
        m_x_OnDestroyed(i_px_GestVek);
    }
    std::lock_guard<std::mutex> l_x_Guard(m_x_Lock);
    ++m_i_Destroyed;
}

bool CTestOwner::DestroyNextReturned(uint32_t i_ul_Ms) {
    CGestVek* l_px_GestVek = nullptr;
    {
        std::unique_lock<std::mutex> l_x_Guard(m_x_Lock);
        if (!m_x_Changed.wait_for(l_x_Guard, std::chrono::milliseconds(i_ul_Ms),
                                  [&] { return !m_x_Returned.empty(); })) {
            return false;
        }
        l_px_GestVek = m_x_Returned.front();
        m_x_Returned.pop_front();
    }
    CGestVek::DestroyReturned(l_px_GestVek);
    return true;
}

int CTestOwner::ErrorNotices() {
    std::lock_guard<std::mutex> l_x_Guard(m_x_Lock);
    return m_i_ErrorNotices;
}

int CTestOwner::Destroyed() {
    std::lock_guard<std::mutex> l_x_Guard(m_x_Lock);
    return m_i_Destroyed;
}

DWORD CTestOwner::ReturnedOnThread() {
    std::lock_guard<std::mutex> l_x_Guard(m_x_Lock);
    return m_ul_ReturnedOnThread;
}

CTreeDevice::CTreeDevice(const std::string& i_x_Port, const std::string& i_x_Serial)
    : m_x_InstanceId("USB\\VID_2F3A&PID_0101\\" MANAGER_TEST_TAG + i_x_Serial) {
    DevTree_Device l_x_Device;
    l_x_Device.m_x_InstanceId = m_x_InstanceId;
    l_x_Device.m_x_PortName = i_x_Port;
    l_x_Device.m_x_Description = "Ornivascope MX300";
    m_b_Added = DevTree_Add(l_x_Device, true, nullptr) == DEVTREE_OK;
}

CTreeDevice::~CTreeDevice() {
    if (m_b_Added) {
        DevTree_Remove(m_x_InstanceId, nullptr);
    }
}

} // namespace manager_test
