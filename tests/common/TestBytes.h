// Test helpers for byte strings: a reproducible pattern, big-endian words and text as bytes.
#ifndef TULVO_TESTS_COMMON_TESTBYTES_H
#define TULVO_TESTS_COMMON_TESTBYTES_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace tulvo_test {

// The same seed always gives the same bytes; different seeds differ from the first byte on.
inline std::vector<uint8_t> Pattern(size_t i_st_Length, uint32_t i_ul_Seed) {
    std::vector<uint8_t> l_x_Bytes(i_st_Length);
    uint32_t l_ul_State = i_ul_Seed * 2654435761u + 1;
    for (uint8_t& l_uc_Byte : l_x_Bytes) {
        l_ul_State = l_ul_State * 1664525u + 1013904223u;
        l_uc_Byte = static_cast<uint8_t>(l_ul_State >> 24);
    }
    return l_x_Bytes;
}

inline uint32_t GetBe32(const uint8_t* i_puc_Bytes) {
    return (uint32_t(i_puc_Bytes[0]) << 24) | (uint32_t(i_puc_Bytes[1]) << 16) |
           (uint32_t(i_puc_Bytes[2]) << 8) | uint32_t(i_puc_Bytes[3]);
}

inline void PutBe32(uint8_t* o_puc_Bytes, uint32_t i_ul_Value) {
    o_puc_Bytes[0] = uint8_t(i_ul_Value >> 24);
    o_puc_Bytes[1] = uint8_t(i_ul_Value >> 16);
    o_puc_Bytes[2] = uint8_t(i_ul_Value >> 8);
    o_puc_Bytes[3] = uint8_t(i_ul_Value);
}

inline std::vector<uint8_t> TextBytes(const std::string& i_x_Text) {
    return std::vector<uint8_t>(i_x_Text.begin(), i_x_Text.end());
}

// A NUL-terminated byte text as a string, "(null)" for none.
inline std::string AsString(const unsigned char* i_puc_Text) {
    return i_puc_Text == nullptr ? std::string("(null)")
                                 : std::string(reinterpret_cast<const char*>(i_puc_Text));
}

} // namespace tulvo_test

#endif
