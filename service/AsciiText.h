// Locale-independent text helpers: command words and switch words compare in ASCII only,
// whatever code page the process runs under.
#ifndef TULVO_SERVICE_ASCIITEXT_H
#define TULVO_SERVICE_ASCIITEXT_H

inline char Tulvo_AsciiLower(char i_c) {
    return (i_c >= 'A' && i_c <= 'Z') ? static_cast<char>(i_c - 'A' + 'a') : i_c;
}

// 1 when both texts are equal ignoring ASCII case; an absent text equals nothing.
inline int Tulvo_AsciiEqualNoCase(const char* i_pc_A, const char* i_pc_B) {
    if (i_pc_A == nullptr || i_pc_B == nullptr) {
        return 0;
    }
    for (;; ++i_pc_A, ++i_pc_B) {
        if (Tulvo_AsciiLower(*i_pc_A) != Tulvo_AsciiLower(*i_pc_B)) {
            return 0;
        }
        if (*i_pc_A == '\0') {
            return 1;
        }
    }
}

#endif
