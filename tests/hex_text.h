// Byte strings written as hexadecimal text in tests, and back.
#ifndef VESK_TEST_HEX_TEXT_H
#define VESK_TEST_HEX_TEXT_H

#include <cstdint>
#include <string>
#include <vector>

namespace hex_text {

inline std::vector<uint8_t> hex(const std::string &h)
{
    std::vector<uint8_t> b;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        b.push_back(uint8_t(std::stoi(h.substr(i, 2), nullptr, 16)));
    return b;
}

inline std::string to_hex(const uint8_t *p, size_t n)
{
    static const char *d = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

} // namespace hex_text

#endif
