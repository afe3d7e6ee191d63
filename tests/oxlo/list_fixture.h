/* Helpers of the tests that load lists into a module: a module freed at the
 * end of the test, a scratch directory for list files, address texts and
 * captured output. */
#ifndef OXLO_TEST_LIST_FIXTURE_H
#define OXLO_TEST_LIST_FIXTURE_H

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "oxlo_private.h"

namespace list_test {

struct ModuleGuard {
    oxlo_module *m = oxlo_module_new(nullptr);
    ~ModuleGuard() { oxlo_module_free(m); }
};

/* A scratch directory removed with its files. */
struct TempDir {
    std::string path;
    TempDir()
    {
        char tmpl[] = "/tmp/oxlo_lists_XXXXXX";
        const char *made = mkdtemp(tmpl);
        EXPECT_NE(made, nullptr);
        path = made ? made : "/nonexistent";
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string write(const std::string &name, const std::string &text) const
    {
        std::string file = path + "/" + name;
        FILE *f = fopen(file.c_str(), "wb");
        EXPECT_NE(f, nullptr) << file;
        if (f) {
            fwrite(text.data(), 1, text.size(), f);
            fclose(f);
        }
        return file;
    }
};

/* An IPv4 address text in network order. */
inline uint32_t ipv4(const char *text)
{
    in_addr a{};
    EXPECT_EQ(inet_pton(AF_INET, text, &a), 1) << text;
    return a.s_addr;
}

/* Runs f with standard output captured; returns what it printed. */
template <typename F> std::string printed(F f)
{
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
}

} // namespace list_test

#endif
