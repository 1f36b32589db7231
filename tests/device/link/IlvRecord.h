// One ILV record as a byte vector, for the tests that send records to the simulated sensor.
#ifndef TULVO_TESTS_DEVICE_LINK_ILVRECORD_H
#define TULVO_TESTS_DEVICE_LINK_ILVRECORD_H

#include "device/link/Ilv.h"

#include <stdint.h>
#include <vector>

namespace tulvo_test {

inline std::vector<uint8_t> IlvRecord(uint16_t i_us_Id,
                                      const std::vector<uint8_t>& i_x_Value = {}) {
    std::vector<uint8_t> l_x_Record(ILV_MAX_EMPTY_SIZE + 4 + i_x_Value.size());
    uint32_t l_ul_Size = 0;
    ILV_Init(l_x_Record.data(), &l_ul_Size, i_us_Id);
    ILV_AddValue(l_x_Record.data(), &l_ul_Size, i_x_Value.data(),
                 static_cast<uint32_t>(i_x_Value.size()));
    l_x_Record.resize(l_ul_Size);
    return l_x_Record;
}

} // namespace tulvo_test

#endif
