#include "oxlo_digest.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <unistd.h>

namespace {

std::string hex(const uint8_t *d, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[d[i] >> 4];
        s += digits[d[i] & 15];
    }
    return s;
}

/* Feeds the message in pieces of `piece` bytes (0: one update). */
std::string md5(const std::string &m, size_t piece = 0)
{
    md5_context c;
    oxlo_md5_init(&c);
    for (size_t off = 0; off < m.size() || off == 0; off += piece ? piece : m.size()) {
        size_t n = piece ? std::min(piece, m.size() - off) : m.size();
        oxlo_md5_update(&c, reinterpret_cast<const uint8_t *>(m.data()) + off, uint32_t(n));
        if (m.empty())
            break;
    }
    uint8_t d[16];
    oxlo_md5_final(d, &c);
    return hex(d, 16);
}

std::string sha1(const std::string &m, size_t piece = 0)
{
    sha1_context c;
    oxlo_sha1_init(&c);
    for (size_t off = 0; off < m.size() || off == 0; off += piece ? piece : m.size()) {
        size_t n = piece ? std::min(piece, m.size() - off) : m.size();
        oxlo_sha1_update(&c, reinterpret_cast<const uint8_t *>(m.data()) + off, uint32_t(n));
        if (m.empty())
            break;
    }
    uint8_t d[20];
    oxlo_sha1_final(d, &c);
    return hex(d, 20);
}

std::string sha256(const std::string &m, size_t piece = 0)
{
    sha256_context c;
    oxlo_sha256_init(&c);
    for (size_t off = 0; off < m.size() || off == 0; off += piece ? piece : m.size()) {
        size_t n = piece ? std::min(piece, m.size() - off) : m.size();
        oxlo_sha256_update(&c, reinterpret_cast<const uint8_t *>(m.data()) + off, n);
        if (m.empty())
            break;
    }
    uint8_t d[32];
    oxlo_sha256_final(&c, d);
    return hex(d, 32);
}

const std::string msg448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";

struct known_answer {
    std::string message, md5, sha1, sha256;
};

const known_answer answers[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e", "da39a3ee5e6b4b0d3255bfef95601890afd80709",
     "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72", "a9993e364706816aba3e25717850c26c9cd0d89d",
     "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {msg448, "8215ef0796a20bcaaae116d3876c664a", "84983e441c3bd26ebaae4aa1f95129e5e54670f1",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21",
     "34aa973cd4c4daa4f61eeb2bdbad27316534016f",
     "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

/* The coreutils tools are an independent implementation of the same digests. */
std::string coreutils_digest(const char *tool, const std::string &m)
{
    char path[] = "/tmp/oxlo-digest-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        return "";
    bool written = write(fd, m.data(), m.size()) == ssize_t(m.size());
    close(fd);
    if (!written) {
        unlink(path);
        return "";
    }
    std::string cmd = std::string(tool) + " " + path;
    FILE *p = popen(cmd.c_str(), "r");
    char out[256] = {0};
    if (p) {
        if (!fgets(out, sizeof(out), p))
            out[0] = 0;
        pclose(p);
    }
    unlink(path);
    std::string s(out);
    return s.substr(0, s.find(' '));
}

} // namespace

TEST(digest, published_answers)
{
    for (const auto &a : answers) {
        EXPECT_EQ(md5(a.message), a.md5) << a.message.size();
        EXPECT_EQ(sha1(a.message), a.sha1) << a.message.size();
        EXPECT_EQ(sha256(a.message), a.sha256) << a.message.size();
    }
}

TEST(digest, piecewise_updates_match_one_update)
{
    std::string m;
    for (int i = 0; i < 1000; i++)
        m += char('a' + i % 26);
    for (size_t piece : {1, 63, 64, 65}) {
        EXPECT_EQ(md5(m, piece), md5(m)) << piece;
        EXPECT_EQ(sha1(m, piece), sha1(m)) << piece;
        EXPECT_EQ(sha256(m, piece), sha256(m)) << piece;
    }
}

TEST(digest, agrees_with_coreutils_around_padding_boundaries)
{
    std::mt19937 rng(7);
    for (size_t len : {1, 54, 55, 56, 57, 63, 64, 65, 119, 120, 128, 1000}) {
        std::string m(len, '\0');
        for (auto &c : m)
            c = char(rng());
        EXPECT_EQ(md5(m), coreutils_digest("md5sum", m)) << len;
        EXPECT_EQ(sha1(m), coreutils_digest("sha1sum", m)) << len;
        EXPECT_EQ(sha256(m), coreutils_digest("sha256sum", m)) << len;
    }
}

TEST(digest, finals_wipe_md5_and_sha1_contexts_and_one_call_sha256_matches)
{
    md5_context c;
    oxlo_md5_init(&c);
    uint8_t d[16];
    oxlo_md5_final(d, &c);
    const uint8_t *raw = reinterpret_cast<const uint8_t *>(&c);
    for (size_t i = 0; i < sizeof(c); i++)
        ASSERT_EQ(raw[i], 0);

    uint8_t one[32];
    oxlo_sha256_digest(reinterpret_cast<const uint8_t *>("abc"), 3, one);
    EXPECT_EQ(hex(one, 32), answers[1].sha256);
}
