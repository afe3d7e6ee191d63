// Engine data named by a rules file ("custom_protocols", "category_file")
// takes effect: the queue builds a fresh module with it when that data
// changed, and swaps module and rules together; flows in progress stay.
#include "NetfilterInterface.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Trace.h"
#include "flow_packets.h"
#include "queue_test_util.h"
#include "oxlo_hosts.h"

using namespace flowtest;

namespace {

const uint32_t kA = 0x0A000001, kB = 0x0A000002;

class EngineDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!trace) trace = new Trace();
    trace->setLevel(0);
    globalRunning = 1;
    char tmpl[] = "/tmp/vesk-engine-data-XXXXXX";
    dir = mkdtemp(tmpl);
    queue.reset(new NetfilterInterface(NetfilterInterface::Unbound(), 4, &exporters));
    givePassRules(*queue);
  }
  void TearDown() override {
    queue.reset();
    std::system(("rm -rf '" + dir + "'").c_str());
  }

  std::string write(const std::string &name, const std::string &text) {
    std::string path = dir + "/" + name;
    std::ofstream(path) << text;
    return path;
  }

  // Sends TCP SYNs of one connection until the flow completes; the mark of
  // the completing packet, or 0 when it never completes.
  uint32_t completeTcp(uint16_t dport) {
    for (int i = 0; i < 40; i++) {
      auto p = ipv4(6, kA, kB, transport(6, 40000, dport));
      uint32_t mark = queue->processPacket(1000, nullptr, 1, 2, p.data(), p.size());
      if (mark != 0) return mark;
    }
    return 0;
  }

  std::string dir;
  ZMQExporterList exporters;
  std::unique_ptr<NetfilterInterface> queue;
};

TEST_F(EngineDataTest, custom_port_rule_classifies_and_drives_the_policy) {
  std::string protos = write("protos.txt", "tcp:7777@PortProto\n");
  std::string rules = write("rules.json",
                            "{\"custom_protocols\": \"" + protos + "\"}\n"
                            "{\"policy\": {\"id\": 0, \"name\": \"p\", \"default_marker\": \"pass\", "
                            "\"markers\": {\"protocols\": {\"PortProto\": \"drop\"}}}}\n");
  oxlo_module *before = queue->module();
  EXPECT_EQ(oxlo_protocol_id_by_name(before, "PortProto"), 0);
  ASSERT_TRUE(queue->loadRules(rules.c_str()));
  EXPECT_NE(queue->module(), before) << "a fresh module carries the engine data";
  EXPECT_NE(oxlo_protocol_id_by_name(queue->module(), "PortProto"), 0);
  EXPECT_EQ(completeTcp(7777), 2u);
  EXPECT_EQ(completeTcp(7778), 1u);

  // Rules without engine data drop it again.
  std::string plain = write("plain.json",
                            "{\"policy\": {\"id\": 0, \"name\": \"p\", \"default_marker\": 9, "
                            "\"markers\": {}}}\n");
  ASSERT_TRUE(queue->loadRules(plain.c_str()));
  EXPECT_EQ(oxlo_protocol_id_by_name(queue->module(), "PortProto"), 0);
  EXPECT_EQ(completeTcp(7777), 9u);
}

TEST_F(EngineDataTest, category_file_is_loaded_under_its_tag) {
  std::string cats = write("cats.txt", "10.0.0.0/24\t14\nblocked.example\t34\n");
  std::string rules = write("rules.json",
                            "{\"category_file\": \"" + cats + "\"}\n"
                            "{\"policy\": {\"id\": 0, \"name\": \"p\", \"default_marker\": \"pass\", "
                            "\"markers\": {}}}\n");
  ASSERT_TRUE(queue->loadRules(rules.c_str()));
  uint32_t category = 0, breed = 0;
  ASSERT_EQ(oxlo_category_by_address_or_host(queue->module(), "www.blocked.example", 19,
                                             &category, &breed),
            0);
  EXPECT_EQ(category, 34u);
  const char *tag = static_cast<const char *>(oxlo_category_tag_ipv4(queue->module(), htonl(kB)));
  ASSERT_NE(tag, nullptr);
  EXPECT_STREQ(tag, "cats.txt");
}

TEST_F(EngineDataTest, failed_load_keeps_module_and_rules) {
  std::string protos = write("protos.txt", "tcp:7777@PortProto\n");
  std::string rules = write("rules.json",
                            "{\"custom_protocols\": \"" + protos + "\"}\n"
                            "{\"policy\": {\"id\": 0, \"name\": \"p\", \"default_marker\": 5, "
                            "\"markers\": {}}}\n");
  ASSERT_TRUE(queue->loadRules(rules.c_str()));
  oxlo_module *module = queue->module();
  vesk_rule_manager *current = queue->currentRules();
  EXPECT_FALSE(queue->loadRules((dir + "/missing.json").c_str()));
  EXPECT_EQ(queue->module(), module);
  EXPECT_EQ(queue->currentRules(), current);
  EXPECT_EQ(completeTcp(7777), 5u);
}

// Each reload replaces one module and one rule set: the same file loaded
// again and again settles at the same memory in use.
TEST_F(EngineDataTest, reloading_the_same_file_does_not_grow_memory) {
  std::string protos = write("protos.txt", "tcp:7777,host:engine.example@PortProto\n");
  std::string cats = write("cats.txt", "10.0.0.0/24\t14\n");
  std::string rules = write("rules.json",
                            "{\"custom_protocols\": \"" + protos + "\"}\n"
                            "{\"category_file\": \"" + cats + "\"}\n"
                            "{\"policy\": {\"id\": 0, \"name\": \"p\", \"default_marker\": 5, "
                            "\"markers\": {}}}\n");
  // The first loads also fill the C library's one-time caches.
  for (int i = 0; i < 6; i++) ASSERT_TRUE(queue->loadRules(rules.c_str()));
  size_t settled = mallinfo2().uordblks;
  for (int i = 0; i < 12; i++) ASSERT_TRUE(queue->loadRules(rules.c_str()));
  size_t after = mallinfo2().uordblks;
  // A module with its suffix list takes far more than this margin.
  EXPECT_LE(after, settled + 64 * 1024) << "settled " << settled << " after " << after;
}

// A reload that names the same engine data (same content, even under a new
// file name) keeps the module; one whose content changed builds a new one.
// Either way the flow in progress is not restarted: it stays in the table
// and completes on the module that started it.
TEST_F(EngineDataTest, reload_keeps_flows_and_rebuilds_only_on_changed_content) {
  std::string protos = write("protos.txt", "tcp:7777@PortProto\n");
  auto rulesWith = [&](const std::string &name, const std::string &protoPath, int marker) {
    return write(name, "{\"custom_protocols\": \"" + protoPath + "\"}\n"
                       "{\"policy\": {\"id\": 0, \"name\": \"p\", \"default_marker\": " +
                           std::to_string(marker) +
                           ", \"markers\": {\"protocols\": {\"PortProto\": 2}}}}\n");
  };
  ASSERT_TRUE(queue->loadRules(rulesWith("a.json", protos, 5).c_str()));
  oxlo_module *built = queue->module();

  // A connection in progress: a few packets of an unclassified flow.
  auto packet = [](uint16_t dport) { return ipv4(6, kA, kB, transport(6, 40001, dport)); };
  for (int i = 0; i < 3; i++) {
    auto p = packet(9999);
    ASSERT_EQ(queue->processPacket(1000, nullptr, 1, 2, p.data(), p.size()), 0u);
  }
  ASSERT_EQ(queue->flowTable()->count(), 1u);

  std::string copy = write("copy.txt", "tcp:7777@PortProto\n");
  ASSERT_TRUE(queue->loadRules(rulesWith("b.json", copy, 6).c_str()));
  EXPECT_EQ(queue->module(), built) << "same content: no new module";
  EXPECT_EQ(queue->flowTable()->count(), 1u);

  write("copy.txt", "tcp:7778@PortProto\n");
  ASSERT_TRUE(queue->loadRules(rulesWith("c.json", copy, 7).c_str()));
  EXPECT_NE(queue->module(), built) << "changed content: a new module";
  ASSERT_EQ(queue->flowTable()->count(), 1u) << "the flow in progress survives the swap";

  // The old flow goes on to its give-up and gets the new rules' default.
  uint32_t mark = 0;
  for (int i = 0; i < 40 && queue->flowTable()->count() > 0; i++) {
    auto p = packet(9999);
    mark = queue->processPacket(1000, nullptr, 1, 2, p.data(), p.size());
  }
  EXPECT_EQ(queue->flowTable()->count(), 0u);
  EXPECT_EQ(mark, 7u);
  // New flows are classified by the new module's data.
  EXPECT_EQ(completeTcp(7778), 2u);
  EXPECT_EQ(completeTcp(7777), 7u);
}

// Loads that would open a drop-all firewall keep the rules in force.
TEST_F(EngineDataTest, loads_that_would_fail_open_keep_the_rules) {
  std::string drop = write("drop.json",
                           "{\"policy\": {\"id\": 0, \"name\": \"d\", \"default_marker\": \"drop\", "
                           "\"markers\": {}}}\n");
  ASSERT_TRUE(queue->loadRules(drop.c_str()));
  vesk_rule_manager *inForce = queue->currentRules();
  struct Case {
    const char *name;
    std::string text;
  };
  const Case cases[] = {
      {"empty", ""},
      {"binary", std::string("\x7f" "ELF\x02\x01\x01\x00\n\xff\xfe\x00\x01", 14)},
      {"only invalid lines", "{}\nnot json\n{\"policy\": 1}\n"},
      {"no default policy", "{\"policy\": {\"id\": 1, \"name\": \"p\", \"default_marker\": "
                            "\"pass\", \"markers\": {}}}\n"},
  };
  for (const Case &c : cases) {
    EXPECT_FALSE(queue->loadRules(write("bad.json", c.text).c_str())) << c.name;
    EXPECT_EQ(queue->currentRules(), inForce) << c.name;
    EXPECT_EQ(completeTcp(80), 2u) << c.name;
  }
  EXPECT_FALSE(queue->loadRules((dir + "/missing.json").c_str()));
  EXPECT_EQ(queue->currentRules(), inForce);
}

// Reloads that swap the module while another thread drives the packet path:
// flows started on one module finish on it, new ones take the next; the
// sanitizer build catches a module or manager freed while in use.
TEST_F(EngineDataTest, module_swaps_during_traffic_never_free_what_a_flow_uses) {
  std::string rules[2];
  for (int i = 0; i < 2; i++) {
    std::string protos = write("protos" + std::to_string(i) + ".txt",
                               "tcp:" + std::to_string(7777 + i) + "@PortProto\n");
    rules[i] = write("rules" + std::to_string(i) + ".json",
                     "{\"custom_protocols\": \"" + protos + "\"}\n"
                     "{\"policy\": {\"id\": 0, \"name\": \"p\", \"default_marker\": " +
                         std::to_string(5 + i) +
                         ", \"markers\": {\"protocols\": {\"PortProto\": \"drop\"}}}}\n");
  }
  ASSERT_TRUE(queue->loadRules(rules[0].c_str()));
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::thread traffic([&] {
    for (uint16_t sport = 20000; !done.load() && sport < 60000; sport++) {
      // Unclassified flows in progress across the swaps, and flows the
      // custom port rule of either module completes at once.
      auto p = ipv4(6, kA, kB, transport(6, sport, static_cast<uint16_t>(7776 + sport % 3)));
      for (int i = 0; i < 40; i++) {
        uint32_t mark = queue->processPacket(1000, nullptr, 1, 2, p.data(), p.size());
        if (mark != 0 && mark != 2 && mark != 5 && mark != 6) bad++;
        if (mark != 0) break;
      }
    }
  });
  for (int i = 0; i < 20; i++) ASSERT_TRUE(queue->loadRules(rules[(i + 1) % 2].c_str()));
  done = true;
  traffic.join();
  EXPECT_EQ(bad.load(), 0);
  // The last load is in force for new flows.
  EXPECT_EQ(completeTcp(7777), 2u);
  EXPECT_EQ(completeTcp(7778), 5u);
}

}  // namespace
