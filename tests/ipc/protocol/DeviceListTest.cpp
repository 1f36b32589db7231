// ENUMDEVICES device list: the response the service writes and the bounded decoding the client
// library relies on.
#include "ipc/protocol/DeviceList.h"
#include "ipc/protocol/GestIpcFormat.h"
#include "ipc/protocol/TulvoStatus.h"
#include "tests/common/TestBytes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using tulvo_test::AsString;

unsigned char* Text(const char* i_pc_Text) {
    return reinterpret_cast<unsigned char*>(const_cast<char*>(i_pc_Text));
}

Bytes BuildResponse(const TulvoEnum_DeviceProperties* i_px_List, uint32_t i_ul_Count) {
    const uint8_t l_auc_Request[] = {0x01, 0x00, 0x08};
    uint8_t* l_puc_Response = nullptr;
    uint32_t l_ul_Length = 0;
    EXPECT_EQ(GestIpcPublic_BuildEnumDeviceResponse(i_px_List, i_ul_Count, l_auc_Request, 3,
                                                    &l_puc_Response, &l_ul_Length),
              TULVO_OK);
    Bytes l_x_Response(l_puc_Response, l_puc_Response + l_ul_Length);
    GestIpc_FreeBuffer(l_puc_Response);
    return l_x_Response;
}

TEST(DeviceList, NoDeviceIsEightBytes) {
    EXPECT_EQ(BuildResponse(nullptr, 0), (Bytes{0x01, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

TEST(DeviceList, EntriesAreFourTextsInRecordOrder) {
    TulvoEnum_DeviceProperties l_ax_List[2] = {
        {Text("I1"), Text("S1"), Text("F"), Text("COM5")},
        {Text("I2"), nullptr, Text(""), Text("COM7")}, // a missing text travels empty
    };
    const Bytes l_x_Expected = {0x01, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x02, 'I', '1', 0,
                                'S',  '1',  0,    'F',  0,    'C',  'O',  'M',  '5', 0,   'I',
                                '2',  0,    0,    0,    'C',  'O',  'M',  '7',  0};
    const Bytes l_x_Response = BuildResponse(l_ax_List, 2);
    ASSERT_EQ(l_x_Response, l_x_Expected);

    TulvoEnum_DeviceProperties* l_px_Decoded = nullptr;
    uint32_t l_ul_Count = 0;
    ASSERT_EQ(GestIpc_DecodeDeviceList(l_x_Response.data() + 7,
                                       static_cast<uint32_t>(l_x_Response.size() - 7),
                                       &l_px_Decoded, &l_ul_Count),
              TULVO_OK);
    ASSERT_EQ(l_ul_Count, 2u);
    EXPECT_EQ(AsString(l_px_Decoded[0].m_puc_InstanceId), "I1");
    EXPECT_EQ(AsString(l_px_Decoded[0].m_puc_SerialNumber), "S1");
    EXPECT_EQ(AsString(l_px_Decoded[0].m_puc_FriendlyName), "F");
    EXPECT_EQ(AsString(l_px_Decoded[0].m_puc_DevicePath), "COM5");
    EXPECT_EQ(AsString(l_px_Decoded[1].m_puc_SerialNumber), "");
    EXPECT_EQ(AsString(l_px_Decoded[1].m_puc_DevicePath), "COM7");
    GestIpc_FreeDeviceList(&l_px_Decoded, l_ul_Count);
    EXPECT_EQ(l_px_Decoded, nullptr);
}

TEST(DeviceList, CountAboveTheByteIsRefused) {
    std::vector<TulvoEnum_DeviceProperties> l_ax_List(256, TulvoEnum_DeviceProperties{});
    const uint8_t l_auc_Request[] = {0x01, 0x00, 0x08};
    uint8_t* l_puc_Response = nullptr;
    uint32_t l_ul_Length = 0;
    EXPECT_EQ(GestIpcPublic_BuildEnumDeviceResponse(l_ax_List.data(), 256, l_auc_Request, 3,
                                                    &l_puc_Response, &l_ul_Length),
              TULVO_BAD_PARAMETER);
    EXPECT_EQ(l_puc_Response, nullptr);
}

TEST(DeviceList, ListCutAnywhereIsRefusedWithoutReadingPastItsEnd) {
    const Bytes l_x_List = {0x02, 'I', '1', 0,   'S', '1', 0, 'F', 0,   'C',
                            '5',  0,   'I', '2', 0,   0,   0, 'C', '7', 0};
    for (size_t l_st_Cut = 0; l_st_Cut < l_x_List.size(); ++l_st_Cut) {
        // A copy of exactly that many bytes, so that ASan sees any read past it.
        std::vector<uint8_t> l_x_Cut(l_x_List.begin(), l_x_List.begin() + l_st_Cut);
        TulvoEnum_DeviceProperties* l_px_Decoded = nullptr;
        uint32_t l_ul_Count = 7;
        EXPECT_EQ(GestIpc_DecodeDeviceList(l_st_Cut > 0 ? l_x_Cut.data() : nullptr,
                                           static_cast<uint32_t>(l_st_Cut), &l_px_Decoded,
                                           &l_ul_Count),
                  TULVO_BAD_IPC_FORMAT)
            << "cut at " << l_st_Cut;
        EXPECT_EQ(l_px_Decoded, nullptr);
        EXPECT_EQ(l_ul_Count, 0u);
    }
}

TEST(DeviceList, CountBeyondTheEntriesIsRefusedAndEmptyListAccepted) {
    TulvoEnum_DeviceProperties* l_px_Decoded = nullptr;
    uint32_t l_ul_Count = 0;
    const Bytes l_x_Short = {0x03, 'A', 0, 'B', 0, 'C', 0, 'D', 0};
    EXPECT_EQ(GestIpc_DecodeDeviceList(l_x_Short.data(), static_cast<uint32_t>(l_x_Short.size()),
                                       &l_px_Decoded, &l_ul_Count),
              TULVO_BAD_IPC_FORMAT);
    const Bytes l_x_Tight = {0x02, 0, 0, 0, 0, 'A', 0, 0, 0};
    EXPECT_EQ(GestIpc_DecodeDeviceList(l_x_Tight.data(), static_cast<uint32_t>(l_x_Tight.size()),
                                       &l_px_Decoded, &l_ul_Count),
              TULVO_BAD_IPC_FORMAT);
    EXPECT_EQ(l_px_Decoded, nullptr);
    const Bytes l_x_Empty = {0x00};
    EXPECT_EQ(GestIpc_DecodeDeviceList(l_x_Empty.data(), 1, &l_px_Decoded, &l_ul_Count), TULVO_OK);
    EXPECT_EQ(l_px_Decoded, nullptr);
    EXPECT_EQ(l_ul_Count, 0u);
}

} // namespace
