// ILV records: encodings written from the record layout, the length-form switch in both
// directions, the checks on device input and the buffer-descriptor room checks.
#include "device/link/Ilv.h"
#include "ipc/protocol/TulvoStatus.h"

#include <gtest/gtest.h>

#include <string.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Init(uint16_t i_us_Identifier) {
    uint8_t l_auc_Record[8] = {};
    uint32_t l_ul_Size = 0;
    EXPECT_EQ(ILV_Init(l_auc_Record, &l_ul_Size, i_us_Identifier), TULVO_OK);
    return Bytes(l_auc_Record, l_auc_Record + l_ul_Size);
}

int32_t Check(const Bytes& i_x_Bytes) {
    // An exact-size copy, so that ASan catches any read past the count.
    Bytes l_x_Copy(i_x_Bytes);
    return ILV_Check(l_x_Copy.empty() ? nullptr : l_x_Copy.data(),
                     static_cast<uint32_t>(l_x_Copy.size()));
}

TEST(IlvInit, RequestsTheServiceSendsOnTheWire) {
    EXPECT_EQ(Init(ILV_GET_RUN_LEVEL), (Bytes{0xFE, 0x02, 0x00, 0x32, 0x01}));
    EXPECT_EQ(Init(ILV_GET_SERIAL_NUMBER), (Bytes{0x80, 0x00, 0x00}));
    EXPECT_EQ(Init(ILV_CANCEL), (Bytes{0x70, 0x00, 0x00}));
    EXPECT_EQ(Init(ILV_REALTIMELOG_CANCEL), (Bytes{0xFE, 0x02, 0x00, 0x34, 0x01}));
}

TEST(IlvInit, IdentifierRangesPickTheirForm) {
    EXPECT_EQ(Init(0x00FD), (Bytes{0xFD, 0x00, 0x00}));
    EXPECT_EQ(Init(0x0000), (Bytes{0x00, 0x00, 0x00}));
    EXPECT_EQ(Init(0x00FE), (Bytes{0xFE, 0x02, 0x00, 0xFE, 0x00}));
    EXPECT_EQ(Init(0x00FF), (Bytes{0xFE, 0x02, 0x00, 0xFF, 0x00}));
    EXPECT_EQ(Init(0xFEFF), (Bytes{0xFE, 0x02, 0x00, 0xFF, 0xFE}));
    EXPECT_EQ(Init(0xFF00), (Bytes{0xFF, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Init(0xFF12), (Bytes{0xFF, 0x12, 0x00, 0x00}));
    // The extended form is not allowed to carry identifiers the one-byte form could.
    EXPECT_EQ(Check(Init(0x00FE)), TULVO_ILV_BAD_EXTENDED_ID);
    EXPECT_EQ(Check(Init(0x00FF)), TULVO_ILV_BAD_EXTENDED_ID);
    EXPECT_EQ(Check(Init(0x00FD)), TULVO_OK);
    EXPECT_EQ(Check(Init(0x0100)), TULVO_OK);
}

TEST(IlvReaders, HighAndExtendedRecordsReadBack) {
    const Bytes l_x_High = {0xFF, 0x12, 0x00, 0x00};
    EXPECT_EQ(ILV_GetIdentifier(l_x_High.data()), 0xFF12);
    EXPECT_EQ(ILV_GetLength(l_x_High.data()), 0u);
    EXPECT_EQ(ILV_GetHeaderSize(l_x_High.data()), 4u);
    EXPECT_EQ(ILV_GetSize(l_x_High.data()), 4u);

    const Bytes l_x_RunLevel = {0xFE, 0x02, 0x00, 0x32, 0x01};
    EXPECT_EQ(ILV_GetIdentifier(l_x_RunLevel.data()), 0x0132);
    EXPECT_EQ(l_x_RunLevel[1] | (l_x_RunLevel[2] << 8), 2); // stored length counts the id
    EXPECT_EQ(ILV_GetLength(l_x_RunLevel.data()), 0u);
    EXPECT_EQ(ILV_GetHeaderSize(l_x_RunLevel.data()), 5u);
    EXPECT_EQ(ILV_GetSize(l_x_RunLevel.data()), 5u);

    // A serial-number reply: status byte 0, then the text.
    const Bytes l_x_Reply = {0x80, 0x04, 0x00, 0x00, 'A', 'B', 'C'};
    ASSERT_EQ(Check(l_x_Reply), TULVO_OK);
    EXPECT_EQ(ILV_GetLength(l_x_Reply.data()), 4u);
    EXPECT_EQ(ILV_GetValue(l_x_Reply.data()), l_x_Reply.data() + 3);
    // Long form holding a short value, as a device may send it.
    const Bytes l_x_Long = {0x71, 0xFF, 0xFF, 0x01, 0x00, 0x00, 0x00, 0xAA};
    ASSERT_EQ(Check(l_x_Long), TULVO_OK);
    EXPECT_EQ(ILV_GetHeaderSize(l_x_Long.data()), 7u);
    EXPECT_EQ(*ILV_GetValue(l_x_Long.data()), 0xAA);
}

TEST(IlvCheck, OneByteMoreOrLessIsInvalidInEveryForm) {
    const Bytes l_ax_Records[] = {
        {0x80, 0x02, 0x00, 0x01, 0x02},
        {0xFF, 0x12, 0x01, 0x00, 0x09},
        {0xFE, 0x03, 0x00, 0x32, 0x01, 0x07},
        {0x71, 0xFF, 0xFF, 0x02, 0x00, 0x00, 0x00, 0xAA, 0xBB},
        {0xFE, 0xFF, 0xFF, 0x02, 0x00, 0x00, 0x00, 0x35, 0x01},
        {0x80, 0x00, 0x00},
    };
    for (const Bytes& l_x_Record : l_ax_Records) {
        EXPECT_EQ(Check(l_x_Record), TULVO_OK);
        Bytes l_x_Longer(l_x_Record);
        l_x_Longer.push_back(0x00);
        EXPECT_EQ(Check(l_x_Longer), TULVO_ILV_INVALID);
        Bytes l_x_Shorter(l_x_Record.begin(), l_x_Record.end() - 1);
        EXPECT_EQ(Check(l_x_Shorter), TULVO_ILV_INVALID);
    }
}

TEST(IlvCheck, HeadersTooShortOrLengthsThatCannotHoldTheIdentifier) {
    EXPECT_EQ(Check({}), TULVO_ILV_INVALID);
    EXPECT_EQ(Check({0x80}), TULVO_ILV_INVALID);
    EXPECT_EQ(Check({0x80, 0x00}), TULVO_ILV_INVALID);
    EXPECT_EQ(Check({0xFF, 0x12, 0x00}), TULVO_ILV_INVALID);
    EXPECT_EQ(Check({0x80, 0xFF, 0xFF, 0x00, 0x00}), TULVO_ILV_INVALID);
    EXPECT_EQ(Check({0xFE, 0x02, 0x00, 0x32}), TULVO_ILV_INVALID);
    EXPECT_EQ(Check({0xFE, 0x00, 0x00, 0x32, 0x01}), TULVO_ILV_INVALID);
    EXPECT_EQ(Check({0xFE, 0x01, 0x00, 0x32, 0x01}), TULVO_ILV_INVALID);
    // A 32-bit length that wraps the size sum must not pass as a match.
    EXPECT_EQ(Check({0x80, 0xFF, 0xFF, 0xFA, 0xFF, 0xFF, 0xFF}), TULVO_ILV_INVALID);
    EXPECT_EQ(Check({0xFE, 0xFF, 0xFF, 0x01, 0x00, 0x00, 0x00, 0x32, 0x01}), TULVO_ILV_INVALID);
}

TEST(IlvLength, GrowingToFFFFSwitchesToLongFormAndBack) {
    Bytes l_x_Buffer(0x10010 + 16, 0xEE);
    uint32_t l_ul_Size = 0;
    ILV_Init(l_x_Buffer.data(), &l_ul_Size, 0x0080);
    Bytes l_x_Value(0xFFFE);
    for (size_t l_st_Index = 0; l_st_Index < l_x_Value.size(); ++l_st_Index) {
        l_x_Value[l_st_Index] = static_cast<uint8_t>(l_st_Index * 7);
    }
    ASSERT_EQ(ILV_AddValue(l_x_Buffer.data(), &l_ul_Size, l_x_Value.data(), 0xFFFE), TULVO_OK);
    EXPECT_EQ(l_ul_Size, 3u + 0xFFFE);
    EXPECT_EQ(Bytes(l_x_Buffer.begin(), l_x_Buffer.begin() + 3), (Bytes{0x80, 0xFE, 0xFF}));

    const uint8_t l_uc_Last = 0x5A;
    ASSERT_EQ(ILV_AddValue(l_x_Buffer.data(), &l_ul_Size, &l_uc_Last, 1), TULVO_OK);
    EXPECT_EQ(l_ul_Size, 3u + 0xFFFF + 4);
    EXPECT_EQ(Bytes(l_x_Buffer.begin(), l_x_Buffer.begin() + 7),
              (Bytes{0x80, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00}));
    EXPECT_EQ(Check(Bytes(l_x_Buffer.begin(), l_x_Buffer.begin() + l_ul_Size)), TULVO_OK);
    EXPECT_EQ(Bytes(l_x_Buffer.begin() + 7, l_x_Buffer.begin() + 7 + 0xFFFE), l_x_Value);
    EXPECT_EQ(l_x_Buffer[7 + 0xFFFE], l_uc_Last);

    ASSERT_EQ(ILV_SetLength(l_x_Buffer.data(), &l_ul_Size, 0xFFFE), TULVO_OK);
    EXPECT_EQ(Bytes(l_x_Buffer.begin(), l_x_Buffer.begin() + 3), (Bytes{0x80, 0xFE, 0xFF}));
    EXPECT_EQ(ILV_GetSize(l_x_Buffer.data()), 3u + 0xFFFE);
    EXPECT_EQ(Bytes(l_x_Buffer.begin() + 3, l_x_Buffer.begin() + 3 + 0xFFFE), l_x_Value);
}

TEST(IlvLength, ExtendedRecordKeepsItsIdentifierAcrossTheSwitch) {
    Bytes l_x_Buffer(0x10010 + 16, 0x00);
    uint32_t l_ul_Size = 0;
    ILV_Init(l_x_Buffer.data(), &l_ul_Size, 0x0135);
    const Bytes l_x_Value(0xFFFD, 0x42);
    ASSERT_EQ(ILV_AddValue(l_x_Buffer.data(), &l_ul_Size, l_x_Value.data(), 0xFFFD), TULVO_OK);
    // Stored length 0xFFFF (value + identifier): the long form.
    EXPECT_EQ(Bytes(l_x_Buffer.begin(), l_x_Buffer.begin() + 9),
              (Bytes{0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x35, 0x01}));
    EXPECT_EQ(l_ul_Size, 9u + 0xFFFD);
    EXPECT_EQ(ILV_GetIdentifier(l_x_Buffer.data()), 0x0135);
    EXPECT_EQ(ILV_GetLength(l_x_Buffer.data()), 0xFFFDu);
    ASSERT_EQ(ILV_SetLength(l_x_Buffer.data(), &l_ul_Size, 0xFFFC), TULVO_OK);
    EXPECT_EQ(Bytes(l_x_Buffer.begin(), l_x_Buffer.begin() + 5),
              (Bytes{0xFE, 0xFE, 0xFF, 0x35, 0x01}));
    EXPECT_EQ(ILV_GetIdentifier(l_x_Buffer.data()), 0x0135);
    EXPECT_EQ(l_x_Buffer[5], 0x42);
}

TEST(IlvReadValue, OverflowLeavesThePosition) {
    const Bytes l_x_Record = {0x80, 0x04, 0x00, 0x0A, 0x0B, 0x0C, 0x0D};
    uint8_t l_auc_Out[4] = {};
    uint32_t l_ul_Position = 3;
    EXPECT_EQ(ILV_ReadValue(l_x_Record.data(), &l_ul_Position, l_auc_Out, 2),
              TULVO_ILV_READ_OVERFLOW);
    EXPECT_EQ(l_ul_Position, 3u);
    l_ul_Position = 2;
    ASSERT_EQ(ILV_ReadValue(l_x_Record.data(), &l_ul_Position, l_auc_Out, 2), TULVO_OK);
    EXPECT_EQ(l_ul_Position, 4u);
    EXPECT_EQ(l_auc_Out[0], 0x0C);
    EXPECT_EQ(l_auc_Out[1], 0x0D);
    EXPECT_EQ(ILV_ReadValue(l_x_Record.data(), &l_ul_Position, l_auc_Out, 0), TULVO_OK);
    l_ul_Position = 5;
    EXPECT_EQ(ILV_ReadValue(l_x_Record.data(), &l_ul_Position, l_auc_Out, 0),
              TULVO_ILV_READ_OVERFLOW);
    l_ul_Position = 1;
    EXPECT_EQ(ILV_ReadValue(l_x_Record.data(), &l_ul_Position, l_auc_Out, 0xFFFFFFFF),
              TULVO_ILV_READ_OVERFLOW);
}

TEST(IlvBuffer, BuildChecksRoomBeforeWriting) {
    uint8_t l_auc_Buffer[16];
    memset(l_auc_Buffer, 0xEE, sizeof(l_auc_Buffer));
    ILV_Buffer l_x_Buffer = {4, l_auc_Buffer};
    EXPECT_EQ(ILV_BuildInBuffer(&l_x_Buffer, ILV_GET_RUN_LEVEL, nullptr, nullptr),
              TULVO_ILV_BUFFER_TOO_SMALL);
    EXPECT_EQ(l_auc_Buffer[0], 0xEE); // not even the empty record fits

    const uint8_t l_auc_Value[] = {0x01, 0x02};
    const ILV_Value l_x_Value = {2, l_auc_Value};
    l_x_Buffer.m_ul_Capacity = 4;
    EXPECT_EQ(ILV_BuildInBuffer(&l_x_Buffer, ILV_GET_SERIAL_NUMBER, &l_x_Value, nullptr),
              TULVO_ILV_BUFFER_TOO_SMALL);
    EXPECT_EQ(l_auc_Buffer[3], 0xEE); // nothing beyond the header
    l_x_Buffer.m_ul_Capacity = 5;
    uint32_t l_ul_Size = 0;
    ASSERT_EQ(ILV_BuildInBuffer(&l_x_Buffer, ILV_GET_SERIAL_NUMBER, &l_x_Value, &l_ul_Size),
              TULVO_OK);
    EXPECT_EQ(Bytes(l_auc_Buffer, l_auc_Buffer + l_ul_Size), (Bytes{0x80, 0x02, 0x00, 0x01, 0x02}));

    l_x_Buffer.m_ul_Capacity = 7;
    ASSERT_EQ(ILV_BuildInBuffer(&l_x_Buffer, 0x0171, &l_x_Value, &l_ul_Size), TULVO_OK);
    EXPECT_EQ(Bytes(l_auc_Buffer, l_auc_Buffer + l_ul_Size),
              (Bytes{0xFE, 0x04, 0x00, 0x71, 0x01, 0x01, 0x02}));
}

TEST(IlvBuffer, AppendCountsTheLongFormSwitchInTheRoom) {
    Bytes l_x_Storage(3 + 0xFFFF + 4, 0x00);
    ILV_Buffer l_x_Buffer = {0, l_x_Storage.data()};
    uint32_t l_ul_Size = 0;
    ILV_Init(l_x_Storage.data(), &l_ul_Size, 0x0071);
    const Bytes l_x_Chunk(0xFFFF, 0x33);
    // Value bytes alone would fit in size + count; the grown length field would not.
    l_x_Buffer.m_ul_Capacity = 3 + 0xFFFF;
    EXPECT_EQ(ILV_AppendToBuffer(&l_x_Buffer, 0xFFFF, l_x_Chunk.data(), &l_ul_Size),
              TULVO_ILV_BUFFER_TOO_SMALL);
    EXPECT_EQ(Bytes(l_x_Storage.begin(), l_x_Storage.begin() + 3), (Bytes{0x71, 0x00, 0x00}));
    l_x_Buffer.m_ul_Capacity = 3 + 0xFFFF + 4;
    ASSERT_EQ(ILV_AppendToBuffer(&l_x_Buffer, 0xFFFF, l_x_Chunk.data(), &l_ul_Size), TULVO_OK);
    EXPECT_EQ(l_ul_Size, 3u + 0xFFFF + 4);
    EXPECT_EQ(Check(l_x_Storage), TULVO_OK);
    EXPECT_EQ(ILV_AppendToBuffer(&l_x_Buffer, 1, l_x_Chunk.data(), nullptr),
              TULVO_ILV_BUFFER_TOO_SMALL);
}

TEST(IlvBuffer, AppendExactFitAndOneShort) {
    uint8_t l_auc_Buffer[6] = {};
    ILV_Buffer l_x_Buffer = {5, l_auc_Buffer};
    uint32_t l_ul_Size = 0;
    ILV_Init(l_auc_Buffer, &l_ul_Size, 0x0080);
    const uint8_t l_auc_Bytes[] = {0xA1, 0xA2, 0xA3};
    EXPECT_EQ(ILV_AppendToBuffer(&l_x_Buffer, 3, l_auc_Bytes, &l_ul_Size),
              TULVO_ILV_BUFFER_TOO_SMALL);
    EXPECT_EQ(l_ul_Size, 3u);
    ASSERT_EQ(ILV_AppendToBuffer(&l_x_Buffer, 2, l_auc_Bytes, &l_ul_Size), TULVO_OK);
    EXPECT_EQ(l_ul_Size, 5u);
    EXPECT_EQ(Bytes(l_auc_Buffer, l_auc_Buffer + 5), (Bytes{0x80, 0x02, 0x00, 0xA1, 0xA2}));
}

} // namespace
