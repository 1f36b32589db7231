// ILV_Check on hostile bytes, then every reader on what it accepts: nothing may read past the
// record, and the record must rebuild from its identifier and value.
#include "device/link/Ilv.h"
#include "ipc/protocol/TulvoStatus.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* i_puc_Data, size_t i_st_Size) {
    if (i_st_Size > 0xFFFFFFu) {
        return 0;
    }
    const uint32_t l_ul_Size = static_cast<uint32_t>(i_st_Size);
    const int32_t l_i_Status = ILV_Check(i_st_Size > 0 ? i_puc_Data : nullptr, l_ul_Size);
    if (l_i_Status != TULVO_OK) {
        if (l_i_Status != TULVO_ILV_INVALID && l_i_Status != TULVO_ILV_BAD_EXTENDED_ID) {
            abort();
        }
        return 0;
    }
    const uint16_t l_us_Identifier = ILV_GetIdentifier(i_puc_Data);
    const uint32_t l_ul_Length = ILV_GetLength(i_puc_Data);
    const uint32_t l_ul_Header = ILV_GetHeaderSize(i_puc_Data);
    if (ILV_GetSize(i_puc_Data) != l_ul_Size || l_ul_Header + l_ul_Length != l_ul_Size ||
        ILV_GetValue(i_puc_Data) != i_puc_Data + l_ul_Header) {
        abort();
    }

    // Read the value in steps of growing size, then one byte too many.
    std::vector<uint8_t> l_x_Value(l_ul_Length + 1);
    uint32_t l_ul_Position = 0;
    uint32_t l_ul_Step = 1;
    while (l_ul_Position < l_ul_Length) {
        const uint32_t l_ul_Count =
            l_ul_Step < l_ul_Length - l_ul_Position ? l_ul_Step : l_ul_Length - l_ul_Position;
        if (ILV_ReadValue(i_puc_Data, &l_ul_Position, l_x_Value.data() + l_ul_Position,
                          l_ul_Count) != TULVO_OK) {
            abort();
        }
        ++l_ul_Step;
    }
    if (ILV_ReadValue(i_puc_Data, &l_ul_Position, l_x_Value.data(), 1) != TULVO_ILV_READ_OVERFLOW ||
        l_ul_Position != l_ul_Length ||
        (l_ul_Length > 0 && memcmp(l_x_Value.data(), i_puc_Data + l_ul_Header, l_ul_Length))) {
        abort();
    }

    // Rebuild from identifier and value in a buffer of exactly the canonical size.
    std::vector<uint8_t> l_x_Storage(l_ul_Length + 16);
    ILV_Buffer l_x_Buffer = {static_cast<uint32_t>(l_x_Storage.size()), l_x_Storage.data()};
    const ILV_Value l_x_In = {l_ul_Length, l_ul_Length > 0 ? i_puc_Data + l_ul_Header : nullptr};
    uint32_t l_ul_Built = 0;
    if (ILV_BuildInBuffer(&l_x_Buffer, l_us_Identifier, &l_x_In, &l_ul_Built) != TULVO_OK) {
        abort();
    }
    std::vector<uint8_t> l_x_Exact(l_x_Storage.begin(), l_x_Storage.begin() + l_ul_Built);
    const int32_t l_i_Rebuilt = ILV_Check(l_x_Exact.data(), l_ul_Built);
    const bool l_b_ExtendedLow = l_us_Identifier >= 0xFE && l_us_Identifier <= 0xFF;
    if ((l_b_ExtendedLow ? l_i_Rebuilt != TULVO_ILV_BAD_EXTENDED_ID : l_i_Rebuilt != TULVO_OK) ||
        ILV_GetIdentifier(l_x_Exact.data()) != l_us_Identifier ||
        ILV_GetLength(l_x_Exact.data()) != l_ul_Length) {
        abort();
    }
    // One byte less room than the record needs must be refused.
    l_x_Buffer.m_ul_Capacity = l_ul_Built - 1;
    if (ILV_BuildInBuffer(&l_x_Buffer, l_us_Identifier, &l_x_In, nullptr) !=
        TULVO_ILV_BUFFER_TOO_SMALL) {
        abort();
    }
    return 0;
}
