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

using namespace bench;

static void put16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

// Flow i: source 10.(i / 60000) as an address, its own port; 10.78.0.2:9999
// (the flows of bench/flood).
static uint32_t newFlowPacket(uint32_t i, bool tcp, uint8_t *p) {
  uint32_t l4 = tcp ? 40 : 16;
  uint32_t length = 20 + l4;
  memset(p, 0, length);
  p[0] = 0x45;
  put16(p + 2, static_cast<uint16_t>(length));
  p[8] = 64;
  p[9] = tcp ? 6 : 17;
  uint32_t source = 0x0A000000u + 1 + i / 60000, destination = 0x0A4E0002u;
  for (int k = 0; k < 4; k++) {
    p[12 + k] = static_cast<uint8_t>(source >> (24 - 8 * k));
    p[16 + k] = static_cast<uint8_t>(destination >> (24 - 8 * k));
  }
  uint8_t *t = p + 20;
  put16(t, static_cast<uint16_t>(1024 + i % 60000));
  put16(t + 2, 9999);
  if (tcp) {
    t[4] = 0x12;
    t[12] = 0xA0;
    t[13] = 0x02;  // SYN
    put16(t + 14, 64240);
    const uint8_t options[20] = {2, 4, 0x05, 0xB4, 4, 2, 8, 10, 0, 0, 0, 1, 0, 0, 0, 0, 1, 3, 3, 7};
    memcpy(t + 20, options, sizeof(options));
  } else {
    put16(t + 4, 16);
    memcpy(t + 8, "floodxx", 8);
  }
  return length;
}

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
