// The first packet of a new flow through a queue's packet path, in this
// process: a UDP datagram of 8 payload bytes and a TCP SYN, each of a tuple
// not seen before, into a table of about 1k flows. Prints the time per
// packet. The two timed loops are functions of their own, so that
//   valgrind --tool=callgrind --toggle-collect='*udpFirstPackets*' first_packet 2000
// (or '*synFirstPackets*') counts the instructions of exactly those packets.
//   first_packet [packets per kind, default 20000]
#include "Configuration.h"
#include "NetfilterInterface.h"
#include "Trace.h"
#include "netns_bench.h"
#include "new_flow_packets.h"

using namespace bench;

struct Driver {
  ZMQExporterList exporters;
  NetfilterInterface queue;
  uint32_t next = 0;
  uint32_t now = 1000000;
  Driver() : queue(NetfilterInterface::Unbound(), 0, &exporters) {}
  void send(uint32_t count, bool tcp) {
    uint8_t p[64];
    for (uint32_t n = 0; n < count; n++) {
      uint32_t length = newFlowPacket(next++, tcp, p);
      queue.processPacket(now, nullptr, 1, 2, p, length);
    }
  }
  void expireAll() {
    now += 40;
    for (int i = 0; i < 40 && queue.flowTable()->count() > 0; i++) queue.idleSecond(now++);
  }
};

__attribute__((noinline)) static void udpFirstPackets(Driver &d, uint32_t count) {
  d.send(count, false);
}
__attribute__((noinline)) static void synFirstPackets(Driver &d, uint32_t count) {
  d.send(count, true);
}

int main(int argc, char **argv) {
  const uint32_t count = argc > 1 ? static_cast<uint32_t>(atoi(argv[1])) : 20000;
  configuration.flowLimit = 1100000;
  if (!trace) trace = new Trace();
  trace->setLevel(0);
  globalRunning = 1;
  Driver d;
  if (!loadPassRules(d.queue)) {
    printf("first_packet: cannot load rules\n");
    return 1;
  }
  // The first flows pay for lazily built engine tables.
  d.send(2000, false);
  d.send(2000, true);
  d.expireAll();
  d.send(1000, false);
  for (bool tcp : {false, true}) {
    auto start = std::chrono::steady_clock::now();
    for (uint32_t done = 0; done < count; done += 1000) {
      if (tcp)
        synFirstPackets(d, 1000);
      else
        udpFirstPackets(d, 1000);
      // Back to about 1k flows, out of the timed part.
      auto pause = std::chrono::steady_clock::now();
      d.expireAll();
      d.send(1000, false);
      start += std::chrono::steady_clock::now() - pause;
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("first packet of a new %-3s flow: %6.3f us  (%u packets)\n", tcp ? "TCP" : "UDP",
           seconds * 1e6 / ((count + 999) / 1000 * 1000), (count + 999) / 1000 * 1000);
  }
  return 0;
}
