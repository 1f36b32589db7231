// The records a device object reads itself, at the byte level: built in the host tree too,
// where every buffer below is an exact-size heap block under AddressSanitizer, so a read one
// byte past a short frame or reply fails the test.
#include "device/manager/GestVekRecords.h"

#include "tests/device/link/IlvRecord.h"
#include "device/link/Ilv.h"
#include "ipc/protocol/TulvoStatus.h"

#include <gtest/gtest.h>

#include <memory>
#include <string.h>
#include <string>
#include <vector>

using tulvo_test::IlvRecord;

namespace {

// An exact-size heap copy of the first i_st_Length bytes.
std::unique_ptr<uint8_t[]> Exact(const std::vector<uint8_t>& i_x_Bytes, size_t i_st_Length) {
    std::unique_ptr<uint8_t[]> l_x_Copy(new uint8_t[i_st_Length]);
    memcpy(l_x_Copy.get(), i_x_Bytes.data(), i_st_Length);
    return l_x_Copy;
}

std::vector<uint8_t> SerialReply(uint8_t i_uc_Status, const std::string& i_x_Text) {
    std::vector<uint8_t> l_x_Value = {i_uc_Status, 9, 9, 9};
    l_x_Value.insert(l_x_Value.end(), i_x_Text.begin(), i_x_Text.end());
    return IlvRecord(ILV_GET_SERIAL_NUMBER, l_x_Value);
}

const std::string DEFAULT_SERIAL(GESTVEK_SERIAL_NUMBER_LENGTH, '0');

} // namespace

TEST(GestVekRecords, FrameTooShortForItsIdentifierHasNone) {
    struct SCase {
        std::vector<uint8_t> m_x_Frame;
        uint32_t m_ul_Needed; // bytes up to the end of the identifier
        uint16_t m_us_Identifier;
    };
    const SCase l_ax_Cases[] = {
        {{0x12, 0x00, 0x00}, 1, 0x0012},
        {{0x00, 0x00, 0x00}, 1, 0x0000},
        {{0xFF, 0x34, 0x00, 0x00}, 2, 0xFF34},
        {{0xFE, 0x02, 0x00, 0x35, 0x01}, 5, 0x0135},
        {{0xFE, 0xFF, 0xFF, 0x02, 0x00, 0x00, 0x00, 0x70, 0x01}, 9, 0x0170},
    };
    for (const SCase& l_x_Case : l_ax_Cases) {
        for (size_t l_st_Length = 0; l_st_Length <= l_x_Case.m_x_Frame.size(); ++l_st_Length) {
            SCOPED_TRACE(l_st_Length);
            auto l_x_Frame = Exact(l_x_Case.m_x_Frame, l_st_Length);
            uint16_t l_us_Identifier = 0xAAAA;
            const bool l_b_Has = GestVek_GetFrameIdentifier(
                l_x_Frame.get(), static_cast<uint32_t>(l_st_Length), &l_us_Identifier);
            EXPECT_EQ(l_st_Length >= l_x_Case.m_ul_Needed, l_b_Has);
            EXPECT_EQ(l_b_Has ? l_x_Case.m_us_Identifier : 0, l_us_Identifier);
        }
    }
}

TEST(GestVekRecords, RepliesAreReadNoFurtherThanTheyGo) {
    const struct {
        std::vector<uint8_t> m_x_Reply;
        int32_t m_i_Status;
        int m_i_Level;
    } l_ax_RunLevels[] = {
        {IlvRecord(ILV_GET_RUN_LEVEL, {0, 3}), TULVO_OK, 3},
        // A failure status from the device: no run level, and no failure either.
        {IlvRecord(ILV_GET_RUN_LEVEL, {7}), TULVO_OK, 0xFF},
        {IlvRecord(ILV_GET_RUN_LEVEL, {0}), TULVO_ILV_READ_OVERFLOW, 0xFF},
        {IlvRecord(ILV_GET_RUN_LEVEL), TULVO_ILV_READ_OVERFLOW, 0xFF},
        {IlvRecord(ILV_INVALID), TULVO_NO_RESPONSE, 0xFF},
        {{0xFE, 0x04, 0x00, 0x32, 0x01, 0x00}, TULVO_ILV_INVALID, 0xFF},
    };
    for (const auto& l_x_Case : l_ax_RunLevels) {
        auto l_x_Reply = Exact(l_x_Case.m_x_Reply, l_x_Case.m_x_Reply.size());
        uint8_t l_uc_Level = 0;
        EXPECT_EQ(l_x_Case.m_i_Status,
                  GestVek_ReadRunLevel(l_x_Reply.get(),
                                       static_cast<uint32_t>(l_x_Case.m_x_Reply.size()),
                                       &l_uc_Level));
        EXPECT_EQ(l_x_Case.m_i_Level, l_uc_Level);
    }
    const std::string l_x_Serial = "SN0123456789ABCDEFGHI";
    const struct {
        std::vector<uint8_t> m_x_Reply;
        int32_t m_i_Status;
        std::string m_x_Text;
    } l_ax_Serials[] = {
        // Bytes beyond the 21 of the text are not part of it.
        {SerialReply(0, l_x_Serial + "XYZ"), TULVO_OK, l_x_Serial},
        {SerialReply(4, l_x_Serial), TULVO_OK, DEFAULT_SERIAL},
        {IlvRecord(ILV_INVALID), TULVO_OK, DEFAULT_SERIAL},
        {IlvRecord(ILV_GET_RUN_LEVEL, {0, 1}), TULVO_NO_RESPONSE, DEFAULT_SERIAL},
        {SerialReply(0, l_x_Serial.substr(1)), TULVO_ILV_READ_OVERFLOW, DEFAULT_SERIAL},
        {IlvRecord(ILV_GET_SERIAL_NUMBER), TULVO_ILV_READ_OVERFLOW, DEFAULT_SERIAL},
    };
    for (const auto& l_x_Case : l_ax_Serials) {
        auto l_x_Reply = Exact(l_x_Case.m_x_Reply, l_x_Case.m_x_Reply.size());
        char l_ac_Text[GESTVEK_SERIAL_NUMBER_SIZE];
        memset(l_ac_Text, 'x', sizeof(l_ac_Text));
        EXPECT_EQ(l_x_Case.m_i_Status,
                  GestVek_ReadSerialNumber(l_x_Reply.get(),
                                           static_cast<uint32_t>(l_x_Case.m_x_Reply.size()),
                                           l_ac_Text));
        EXPECT_EQ(l_x_Case.m_x_Text, std::string(l_ac_Text));
        EXPECT_EQ(0, memcmp(l_ac_Text + GESTVEK_SERIAL_NUMBER_LENGTH, "\0\0\0", 3));
    }
}
