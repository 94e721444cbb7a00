// The packed file's little-endian 32-bit sizes, written and read back by the tests and the fuzz
// loops independently of the program's own code.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

inline std::string Le32(uint32_t v) {
    std::string s;
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    return s;
}

inline uint32_t ReadLe32(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
    return v;
}
