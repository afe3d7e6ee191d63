// Cost of finding a flow's marker: pools by prefix and MAC, a policy with
// protocol, category and host-name markers.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "RuleManager.h"

static RuleManager *makeManager() {
  char path[] = "/tmp/vesk-bench-rules-XXXXXX";
  int fd = mkstemp(path);
  std::string text = R"({"policy":{"id":0,"default_marker":"pass","markers":{}}})" "\n"
                     R"({"policy":{"id":1,"default_marker":"pass","markers":{"protocols":{"7":"drop","91":5},)"
                     R"("categories":{"5":6},"hostnames":{"example.com":"drop","ads.example.net":7}}}})" "\n";
  for (int i = 0; i < 16; i++)
    text += "{\"pool\":{\"id\":" + std::to_string(i) + ",\"ip\":[\"10." + std::to_string(i) +
            ".0.0/16\",\"2001:db8:" + std::to_string(i) + "::/48\"],\"mac\":[\"02:00:00:00:00:" +
            (i < 10 ? "0" : "") + std::to_string(i) + "\"]},\"policy\":{\"id\":1}}\n";
  if (write(fd, text.data(), text.size()) != (ssize_t)text.size()) perror("write");
  close(fd);
  RuleManager *rm = new RuleManager(nullptr, 16, 16);
  FILE *saved = stdout;
  stdout = fopen("/dev/null", "w");
  rm->loadRules(path);
  fclose(stdout);
  stdout = saved;
  unlink(path);
  return rm;
}

static void BM_match_by_prefix(benchmark::State &state) {
  RuleManager *rm = makeManager();
  uint8_t src[16] = {0}, dst[16] = {0};
  inet_pton(AF_INET, "10.7.1.2", src);
  inet_pton(AF_INET, "93.184.216.34", dst);
  PolicyFlowFacts f{0, 91, 5, "www.example.org", 0, false};
  for (auto _ : state) benchmark::DoNotOptimize(rm->matchFlow(nullptr, nullptr, src, dst, f));
  delete rm;
}
BENCHMARK(BM_match_by_prefix);

static void BM_match_host_name(benchmark::State &state) {
  RuleManager *rm = makeManager();
  uint8_t src[16] = {0}, dst[16] = {0};
  inet_pton(AF_INET6, "2001:db8:3::9", src);
  inet_pton(AF_INET6, "2606:2800::1", dst);
  PolicyFlowFacts f{0, 91, 5, "a.b.c.ads.example.net", 0, true};
  for (auto _ : state) benchmark::DoNotOptimize(rm->matchFlow(nullptr, nullptr, src, dst, f));
  delete rm;
}
BENCHMARK(BM_match_host_name);

static void BM_match_by_mac_default(benchmark::State &state) {
  RuleManager *rm = makeManager();
  uint8_t mac[6] = {0x02, 0, 0, 0, 0, 0x09}, other[6] = {0x02, 1, 1, 1, 1, 1};
  uint8_t src[16] = {0}, dst[16] = {0};
  inet_pton(AF_INET, "192.168.1.2", src);
  inet_pton(AF_INET, "8.8.8.8", dst);
  PolicyFlowFacts f{5, 5, 14, nullptr, 0, false};
  for (auto _ : state) benchmark::DoNotOptimize(rm->matchFlow(other, mac, src, dst, f));
  delete rm;
}
BENCHMARK(BM_match_by_mac_default);

BENCHMARK_MAIN();
