// The text rules of device discovery: table match, driver services, friendly-name rewrite,
// upper-casing, serial numbers and the properties record. Runs in both trees.
#include "device/discovery/TulvoDeviceProperties.h"
#include "device/discovery/TulvoEnumRules.h"
#include "ipc/protocol/TulvoStatus.h"
#include "tests/common/TestBytes.h"
#include "tests/common/TraceCapture.h"

#include <gtest/gtest.h>

#include <ctype.h>
#include <set>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>

namespace {

using tulvo_test::AsString;
using tulvo_test::CTraceCapture;

class DiscoveryRulesTest : public ::testing::Test {
protected:
    CTraceCapture m_x_Trace;
};

unsigned char* Text(const char* i_pc_Text) {
    if (i_pc_Text == nullptr) {
        return nullptr;
    }
    unsigned char* l_puc = static_cast<unsigned char*>(malloc(strlen(i_pc_Text) + 1));
    memcpy(l_puc, i_pc_Text, strlen(i_pc_Text) + 1);
    return l_puc;
}

TEST(SupportedDeviceTable, RowsAreWellFormedDistinctAndFitTheirLimits) {
    std::set<std::string> l_ax_Fragments;
    int l_i_WithoutProductLine = 0;
    for (int l_i_Row = 0; l_i_Row < TULVOENUM_SUPPORTED_COUNT; ++l_i_Row) {
        const TulvoEnum_SupportedDevice& l_x_Row = g_ax_TulvoEnum_SupportedDevices[l_i_Row];
        const std::string l_x_Fragment = l_x_Row.m_pc_HardwareIdFragment;
        SCOPED_TRACE(l_x_Fragment);
        ASSERT_EQ(l_x_Fragment.size(), static_cast<size_t>(TULVOENUM_FRAGMENT_LENGTH));
        EXPECT_EQ(l_x_Fragment.substr(0, 4), "VID_");
        EXPECT_EQ(l_x_Fragment.substr(8, 5), "&PID_");
        for (size_t l_ul : {4, 5, 6, 7, 13, 14, 15, 16}) {
            EXPECT_TRUE(isxdigit(static_cast<unsigned char>(l_x_Fragment[l_ul])) &&
                        !islower(static_cast<unsigned char>(l_x_Fragment[l_ul])));
        }
        EXPECT_TRUE(l_ax_Fragments.insert(l_x_Fragment).second) << "duplicate row";
        const size_t l_ul_NameLength = strlen(l_x_Row.m_pc_DisplayName);
        EXPECT_GT(l_ul_NameLength, 0u);
        EXPECT_LE(l_ul_NameLength, static_cast<size_t>(TULVOENUM_DISPLAYNAME_MAX));
        if (strstr(l_x_Row.m_pc_DisplayName, TULVOENUM_PRODUCT_LINE_NAME) == nullptr) {
            ++l_i_WithoutProductLine;
        }
        // A row reached only through an earlier row would be dead product data.
        EXPECT_EQ(IsSupportedDevice_VID_PID(("USB\\" + l_x_Fragment + "\\SN1").c_str()), l_i_Row);
    }
    EXPECT_GT(l_i_WithoutProductLine, 0);
    EXPECT_LT(l_i_WithoutProductLine, TULVOENUM_SUPPORTED_COUNT / 2);
}

TEST_F(DiscoveryRulesTest, HardwareIdMatchIsCaseSensitiveSubstringAndFirstRowWins) {
    EXPECT_EQ(IsSupportedDevice_VID_PID("USB\\VID_2F3A&PID_0101&REV_0100"), 0);
    EXPECT_EQ(IsSupportedDevice_VID_PID("USB\\VID_3E71&PID_2040"), 26);
    EXPECT_EQ(IsSupportedDevice_VID_PID("USB\\VID_2f3a&PID_0101"), -1);
    EXPECT_EQ(IsSupportedDevice_VID_PID("USB\\VID_2F3A&PID_0102"), 1);
    EXPECT_EQ(IsSupportedDevice_VID_PID("USB\\VID_2F3A&PID_0109"), -1);
    EXPECT_EQ(IsSupportedDevice_VID_PID(""), -1);
    // Both rows 6 (PID_0120) and 0 (PID_0101) occur; table order decides, not text order.
    EXPECT_EQ(IsSupportedDevice_VID_PID("USB\\VID_2F3A&PID_0120&VID_2F3A&PID_0101"), 0);
    EXPECT_EQ(CTraceCapture::Messages()[0],
              "IsSupportedDevice_VID_PID USB\\VID_2F3A&PID_0101&REV_0100\n");
    EXPECT_EQ(CTraceCapture::Messages().size(), 7u);
}

TEST(DriverService, OnlyTheExactNamesQualify) {
    EXPECT_TRUE(TulvoEnum_IsAcceptedService("usbser"));
    EXPECT_TRUE(TulvoEnum_IsAcceptedService("UsbNalvaComm"));
    for (const char* l_pc_Name : {"usbserial", "USBSER", "usbse", "Usbser", "usbnalvacomm",
                                  "UsbNalvaComm2", "", " usbser"}) {
        EXPECT_FALSE(TulvoEnum_IsAcceptedService(l_pc_Name)) << l_pc_Name;
    }
    EXPECT_FALSE(TulvoEnum_IsAcceptedService(nullptr));
}

TEST(FriendlyNameRewrite, GenericNameGetsTheDisplayNameBeforeItsPortSuffix) {
    char l_ac_Name[TULVOENUM_FRIENDLYNAME_SIZE];
    ASSERT_EQ(TulvoEnum_BuildFriendlyName(0, "Generic Serial (COM12)", nullptr, l_ac_Name),
              TULVOENUM_REWRITE_DONE);
    EXPECT_STREQ(l_ac_Name, "Ornivascope MX300 (COM12)");
    // Everything from the first "(" on is kept.
    ASSERT_EQ(TulvoEnum_BuildFriendlyName(24, "Port (x) (COM7)", nullptr, l_ac_Name),
              TULVOENUM_REWRITE_DONE);
    EXPECT_STREQ(l_ac_Name, "Talvik Reader R5 (x) (COM7)");
    // A display name without the product line rewrites to a name that still lacks it.
    char l_ac_Again[TULVOENUM_FRIENDLYNAME_SIZE];
    ASSERT_EQ(TulvoEnum_BuildFriendlyName(24, l_ac_Name, nullptr, l_ac_Again),
              TULVOENUM_REWRITE_DONE);
    EXPECT_STREQ(l_ac_Again, l_ac_Name);
}

TEST(FriendlyNameRewrite, ProductLineNameOrMissingSuffixLeavesTheNameAlone) {
    char l_ac_Name[TULVOENUM_FRIENDLYNAME_SIZE];
    EXPECT_EQ(TulvoEnum_BuildFriendlyName(0, "My Ornivascope thing (COM3)", nullptr, l_ac_Name),
              TULVOENUM_REWRITE_HAS_PRODUCT_LINE);
    EXPECT_EQ(TulvoEnum_BuildFriendlyName(0, "ornivascope (COM3)", nullptr, l_ac_Name),
              TULVOENUM_REWRITE_DONE);
    EXPECT_EQ(TulvoEnum_BuildFriendlyName(0, "Generic Serial COM3", nullptr, l_ac_Name),
              TULVOENUM_REWRITE_NO_PORT_SUFFIX);
    EXPECT_EQ(TulvoEnum_BuildFriendlyName(-1, "X (COM3)", nullptr, l_ac_Name),
              TULVOENUM_REWRITE_BAD_ROW);
    EXPECT_EQ(
        TulvoEnum_BuildFriendlyName(TULVOENUM_SUPPORTED_COUNT, "X (COM3)", nullptr, l_ac_Name),
        TULVOENUM_REWRITE_BAD_ROW);
}

TEST(FriendlyNameRewrite, NameThatWouldNotFitIsNotCut) {
    // Row 0's display name has 17 characters: 17 + blank + suffix + zero must fit 128.
    char l_ac_Name[TULVOENUM_FRIENDLYNAME_SIZE];
    const std::string l_x_FitSuffix = "(" + std::string(107, 'x') + ")"; // 109 characters
    ASSERT_EQ(TulvoEnum_BuildFriendlyName(0, ("G " + l_x_FitSuffix).c_str(), nullptr, l_ac_Name),
              TULVOENUM_REWRITE_DONE);
    EXPECT_EQ(strlen(l_ac_Name), 127u);
    EXPECT_EQ(std::string(l_ac_Name), "Ornivascope MX300 " + l_x_FitSuffix);
    const std::string l_x_LongSuffix = "(" + std::string(108, 'x') + ")";
    EXPECT_EQ(TulvoEnum_BuildFriendlyName(0, ("G " + l_x_LongSuffix).c_str(), nullptr, l_ac_Name),
              TULVOENUM_REWRITE_TOO_LONG);
}

// A code page where 0x81 starts a two-byte character, as in the East Asian code pages.
int FakeLeadByte(unsigned char i_uc) {
    return i_uc == 0x81;
}

TEST(FriendlyNameRewrite, SearchesNeverStartInsideATwoByteCharacter) {
    // 0x81 '(' is one character, so the first real "(" comes later.
    const char l_ac_Friendly[] = "A\x81(B (COM4)";
    char l_ac_Name[TULVOENUM_FRIENDLYNAME_SIZE];
    ASSERT_EQ(TulvoEnum_BuildFriendlyName(1, l_ac_Friendly, FakeLeadByte, l_ac_Name),
              TULVOENUM_REWRITE_DONE);
    EXPECT_STREQ(l_ac_Name, "Ornivascope MX310 (COM4)");
    ASSERT_EQ(TulvoEnum_BuildFriendlyName(1, l_ac_Friendly, nullptr, l_ac_Name),
              TULVOENUM_REWRITE_DONE);
    EXPECT_STREQ(l_ac_Name, "Ornivascope MX310 (B (COM4)");
    EXPECT_EQ(TulvoEnum_FindText("\x81Ornivascope", "Ornivascope", FakeLeadByte), nullptr);
    EXPECT_NE(TulvoEnum_FindText("x\x81 Ornivascope", "Ornivascope", FakeLeadByte), nullptr);
    // A lead byte at the very end does not carry the walk past the terminating zero.
    EXPECT_EQ(TulvoEnum_FindText("ab\x81", "(", FakeLeadByte), nullptr);
}

TEST(UpperCase, ConvertsAsciiLettersUpToTheZeroOrTheSize) {
    char l_ac_Port[] = "com3";
    TulvoEnum_UpperCase(l_ac_Port, sizeof(l_ac_Port));
    EXPECT_STREQ(l_ac_Port, "COM3");
    char l_ac_Partial[] = "com12";
    TulvoEnum_UpperCase(l_ac_Partial, 2);
    EXPECT_STREQ(l_ac_Partial, "COm12");
    char l_ac_Bytes[] = "\xe9t\xc3\xa9";
    TulvoEnum_UpperCase(l_ac_Bytes, sizeof(l_ac_Bytes));
    EXPECT_STREQ(l_ac_Bytes, "\xe9T\xc3\xa9");
    char l_ac_Stop[] = {'a', '\0', 'b', '\0'};
    TulvoEnum_UpperCase(l_ac_Stop, sizeof(l_ac_Stop));
    EXPECT_EQ(l_ac_Stop[2], 'b');
}

TEST(SerialNumber, IsTheTextAfterTheLastBackslash) {
    unsigned char* l_puc_Serial = nullptr;
    ASSERT_EQ(
        GetSerialNumber_(reinterpret_cast<const unsigned char*>("USB\\VID_2F3A&PID_0101\\ABC123"),
                         &l_puc_Serial),
        TULVO_OK);
    EXPECT_EQ(AsString(l_puc_Serial), "ABC123");
    free(l_puc_Serial);
    l_puc_Serial = nullptr;
    ASSERT_EQ(GetSerialNumber_(reinterpret_cast<const unsigned char*>("USB\\VID_2F3A&PID_0101\\"),
                               &l_puc_Serial),
              TULVO_OK);
    EXPECT_EQ(AsString(l_puc_Serial), "");
    free(l_puc_Serial);
    l_puc_Serial = nullptr;
    EXPECT_EQ(
        GetSerialNumber_(reinterpret_cast<const unsigned char*>("NOBACKSLASH"), &l_puc_Serial),
        TULVO_NO_SERIAL_NUMBER);
    EXPECT_EQ(GetSerialNumber_(nullptr, &l_puc_Serial), TULVO_NO_SERIAL_NUMBER);
    EXPECT_EQ(l_puc_Serial, nullptr);
}

TEST(SerialNumber, OnlyTheFirstInterfaceChildNamesItsParentsEnumerator) {
    unsigned char* l_puc_Enumerator = nullptr;
    ASSERT_EQ(TulvoEnum_CopyCompositeEnumerator(reinterpret_cast<const unsigned char*>(
                                                    "USB\\VID_2F3A&PID_0140&MI_00\\7&1a2b&0&0000"),
                                                &l_puc_Enumerator),
              TULVO_OK);
    EXPECT_EQ(AsString(l_puc_Enumerator), "USB\\VID_2F3A&PID_0140");
    free(l_puc_Enumerator);
    for (const char* l_pc_Id : {"USB\\VID_2F3A&PID_0140&MI_01\\7&1a2b&0&0001",
                                "USB\\VID_2F3A&PID_0140\\SN1", "USB\\VID_2F3A&PID_0140&MI_00"}) {
        EXPECT_EQ(TulvoEnum_CopyCompositeEnumerator(reinterpret_cast<const unsigned char*>(l_pc_Id),
                                                    &l_puc_Enumerator),
                  1)
            << l_pc_Id;
        EXPECT_EQ(l_puc_Enumerator, nullptr);
    }
}

TEST(DeviceProperties, CopyDuplicatesEveryTextAndFreeClearsThem) {
    TulvoEnum_DeviceProperties l_x_Source = {Text("USB\\VID_2F3A&PID_0101\\SN9"), Text("SN9"),
                                             Text(""), Text("COM9")};
    TulvoEnum_DeviceProperties l_x_Copy;
    memset(&l_x_Copy, 0xA5, sizeof(l_x_Copy));
    ASSERT_EQ(TulvoEnum_CopyDeviceProperties(&l_x_Copy, &l_x_Source), TULVO_OK);
    EXPECT_EQ(AsString(l_x_Copy.m_puc_InstanceId), "USB\\VID_2F3A&PID_0101\\SN9");
    EXPECT_EQ(AsString(l_x_Copy.m_puc_SerialNumber), "SN9");
    EXPECT_EQ(AsString(l_x_Copy.m_puc_FriendlyName), "");
    EXPECT_EQ(AsString(l_x_Copy.m_puc_DevicePath), "COM9");
    EXPECT_NE(l_x_Copy.m_puc_FriendlyName, l_x_Source.m_puc_FriendlyName);
    TulvoEnum_FreeDeviceProperties(&l_x_Source);
    EXPECT_EQ(AsString(l_x_Copy.m_puc_DevicePath), "COM9"); // the copy owns its texts
    EXPECT_EQ(TulvoEnum_FreeDeviceProperties(&l_x_Copy), TULVO_OK);
    EXPECT_EQ(l_x_Copy.m_puc_InstanceId, nullptr);
    EXPECT_EQ(l_x_Copy.m_puc_SerialNumber, nullptr);
    EXPECT_EQ(l_x_Copy.m_puc_FriendlyName, nullptr);
    EXPECT_EQ(l_x_Copy.m_puc_DevicePath, nullptr);
    EXPECT_EQ(TulvoEnum_FreeDeviceProperties(nullptr), TULVO_OK);
}

TEST(DeviceProperties, PartlyFilledRecordCopiesItsAbsentTextsAsAbsent) {
    TulvoEnum_DeviceProperties l_x_Source = {Text("ID\\X"), nullptr, nullptr, nullptr};
    TulvoEnum_DeviceProperties l_x_Copy;
    ASSERT_EQ(TulvoEnum_CopyDeviceProperties(&l_x_Copy, &l_x_Source), TULVO_OK);
    EXPECT_EQ(AsString(l_x_Copy.m_puc_InstanceId), "ID\\X");
    EXPECT_EQ(l_x_Copy.m_puc_SerialNumber, nullptr);
    EXPECT_EQ(l_x_Copy.m_puc_DevicePath, nullptr);
    TulvoEnum_FreeDeviceProperties(&l_x_Copy);
    TulvoEnum_FreeDeviceProperties(&l_x_Source);
    EXPECT_EQ(TulvoEnum_CopyDeviceProperties(&l_x_Copy, nullptr), TULVO_BAD_PARAMETER);
}

} // namespace
