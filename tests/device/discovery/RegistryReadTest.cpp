// Growing-buffer registry reads and the registry dump, on private keys of the current user.
#include "device/discovery/TulvoRegistry.h"
#include "tests/device/discovery/DiscoveryTestSupport.h"

#include <gtest/gtest.h>

#include <malloc.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>

namespace {

using tulvo_test::CTraceCapture;

// A fresh key under HKCU per test, deleted with everything below it afterwards.
class RegistryReadTest : public ::testing::Test {
protected:
    void SetUp() override {
        static int s_i_Counter = 0;
        char l_ac_Path[128];
        snprintf(l_ac_Path, sizeof(l_ac_Path), "Software\\TulvoDiscoveryTest\\%lu-%d",
                 static_cast<unsigned long>(GetCurrentProcessId()), ++s_i_Counter);
        m_x_Path = l_ac_Path;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, m_x_Path.c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &m_h_Key, nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        RegCloseKey(m_h_Key);
        RegDeleteTreeA(HKEY_CURRENT_USER, m_x_Path.c_str());
        free(m_puc_Buffer);
    }
    void SetValue(HKEY i_h_Key, const char* i_pc_Name, DWORD i_ul_Type, const void* i_pv_Data,
                  DWORD i_ul_Size) {
        ASSERT_EQ(RegSetValueExA(i_h_Key, i_pc_Name, 0, i_ul_Type,
                                 static_cast<const BYTE*>(i_pv_Data), i_ul_Size),
                  ERROR_SUCCESS);
    }
    HKEY SubKey(const char* i_pc_Name) {
        HKEY l_h_Key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(m_h_Key, i_pc_Name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &l_h_Key, nullptr),
                  ERROR_SUCCESS);
        return l_h_Key;
    }
    std::string m_x_Path;
    HKEY m_h_Key = nullptr;
    unsigned char* m_puc_Buffer = nullptr;
    DWORD m_ul_Size = 0;
};

TEST_F(RegistryReadTest, BufferGrowsForALongerValueAndIsKeptForAShorterOne) {
    SetValue(m_h_Key, "PortName", REG_SZ, "COM123456", 10);
    m_puc_Buffer = static_cast<unsigned char*>(malloc(8));
    m_ul_Size = 8;
    ASSERT_TRUE(MyRegQueryValueEx(m_h_Key, "PortName", &m_puc_Buffer, &m_ul_Size));
    EXPECT_EQ(m_ul_Size, 10u);
    EXPECT_STREQ(reinterpret_cast<char*>(m_puc_Buffer), "COM123456");

    const unsigned char* l_puc_Block = m_puc_Buffer;
    SetValue(m_h_Key, "PortName", REG_SZ, "COM12", 6);
    ASSERT_TRUE(MyRegQueryValueEx(m_h_Key, "PortName", &m_puc_Buffer, &m_ul_Size));
    EXPECT_EQ(m_puc_Buffer, l_puc_Block);
    EXPECT_EQ(m_ul_Size, 6u);
    EXPECT_STREQ(reinterpret_cast<char*>(m_puc_Buffer), "COM12");

    // The size now reads 6, so an 8-byte value grows the block again.
    SetValue(m_h_Key, "PortName", REG_SZ, "COM1234", 8);
    ASSERT_TRUE(MyRegQueryValueEx(m_h_Key, "PortName", &m_puc_Buffer, &m_ul_Size));
    EXPECT_EQ(m_ul_Size, 8u);
    EXPECT_STREQ(reinterpret_cast<char*>(m_puc_Buffer), "COM1234");
}

TEST_F(RegistryReadTest, StringStoredWithoutItsZeroIsTerminatedInsideTheCallersSize) {
    SetValue(m_h_Key, "PortName", REG_SZ, "COM5XXXX", 4);
    ASSERT_TRUE(MyRegQueryValueEx(m_h_Key, "PortName", &m_puc_Buffer, &m_ul_Size));
    EXPECT_EQ(m_ul_Size, 4u);
    EXPECT_STREQ(reinterpret_cast<char*>(m_puc_Buffer), "COM5");

    // A caller's block with room for the value and its two zeros is kept, and nothing past
    // the size it was given is touched.
    free(m_puc_Buffer);
    m_puc_Buffer = static_cast<unsigned char*>(malloc(16));
    memset(m_puc_Buffer, 0xEE, 16);
    const unsigned char* l_puc_Block = m_puc_Buffer;
    m_ul_Size = 6;
    ASSERT_TRUE(MyRegQueryValueEx(m_h_Key, "PortName", &m_puc_Buffer, &m_ul_Size));
    ASSERT_EQ(m_puc_Buffer, l_puc_Block);
    EXPECT_STREQ(reinterpret_cast<char*>(m_puc_Buffer), "COM5");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(m_puc_Buffer) + 6, 10), std::string(10, '\xEE'));
    // One byte less and the zeros would run past it: the block is replaced by one that
    // holds the value and its zeros.
    memset(m_puc_Buffer, 0xEE, 16);
    m_ul_Size = 5;
    ASSERT_TRUE(MyRegQueryValueEx(m_h_Key, "PortName", &m_puc_Buffer, &m_ul_Size));
    EXPECT_EQ(_msize(m_puc_Buffer), 4u + TULVOREG_BUFFER_SLACK)
        << "the caller's block was kept and written past its size";
    EXPECT_EQ(m_ul_Size, 4u);
    EXPECT_STREQ(reinterpret_cast<char*>(m_puc_Buffer), "COM5");
}

TEST_F(RegistryReadTest, MissingValueFailsWithTheRegistryStatusAndEmptyValueGivesNoBuffer) {
    CTraceCapture l_x_Trace;
    SetLastError(0);
    EXPECT_FALSE(MyRegQueryValueEx(m_h_Key, "PortName", &m_puc_Buffer, &m_ul_Size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(m_puc_Buffer, nullptr);
    SetValue(m_h_Key, "PortName", REG_SZ, "", 0);
    EXPECT_TRUE(MyRegQueryValueEx(m_h_Key, "PortName", &m_puc_Buffer, &m_ul_Size));
    EXPECT_EQ(m_puc_Buffer, nullptr);
    EXPECT_EQ(m_ul_Size, 0u);
    EXPECT_TRUE(l_x_Trace.Messages().empty());
}

TEST_F(RegistryReadTest, DumpListsHeaderValuesAndSubkeysInOneMessage) {
    // Created in name order, so that creation order and name order agree: which of them the
    // registry enumerates in is the system's affair.
    SetValue(m_h_Key, "\\Device\\USBSER005", REG_SZ, "COM5", 5);
    SetValue(m_h_Key, "Bare", REG_SZ, "COM9Z", 4);
    SetValue(m_h_Key, "Blob", REG_BINARY, "\x01\x02", 2);
    SetValue(m_h_Key, "Multi", REG_MULTI_SZ, "first\0second\0", 14);
    HKEY l_h_Sub = SubKey("Sub");
    SetValue(l_h_Sub, "Inner", REG_EXPAND_SZ, "%X%", 4);
    RegCloseKey(l_h_Sub);
    RegCloseKey(SubKey("Sub\\Deeper"));

    CTraceCapture l_x_Trace;
    RegistryDump(HKEY_CURRENT_USER, m_x_Path.c_str());
    const std::string l_x_Root = "[HKEY_CURRENT_USER\\" + m_x_Path;
    ASSERT_EQ(l_x_Trace.Messages(),
              std::vector<std::string>{"Registry dump :\n" + l_x_Root + "]\n" +
                                       "\"\\Device\\USBSER005\"=COM5\n"
                                       "\"Bare\"=COM9\n"
                                       "\"Blob\"=bin\n"
                                       "\"Multi\"=first\n" +
                                       l_x_Root + "\\Sub]\n" + "\"Inner\"=%X%\n" + l_x_Root +
                                       "\\Sub\\Deeper]\n"});
}

TEST_F(RegistryReadTest, DumpOfAnEmptyOrMissingKeyHoldsTheHeaderLineOnly) {
    CTraceCapture l_x_Trace;
    RegistryDump(HKEY_CURRENT_USER, m_x_Path.c_str());
    RegistryDump(HKEY_CURRENT_USER, (m_x_Path + "\\Absent").c_str());
    EXPECT_EQ(l_x_Trace.Messages(),
              (std::vector<std::string>{"Registry dump :\n[HKEY_CURRENT_USER\\" + m_x_Path + "]\n",
                                        "Registry dump :\n[HKEY_CURRENT_USER\\" + m_x_Path +
                                            "\\Absent]\n"}));
}

TEST_F(RegistryReadTest, DumpKeyNamesOtherRootsAndReportsTheOpenStatus) {
    SetValue(m_h_Key, "V", REG_SZ, "1", 2);
    char* l_pc_Text = nullptr;
    DWORD l_ul_Size = 0;
    EXPECT_EQ(RegistryDumpKey(m_h_Key, "", &l_pc_Text, &l_ul_Size), ERROR_SUCCESS);
    ASSERT_NE(l_pc_Text, nullptr);
    EXPECT_STREQ(l_pc_Text, "[Unknown Key\\]\n\"V\"=1\n");
    EXPECT_EQ(l_ul_Size, strlen(l_pc_Text) + 1);
    EXPECT_EQ(
        RegistryDumpKey(HKEY_CURRENT_USER, (m_x_Path + "\\Absent").c_str(), &l_pc_Text, &l_ul_Size),
        ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(std::string(l_pc_Text),
              "[Unknown Key\\]\n\"V\"=1\n[HKEY_CURRENT_USER\\" + m_x_Path + "\\Absent]\n");
    free(l_pc_Text);
}

TEST_F(RegistryReadTest, DumpLeavesOutValuesTooLongForItsBuffers) {
    const std::string l_x_Long(1500, 'L');
    SetValue(m_h_Key, "Long", REG_SZ, l_x_Long.c_str(), static_cast<DWORD>(l_x_Long.size() + 1));
    SetValue(m_h_Key, l_x_Long.substr(0, 1100).c_str(), REG_SZ, "x", 2);
    SetValue(m_h_Key, "Short", REG_SZ, "ok", 3);
    CTraceCapture l_x_Trace;
    RegistryDump(HKEY_CURRENT_USER, m_x_Path.c_str());
    EXPECT_EQ(l_x_Trace.Messages(),
              std::vector<std::string>{"Registry dump :\n[HKEY_CURRENT_USER\\" + m_x_Path +
                                       "]\n\"Short\"=ok\n"});
}

} // namespace
