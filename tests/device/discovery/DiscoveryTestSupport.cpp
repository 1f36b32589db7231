#include "tests/device/discovery/DiscoveryTestSupport.h"

#include "service/AsciiText.h"

#include <gtest/gtest.h>
#include <setupapi.h>

#include <map>
#include <mutex>
#include <string.h>

namespace discovery_test {

namespace {

std::mutex g_x_Lock;
std::map<std::string, std::string> g_ax_Parents; // upper-case child id -> parent id
std::vector<HDEVINFO> g_ax_StandInSets;

std::string Upper(std::string i_x_Text) {
    for (char& l_c : i_x_Text) {
        if (l_c >= 'a' && l_c <= 'z') {
            l_c = static_cast<char>(l_c - 'a' + 'A');
        }
    }
    return i_x_Text;
}

} // namespace

void RemoveTestDevices() {
    int l_i_Count = 0;
    std::string l_x_Error;
    EXPECT_EQ(DevTree_RemoveMatching(DISCOVERY_TEST_TAG, &l_i_Count, &l_x_Error), DEVTREE_OK)
        << l_x_Error;
}

void AddDevice(const DevTree_Device& i_x_Device) {
    std::string l_x_Error;
    ASSERT_EQ(DevTree_Add(i_x_Device, false, &l_x_Error), DEVTREE_OK)
        << i_x_Device.m_x_InstanceId << ": " << l_x_Error;
}

DevTree_Device SupportedDevice(const std::string& i_x_Fragment, const std::string& i_x_Serial,
                               const std::string& i_x_Port) {
    DevTree_Device l_x_Device;
    l_x_Device.m_x_InstanceId = "USB\\" + i_x_Fragment + "\\" + i_x_Serial;
    l_x_Device.m_x_PortName = i_x_Port;
    return l_x_Device;
}

void StandInParent(const std::string& i_x_ChildId, const std::string& i_x_ParentId) {
    std::lock_guard<std::mutex> l_x_Guard(g_x_Lock);
    g_ax_Parents[Upper(i_x_ChildId)] = i_x_ParentId;
}

CONFIGRET WINAPI StandInGetParent(PDEVINST o_px_Parent, DEVINST i_x_Child, ULONG i_ul_Flags) {
    if (o_px_Parent == nullptr || i_ul_Flags != 0) {
        return CR_INVALID_POINTER;
    }
    char l_ac_ChildId[MAX_DEVICE_ID_LEN + 1];
    if (CM_Get_Device_IDA(i_x_Child, l_ac_ChildId, sizeof(l_ac_ChildId), 0) != CR_SUCCESS) {
        return CR_NO_SUCH_DEVNODE;
    }
    std::lock_guard<std::mutex> l_x_Guard(g_x_Lock);
    const auto l_x_Found = g_ax_Parents.find(Upper(l_ac_ChildId));
    if (l_x_Found == g_ax_Parents.end()) {
        return CR_NO_SUCH_DEVNODE;
    }
    // The handle must stay valid while the code under test uses it, so its set lives until
    // the test resets the stand-in.
    HDEVINFO l_h_Set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    if (l_h_Set == INVALID_HANDLE_VALUE) {
        return CR_FAILURE;
    }
    g_ax_StandInSets.push_back(l_h_Set);
    for (DWORD l_ul_Index = 0;; ++l_ul_Index) {
        SP_DEVINFO_DATA l_x_Element;
        l_x_Element.cbSize = sizeof(l_x_Element);
        if (!SetupDiEnumDeviceInfo(l_h_Set, l_ul_Index, &l_x_Element)) {
            return CR_NO_SUCH_DEVNODE;
        }
        char l_ac_Id[MAX_DEVICE_ID_LEN + 1];
        if (SetupDiGetDeviceInstanceIdA(l_h_Set, &l_x_Element, l_ac_Id, sizeof(l_ac_Id), nullptr) &&
            Tulvo_AsciiEqualNoCase(l_ac_Id, l_x_Found->second.c_str())) {
            *o_px_Parent = l_x_Element.DevInst;
            return CR_SUCCESS;
        }
    }
}

void ResetStandIn() {
    std::lock_guard<std::mutex> l_x_Guard(g_x_Lock);
    g_ax_Parents.clear();
    for (HDEVINFO l_h_Set : g_ax_StandInSets) {
        SetupDiDestroyDeviceInfoList(l_h_Set);
    }
    g_ax_StandInSets.clear();
}

} // namespace discovery_test
