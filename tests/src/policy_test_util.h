/* Helpers shared by the policy library's tests: rules files from text, log
 * capture, addresses in the facade's 16-byte form. */
#ifndef VESK_POLICY_TEST_UTIL_H
#define VESK_POLICY_TEST_UTIL_H

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

#include "PolicyTrace.h"
#include "RuleManager.h"

using Addr = std::array<uint8_t, 16>;

inline Addr addr(const char *text) {
  Addr a{};
  if (strchr(text, ':'))
    EXPECT_EQ(inet_pton(AF_INET6, text, a.data()), 1) << text;
  else
    EXPECT_EQ(inet_pton(AF_INET, text, a.data()), 1) << text;
  return a;
}

// A rules file in a temporary path, removed at the end of the scope.
struct RulesFile {
  std::string path;
  explicit RulesFile(const std::string &text) {
    char tmpl[] = "/tmp/vesk-rules-XXXXXX";
    int fd = mkstemp(tmpl);
    EXPECT_GE(fd, 0);
    path = tmpl;
    EXPECT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
    close(fd);
  }
  ~RulesFile() { unlink(path.c_str()); }
};

// Loads text as a rules file into rm; returns everything logged.
inline std::string loadText(RuleManager &rm, const std::string &text, bool *result = nullptr) {
  RulesFile f(text);
  testing::internal::CaptureStdout();
  bool r = rm.loadRules(f.path.c_str());
  if (result) *result = r;
  return testing::internal::GetCapturedStdout();
}

inline PolicyFlowFacts facts(uint16_t master, uint16_t app, uint32_t category = 0,
                             const char *host = nullptr, uint64_t risks = 0, bool ipv6 = false) {
  return PolicyFlowFacts{master, app, category, host, risks, ipv6};
}

inline bool contains(const std::string &haystack, const std::string &needle) {
  return haystack.find(needle) != std::string::npos;
}

#endif
