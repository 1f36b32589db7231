// Enumeration of supported devices through SetupAPI, on fake devices in Wine's device tree.
#include "device/discovery/TulvoEnum.h"
#include "ipc/protocol/TulvoStatus.h"
#include "tests/common/TestBytes.h"
#include "tests/device/discovery/DiscoveryTestSupport.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>

namespace {

using discovery_test::AddDevice;
using discovery_test::SupportedDevice;
using tulvo_test::AsString;
using tulvo_test::CTraceCapture;

const char* const g_pc_Mx300 = "VID_2F3A&PID_0101"; // row 0, "Ornivascope MX300"

// The device as the tree lists it now.
DevTree_Listed Listed(const std::string& i_x_InstanceId) {
    for (const DevTree_Listed& l_x_Device : DevTree_List(i_x_InstanceId)) {
        if (l_x_Device.m_x_InstanceId.size() == i_x_InstanceId.size()) {
            return l_x_Device;
        }
    }
    ADD_FAILURE() << "no device " << i_x_InstanceId;
    return DevTree_Listed();
}

bool IsVekPort(const std::string& i_x_Port) {
    std::vector<char> l_ac_Port(i_x_Port.begin(), i_x_Port.end());
    l_ac_Port.push_back('\0');
    return TulvoEnum_IsVekPort(l_ac_Port.data(), DIGCF_PRESENT);
}

// Owns what one lookup by port hands out.
struct SLookup {
    explicit SLookup(const std::string& i_x_Port) : m_ac_Port(i_x_Port.begin(), i_x_Port.end()) {
        m_ac_Port.push_back('\0');
        memset(&m_x_Properties, 0, sizeof(m_x_Properties));
        m_i_Status = TulvoEnum_GetPropertiesByPort(m_ac_Port.data(), &m_x_Properties);
    }
    ~SLookup() { TulvoEnum_FreeDeviceProperties(&m_x_Properties); }
    std::vector<char> m_ac_Port;
    TulvoEnum_DeviceProperties m_x_Properties;
    int m_i_Status;
};

class EnumerationTest : public ::testing::Test {
protected:
    void SetUp() override { discovery_test::RemoveTestDevices(); }
    void TearDown() override {
        TulvoEnum_SetGetParentSeam(nullptr);
        discovery_test::ResetStandIn();
        discovery_test::RemoveTestDevices();
    }
};

// A set of all devices with the index of one of them.
class CAllDevices {
public:
    CAllDevices()
        : m_h_Set(
              SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES)) {}
    ~CAllDevices() {
        if (m_h_Set != INVALID_HANDLE_VALUE) {
            SetupDiDestroyDeviceInfoList(m_h_Set);
        }
    }
    HDEVINFO Get() const { return m_h_Set; }
    DWORD IndexOf(const std::string& i_x_InstanceId) const {
        for (DWORD l_ul_Index = 0;; ++l_ul_Index) {
            SP_DEVINFO_DATA l_x_Element;
            l_x_Element.cbSize = sizeof(l_x_Element);
            if (!SetupDiEnumDeviceInfo(m_h_Set, l_ul_Index, &l_x_Element)) {
                ADD_FAILURE() << "not in the set: " << i_x_InstanceId;
                return 0;
            }
            if (InstanceId(&l_x_Element) == i_x_InstanceId) {
                return l_ul_Index;
            }
        }
    }
    std::string InstanceId(SP_DEVINFO_DATA* i_px_Element) const {
        char l_ac_Id[1024] = {0};
        SetupDiGetDeviceInstanceIdA(m_h_Set, i_px_Element, l_ac_Id, sizeof(l_ac_Id), nullptr);
        return l_ac_Id;
    }

private:
    HDEVINFO m_h_Set;
};

TEST_F(EnumerationTest, SupportedUsbserDeviceIsFoundWithItsFourProperties) {
    DevTree_Device l_x_Device = SupportedDevice(g_pc_Mx300, "TLVDISC01", "COM201");
    l_x_Device.m_x_Description = "Ornivascope MX300 Sensor";
    AddDevice(l_x_Device);

    EXPECT_TRUE(IsVekPort("COM201"));
    SLookup l_x_Lookup("COM201");
    ASSERT_EQ(l_x_Lookup.m_i_Status, TULVO_OK);
    EXPECT_EQ(AsString(l_x_Lookup.m_x_Properties.m_puc_InstanceId),
              "USB\\VID_2F3A&PID_0101\\TLVDISC01");
    EXPECT_EQ(AsString(l_x_Lookup.m_x_Properties.m_puc_SerialNumber), "TLVDISC01");
    EXPECT_EQ(AsString(l_x_Lookup.m_x_Properties.m_puc_FriendlyName), "Ornivascope MX300 Sensor");
    EXPECT_EQ(AsString(l_x_Lookup.m_x_Properties.m_puc_DevicePath), "COM201");

    // A whole walk meets the device exactly once and ends with 0.
    CAllDevices l_x_Set;
    SP_DEVINFO_DATA l_x_Element;
    DWORD l_ul_Index = 0;
    unsigned char* l_puc_Port = nullptr;
    DWORD l_ul_PortSize = 0;
    int l_i_Seen = 0;
    while (TulvoEnum_FoundNextVek(l_x_Set.Get(), &l_x_Element, &l_ul_Index, &l_puc_Port,
                                  &l_ul_PortSize) == 1) {
        if (AsString(l_puc_Port) == "COM201") {
            ++l_i_Seen;
            EXPECT_EQ(l_x_Set.InstanceId(&l_x_Element), "USB\\VID_2F3A&PID_0101\\TLVDISC01");
            EXPECT_EQ(l_ul_Index, l_x_Set.IndexOf("USB\\VID_2F3A&PID_0101\\TLVDISC01") + 1);
        }
    }
    EXPECT_EQ(l_i_Seen, 1);
    free(l_puc_Port);
}

TEST_F(EnumerationTest, NalvaCommDriverQualifiesToo) {
    DevTree_Device l_x_Device = SupportedDevice("VID_3E71&PID_2001", "TLVDISC02", "COM202");
    l_x_Device.m_x_Service = "UsbNalvaComm";
    AddDevice(l_x_Device);
    EXPECT_TRUE(IsVekPort("COM202"));
    SLookup l_x_Lookup("COM202");
    ASSERT_EQ(l_x_Lookup.m_i_Status, TULVO_OK);
    EXPECT_EQ(AsString(l_x_Lookup.m_x_Properties.m_puc_SerialNumber), "TLVDISC02");
    EXPECT_EQ(AsString(l_x_Lookup.m_x_Properties.m_puc_FriendlyName), "USB Serial Device");
}

TEST_F(EnumerationTest, OtherDriverServicesAreSkipped) {
    const char* const l_apc_Services[] = {"usbserial", "USBSER", "usbnalvacomm"};
    for (int l_i = 0; l_i < 3; ++l_i) {
        const std::string l_x_Port = "COM20" + std::to_string(3 + l_i);
        DevTree_Device l_x_Device =
            SupportedDevice(g_pc_Mx300, "TLVDISC03" + std::to_string(l_i), l_x_Port);
        l_x_Device.m_x_Service = l_apc_Services[l_i];
        AddDevice(l_x_Device);
        EXPECT_FALSE(IsVekPort(l_x_Port)) << l_apc_Services[l_i];
        EXPECT_EQ(SLookup(l_x_Port).m_i_Status, TULVO_DEVICE_NOT_PRESENT);
    }
    DevTree_Device l_x_NoService = SupportedDevice(g_pc_Mx300, "TLVDISC034", "COM207");
    l_x_NoService.m_b_NoService = true;
    AddDevice(l_x_NoService);
    EXPECT_FALSE(IsVekPort("COM207"));
}

TEST_F(EnumerationTest, OnlyTheFirstHardwareIdCounts) {
    DevTree_Device l_x_Second = SupportedDevice("VID_1234&PID_0001", "TLVDISC04", "COM208");
    l_x_Second.m_ax_HardwareIds = {"USB\\VID_1234&PID_0001&REV_0100", "USB\\VID_2F3A&PID_0101"};
    AddDevice(l_x_Second);
    DevTree_Device l_x_None = SupportedDevice(g_pc_Mx300, "TLVDISC041", "COM209");
    l_x_None.m_b_NoHardwareIds = true;
    AddDevice(l_x_None);
    EXPECT_FALSE(IsVekPort("COM208"));
    EXPECT_FALSE(IsVekPort("COM209"));
    EXPECT_EQ(SLookup("COM208").m_i_Status, TULVO_DEVICE_NOT_PRESENT);
}

TEST_F(EnumerationTest, FirstMatchingRowNamesTheDevice) {
    DevTree_Device l_x_Device = SupportedDevice("VID_2F3A&PID_0120", "TLVDISC05", "COM210");
    l_x_Device.m_ax_HardwareIds = {"USB\\VID_2F3A&PID_0120&VID_2F3A&PID_0101"};
    l_x_Device.m_x_FriendlyName = "Generic Serial (COM210)";
    AddDevice(l_x_Device);
    EXPECT_TRUE(IsVekPort("COM210"));
    EXPECT_EQ(Listed(l_x_Device.m_x_InstanceId).m_x_FriendlyName, "Ornivascope MX300 (COM210)");
}

TEST_F(EnumerationTest, DeviceWithoutPortNameIsSkippedAndTheNextOneReturned) {
    DevTree_Device l_x_First = SupportedDevice(g_pc_Mx300, "TLVDISC06A", "COM211");
    l_x_First.m_b_NoPortName = true;
    AddDevice(l_x_First);
    AddDevice(SupportedDevice(g_pc_Mx300, "TLVDISC06B", "COM212"));

    CTraceCapture l_x_Trace;
    CAllDevices l_x_Set;
    const DWORD l_ul_First = l_x_Set.IndexOf(l_x_First.m_x_InstanceId);
    SP_DEVINFO_DATA l_x_Element;
    DWORD l_ul_Index = l_ul_First;
    unsigned char* l_puc_Port = nullptr;
    DWORD l_ul_PortSize = 0;
    ASSERT_EQ(TulvoEnum_FoundNextVek(l_x_Set.Get(), &l_x_Element, &l_ul_Index, &l_puc_Port,
                                     &l_ul_PortSize),
              1);
    EXPECT_EQ(AsString(l_puc_Port), "COM212");
    EXPECT_EQ(l_x_Set.InstanceId(&l_x_Element), "USB\\VID_2F3A&PID_0101\\TLVDISC06B");
    EXPECT_EQ(l_ul_Index, l_x_Set.IndexOf("USB\\VID_2F3A&PID_0101\\TLVDISC06B") + 1);
    free(l_puc_Port);
    // A value that cannot be read is skipped without a line of its own.
    EXPECT_FALSE(l_x_Trace.ContainsPrefix("TulvoEnum_FoundNextVek Error"));
    EXPECT_FALSE(IsVekPort("COM211"));
}

TEST_F(EnumerationTest, EmptyPortNameIsSkippedWithItsLogLine) {
    DevTree_Device l_x_Device = SupportedDevice(g_pc_Mx300, "TLVDISC07", "COM213");
    AddDevice(l_x_Device);
    HKEY l_h_Key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                            ("System\\CurrentControlSet\\Enum\\" + l_x_Device.m_x_InstanceId +
                             "\\Device Parameters")
                                .c_str(),
                            0, KEY_SET_VALUE, &l_h_Key),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(l_h_Key, "PortName", 0, REG_SZ, nullptr, 0), ERROR_SUCCESS);
    RegCloseKey(l_h_Key);
    CTraceCapture l_x_Trace;
    EXPECT_FALSE(IsVekPort("COM213"));
    EXPECT_TRUE(l_x_Trace.Contains("TulvoEnum_FoundNextVek Error MyRegQueryValueEx No PortName\n"));
}

TEST_F(EnumerationTest, GenericFriendlyNameIsRewrittenAndProductNameLeftAlone) {
    DevTree_Device l_x_Generic = SupportedDevice(g_pc_Mx300, "TLVDISC08A", "COM214");
    l_x_Generic.m_x_FriendlyName = "Generic Serial (COM214)";
    AddDevice(l_x_Generic);
    DevTree_Device l_x_Named = SupportedDevice(g_pc_Mx300, "TLVDISC08B", "COM215");
    l_x_Named.m_x_FriendlyName = "Ornivascope Custom (COM215)";
    AddDevice(l_x_Named);

    CTraceCapture l_x_Trace;
    EXPECT_TRUE(IsVekPort("COM215")); // the walk meets both devices
    EXPECT_EQ(Listed(l_x_Generic.m_x_InstanceId).m_x_FriendlyName, "Ornivascope MX300 (COM214)");
    EXPECT_EQ(Listed(l_x_Named.m_x_InstanceId).m_x_FriendlyName, "Ornivascope Custom (COM215)");
    EXPECT_TRUE(l_x_Trace.Contains(
        "TulvoEnum_FoundNextVek deviceFriendlyName :  Generic Serial (COM214)\n"));
    EXPECT_TRUE(l_x_Trace.Contains("TulvoEnum_FoundNextVek will update to Ornivascope MX300 "
                                   "(COM214)\n"));
    EXPECT_TRUE(l_x_Trace.Contains(
        "TulvoEnum_FoundNextVek deviceFriendlyName :  Ornivascope Custom (COM215)\n"));
    EXPECT_FALSE(l_x_Trace.ContainsPrefix("TulvoEnum_FoundNextVek will update to Ornivascope "
                                          "Custom"));
}

TEST_F(EnumerationTest, DisplayNameWithoutProductLineIsWrittenOnEveryWalk) {
    DevTree_Device l_x_Device = SupportedDevice("VID_3E71&PID_2030", "TLVDISC09", "COM216");
    l_x_Device.m_x_FriendlyName = "Serial (COM216)";
    AddDevice(l_x_Device);
    CTraceCapture l_x_Trace;
    EXPECT_TRUE(IsVekPort("COM216"));
    EXPECT_TRUE(IsVekPort("COM216"));
    int l_i_Writes = 0;
    for (const std::string& l_x_Message : l_x_Trace.Messages()) {
        l_i_Writes += l_x_Message == "TulvoEnum_FoundNextVek will update to Talvik Reader R5 "
                                     "(COM216)\n";
    }
    EXPECT_EQ(l_i_Writes, 2);
    EXPECT_EQ(Listed(l_x_Device.m_x_InstanceId).m_x_FriendlyName, "Talvik Reader R5 (COM216)");
}

TEST_F(EnumerationTest, FriendlyNameThatWouldNotFitIsKeptAndTheChoiceLogged) {
    DevTree_Device l_x_Device = SupportedDevice(g_pc_Mx300, "TLVDISC10", "COM217");
    const std::string l_x_Long = "Serial (" + std::string(115, 'x') + ") (COM217)";
    l_x_Device.m_x_FriendlyName = l_x_Long;
    AddDevice(l_x_Device);
    CTraceCapture l_x_Trace;
    EXPECT_TRUE(IsVekPort("COM217"));
    EXPECT_EQ(Listed(l_x_Device.m_x_InstanceId).m_x_FriendlyName, l_x_Long);
    EXPECT_TRUE(l_x_Trace.Contains(
        "TulvoEnum_FoundNextVek name too long, not updated : " + l_x_Long + "\n"));
}

TEST_F(EnumerationTest, LowerCasePortIsFoundAndReportedInUpperCase) {
    AddDevice(SupportedDevice(g_pc_Mx300, "TLVDISC11", "com218"));
    char l_ac_Port[] = "com218";
    EXPECT_TRUE(TulvoEnum_IsVekPort(l_ac_Port, DIGCF_PRESENT));
    EXPECT_STREQ(l_ac_Port, "COM218");

    SLookup l_x_Lookup("com218");
    ASSERT_EQ(l_x_Lookup.m_i_Status, TULVO_OK);
    EXPECT_STREQ(l_x_Lookup.m_ac_Port.data(), "COM218");
    // The record keeps the case the name is stored in.
    EXPECT_EQ(AsString(l_x_Lookup.m_x_Properties.m_puc_DevicePath), "com218");
}

TEST_F(EnumerationTest, PortNameStoredWithoutItsZeroReadsCleanly) {
    DevTree_Device l_x_Device = SupportedDevice(g_pc_Mx300, "TLVDISC12", "COM219");
    l_x_Device.m_b_PortNameUnterminated = true;
    AddDevice(l_x_Device);
    SLookup l_x_Lookup("COM219");
    ASSERT_EQ(l_x_Lookup.m_i_Status, TULVO_OK);
    EXPECT_EQ(AsString(l_x_Lookup.m_x_Properties.m_puc_DevicePath), "COM219");
}

TEST_F(EnumerationTest, PortOfAnUnsupportedDeviceIsNotPresent) {
    AddDevice(SupportedDevice("VID_1234&PID_5678", "TLVDISC13", "COM220"));
    EXPECT_FALSE(IsVekPort("COM220"));
    EXPECT_EQ(SLookup("COM220").m_i_Status, TULVO_DEVICE_NOT_PRESENT);
    EXPECT_EQ(SLookup("COM299").m_i_Status, TULVO_DEVICE_NOT_PRESENT);
}

TEST_F(EnumerationTest, CompositeChildTakesItsParentsSerialNumber) {
    DevTree_Device l_x_Child;
    l_x_Child.m_x_InstanceId = "USB\\VID_2F3A&PID_0140&MI_00\\7&TLVDISC&0&0000";
    l_x_Child.m_x_PortName = "COM221";
    l_x_Child.m_x_ParentId = "USB\\VID_2F3A&PID_0140\\TLVDISCP1";
    AddDevice(l_x_Child);
    DevTree_Device l_x_Second;
    l_x_Second.m_x_InstanceId = "USB\\VID_2F3A&PID_0140&MI_01\\7&TLVDISC&0&0001";
    l_x_Second.m_x_PortName = "COM222";
    AddDevice(l_x_Second);
    discovery_test::StandInParent(l_x_Child.m_x_InstanceId, l_x_Child.m_x_ParentId);
    discovery_test::StandInParent(l_x_Second.m_x_InstanceId, l_x_Child.m_x_ParentId);
    TulvoEnum_SetGetParentSeam(discovery_test::StandInGetParent);

    SLookup l_x_Lookup("COM221");
    ASSERT_EQ(l_x_Lookup.m_i_Status, TULVO_OK);
    EXPECT_EQ(AsString(l_x_Lookup.m_x_Properties.m_puc_SerialNumber), "TLVDISCP1");
    EXPECT_EQ(AsString(l_x_Lookup.m_x_Properties.m_puc_InstanceId), l_x_Child.m_x_InstanceId);
    // Other interfaces are not looked up: their own last component stands.
    SLookup l_x_Other("COM222");
    ASSERT_EQ(l_x_Other.m_i_Status, TULVO_OK);
    EXPECT_EQ(AsString(l_x_Other.m_x_Properties.m_puc_SerialNumber), "7&TLVDISC&0&0001");
}

TEST_F(EnumerationTest, CompositeChildWithoutPresentUsbParentGivesDeviceNotFound) {
    DevTree_Device l_x_Child;
    l_x_Child.m_x_InstanceId = "USB\\VID_2F3A&PID_0141&MI_00\\7&TLVDISC&0&0000";
    l_x_Child.m_x_PortName = "COM223";
    AddDevice(l_x_Child);
    // The "parent" exists, but not in the USB setup class under that enumerator.
    DevTree_Device l_x_WrongClass = SupportedDevice("VID_2F3A&PID_0141", "TLVDISCP2", "");
    AddDevice(l_x_WrongClass);
    discovery_test::StandInParent(l_x_Child.m_x_InstanceId, l_x_WrongClass.m_x_InstanceId);
    TulvoEnum_SetGetParentSeam(discovery_test::StandInGetParent);
    EXPECT_EQ(SLookup("COM223").m_i_Status, TULVO_DEVICE_NOT_FOUND);

    // Wine's own CM_Get_Parent knows no parent at all: not found, and nothing to report.
    TulvoEnum_SetGetParentSeam(nullptr);
    CTraceCapture l_x_Trace;
    EXPECT_EQ(SLookup("COM223").m_i_Status, TULVO_DEVICE_NOT_FOUND);
    EXPECT_FALSE(l_x_Trace.ContainsPrefix("TulvoEnum_GetParentInstanceId"));
}

TEST_F(EnumerationTest, FillFailsWithoutDescriptionSilentlyAndWithoutSetOrElement) {
    DevTree_Device l_x_Device = SupportedDevice(g_pc_Mx300, "TLVDISC14", "COM224");
    l_x_Device.m_b_NoDescription = true;
    AddDevice(l_x_Device);
    CTraceCapture l_x_Trace;
    {
        SLookup l_x_Lookup("COM224");
        EXPECT_EQ(l_x_Lookup.m_i_Status, TULVO_SYSTEM_ERROR);
        // What was read before the failure stays in the record.
        EXPECT_EQ(AsString(l_x_Lookup.m_x_Properties.m_puc_DevicePath), "COM224");
        EXPECT_EQ(l_x_Lookup.m_x_Properties.m_puc_FriendlyName, nullptr);
    }
    EXPECT_FALSE(l_x_Trace.ContainsPrefix("MySetupDiGetDeviceRegistryProperty"));

    TulvoEnum_DeviceProperties l_x_Properties;
    SP_DEVINFO_DATA l_x_Element;
    CAllDevices l_x_Set;
    EXPECT_EQ(TulvoEnum_FillDeviceProperties(nullptr, &l_x_Element, &l_x_Properties),
              TULVO_PORT_NOT_OPEN);
    EXPECT_EQ(TulvoEnum_FillDeviceProperties(INVALID_HANDLE_VALUE, &l_x_Element, &l_x_Properties),
              TULVO_PORT_NOT_OPEN);
    EXPECT_EQ(TulvoEnum_FillDeviceProperties(l_x_Set.Get(), nullptr, &l_x_Properties),
              TULVO_PORT_NOT_OPEN);
}

TEST_F(EnumerationTest, PropertyReadsGrowTheCallersBlockAndNeverWritePastItsSize) {
    DevTree_Device l_x_Device = SupportedDevice(g_pc_Mx300, "TLVDISC15", "COM225");
    AddDevice(l_x_Device);
    CAllDevices l_x_Set;
    SP_DEVINFO_DATA l_x_Element;
    l_x_Element.cbSize = sizeof(l_x_Element);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(l_x_Set.Get(), l_x_Set.IndexOf(l_x_Device.m_x_InstanceId),
                                      &l_x_Element));
    const DWORD l_ul_Text = static_cast<DWORD>(l_x_Device.m_x_InstanceId.size() + 1);
    // Room for the text and its two zeros: kept, and nothing past its size touched.
    unsigned char* l_puc_Buffer = static_cast<unsigned char*>(malloc(l_ul_Text + 8));
    memset(l_puc_Buffer, 0xEE, l_ul_Text + 8);
    const unsigned char* l_puc_Block = l_puc_Buffer;
    DWORD l_ul_Size = l_ul_Text + TULVOREG_BUFFER_SLACK;
    ASSERT_TRUE(
        MySetupDiGetDeviceInstanceId(l_x_Set.Get(), &l_x_Element, &l_puc_Buffer, &l_ul_Size));
    ASSERT_EQ(l_puc_Buffer, l_puc_Block);
    EXPECT_EQ(AsString(l_puc_Buffer), l_x_Device.m_x_InstanceId);
    EXPECT_EQ(l_ul_Size, l_ul_Text + TULVOREG_BUFFER_SLACK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(l_puc_Buffer) + l_ul_Size, 6),
              std::string(6, '\xEE'));

    // Too small: replaced by a block of the text and its zeros, which later reads reuse.
    l_ul_Size = 4;
    ASSERT_TRUE(
        MySetupDiGetDeviceInstanceId(l_x_Set.Get(), &l_x_Element, &l_puc_Buffer, &l_ul_Size));
    EXPECT_EQ(AsString(l_puc_Buffer), l_x_Device.m_x_InstanceId);
    EXPECT_EQ(l_ul_Size, l_ul_Text + TULVOREG_BUFFER_SLACK);
    l_puc_Block = l_puc_Buffer;
    ASSERT_TRUE(MySetupDiGetDeviceRegistryProperty(l_x_Set.Get(), &l_x_Element, SPDRP_SERVICE,
                                                   &l_puc_Buffer, &l_ul_Size));
    EXPECT_EQ(AsString(l_puc_Buffer), "usbser");
    EXPECT_EQ(l_puc_Buffer, l_puc_Block); // fits: never shrunk nor replaced
    EXPECT_EQ(l_ul_Size, l_ul_Text + TULVOREG_BUFFER_SLACK);
    free(l_puc_Buffer);
}

TEST_F(EnumerationTest, SerialCommDumpListsEveryPortOfTheSystem) {
    AddDevice(SupportedDevice(g_pc_Mx300, "TLVDISC16", "COM226"));
    std::string l_x_Expected =
        "Registry dump :\n[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n";
    bool l_b_Ours = false;
    for (const std::string& l_x_Line : DevTree_ListSerialComm()) {
        const size_t l_ul_Equal = l_x_Line.rfind('=');
        l_x_Expected +=
            "\"" + l_x_Line.substr(0, l_ul_Equal) + "\"" + l_x_Line.substr(l_ul_Equal) + "\n";
        l_b_Ours |= l_x_Line == "\\Device\\USBSER226=COM226";
    }
    EXPECT_TRUE(l_b_Ours);
    CTraceCapture l_x_Trace;
    RegistryDump(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM");
    EXPECT_EQ(l_x_Trace.Messages(), std::vector<std::string>{l_x_Expected});
}

} // namespace
