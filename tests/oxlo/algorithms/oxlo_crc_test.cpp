/* The CRCs against crcmod's catalogue definitions (an independent
 * implementation) on random buffers, plus the catalogue check values. */
#include "oxlo_crc.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

TEST(Crc, catalogue_check_values)
{
    const char *digits = "123456789";
    EXPECT_EQ(crc16_kermit(digits, 9), 0x2189);
    EXPECT_EQ(crc16_ccitt_false(digits, 9), 0x29B1);
    EXPECT_EQ(crc16_xmodem(digits, 9), 0x31C3);
    EXPECT_EQ(crc16_x25(digits, 9), 0x906E);
    EXPECT_EQ(crc32_update(digits, 9, 0), 0xCBF43926u);
}

TEST(Crc, empty_buffers)
{
    EXPECT_EQ(crc16_kermit("", 0), 0);
    EXPECT_EQ(crc16_xmodem("", 0), 0);
    EXPECT_EQ(crc16_x25("", 0), 0);
    EXPECT_EQ(crc16_ccitt_false("", 0), 0xFFFF);
    EXPECT_EQ(crc32_update("", 0, 0), 0u);
    EXPECT_EQ(crc32_update("", 0, 0x12345678u), 0x12345678u);
}

TEST(Crc, crc32_continues_over_split_buffers)
{
    const std::string a = "industrial ", b = "process data";
    const std::string ab = a + b;
    EXPECT_EQ(crc32_update(b.data(), b.size(), crc32_update(a.data(), a.size(), 0)),
              crc32_update(ab.data(), ab.size(), 0));
}

TEST(Crc, agree_with_crcmod_on_random_buffers)
{
    std::mt19937 rng(20261210);
    std::vector<std::vector<uint8_t>> buffers(1000);
    char path[] = "/tmp/oxlo_crc_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        std::ofstream out(path);
        for (auto &b : buffers) {
            b.resize(rng() % 301);
            for (auto &byte : b) {
                byte = uint8_t(rng());
                char hex[3];
                snprintf(hex, sizeof hex, "%02x", byte);
                out << hex;
            }
            out << '\n';
        }
    }
    const std::string cmd = "/usr/bin/python3 " VESK_SOURCE_DIR "/tests/oxlo/algorithms/crc_reference.py " + std::string(path);
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        text.append(buf, n);
    EXPECT_EQ(pclose(p), 0) << "crcmod reference failed";
    unlink(path);
    std::istringstream lines(text);
    size_t i = 0;
    for (std::string line; std::getline(lines, line) && i < buffers.size(); i++) {
        std::istringstream f(line);
        unsigned long kermit = 0, ccitt = 0, xmodem = 0, x25 = 0, c32 = 0;
        f >> std::hex >> kermit >> ccitt >> xmodem >> x25 >> c32;
        const auto &b = buffers[i];
        EXPECT_EQ(crc16_kermit(b.data(), b.size()), kermit) << "buffer " << i;
        EXPECT_EQ(crc16_ccitt_false(b.data(), b.size()), ccitt) << "buffer " << i;
        EXPECT_EQ(crc16_xmodem(b.data(), b.size()), xmodem) << "buffer " << i;
        EXPECT_EQ(crc16_x25(b.data(), b.size()), x25) << "buffer " << i;
        EXPECT_EQ(crc32_update(b.data(), b.size(), 0), c32) << "buffer " << i;
    }
    EXPECT_EQ(i, buffers.size());
}

} // namespace
