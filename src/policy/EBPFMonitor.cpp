#include "EBPFMonitor.h"

#include <arpa/inet.h>
#include <bpf/libbpf.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <unordered_map>

#include "Log.h"
#include "PolicyError.h"
#include "ProcScan.h"
#include "SockDiag.h"
#include "vontrel_object.h"

namespace {
// The kprobe programs, all or none: a connect seen at entry but not at
// return (or the other way round) would give half the story.
const char *const kKprobePrograms[] = {
    "tcp_v4_connect",      "tcp_v6_connect",      "tcp_v4_connect_exit",      "tcp_v6_connect_exit",
    "inet_csk_accept",     "trace_tcp_set_state", "trace_tcp_retransmit_skb"};
// What stands in for them on a kernel without kprobes.
const char *const kTcpTracepointPrograms[] = {"trace_inet_sock_set_state",
                                              "trace_tcp_retransmit_tp"};
// UDP: each tracepoint program, or its raw-tracepoint twin when the
// tracepoint cannot be resolved (tracefs not mounted).
const char *const kUdpPrograms[][2] = {{"handle_netif_receive_skb", "raw_netif_receive_skb"},
                                       {"trace_netif_tx_entry", "raw_net_dev_queue"}};

// libbpf's own messages go to our log at debug level only.
int libbpfPrint(enum libbpf_print_level level, const char *format, va_list args) {
  if (level == LIBBPF_DEBUG) return 0;
  if (!trace || trace->getLevel() < TRACE_DEBUG) return 0;
  char line[1024];
  vsnprintf(line, sizeof(line), format, args);
  VESK_LOG(TRACE_DEBUG, "libbpf: %s", line);
  return 0;
}

bpf_object *openObject() {
  libbpf_set_print(libbpfPrint);
  LIBBPF_OPTS(bpf_object_open_opts, opts, .object_name = "vontrel_bpf");
  bpf_object *obj = bpf_object__open_mem(vontrelObject(), vontrelObjectSize(), &opts);
  if (!obj || libbpf_get_error(obj)) {
    errno = obj ? (int)-libbpf_get_error(obj) : errno;
    return nullptr;
  }
  return obj;
}
}  // namespace

bool EBPFMonitor::loadOnly(std::vector<std::string> &programs, std::string &error) {
  bpf_object *obj = openObject();
  if (!obj) {
    error = std::string("open: ") + strerror(errno);
    return false;
  }
  int rc = bpf_object__load(obj);
  if (rc != 0) {
    error = std::string("load: ") + strerror(-rc);
    bpf_object__close(obj);
    return false;
  }
  bpf_program *prog;
  bpf_object__for_each_program(prog, obj) {
    if (bpf_program__fd(prog) >= 0) programs.push_back(bpf_program__name(prog));
  }
  bpf_object__close(obj);
  return true;
}

EBPFMonitor::EBPFMonitor(const char *name) : SocketMonitor(name), table(getInterfaceName()) {
  Log::instance();
  object = openObject();
  if (!object) throw PolicyError("Failed to open BPF skeleton");
  int rc = bpf_object__load(object);
  if (rc != 0) {
    errno = -rc;
    VESK_LOG(TRACE_ERROR, "Unable to load the BPF program: %s", strerror(-rc));
    release();
    throw PolicyError("Failed to load and verify BPF skeleton");
  }

  bool kprobes = true;
  for (const char *p : kKprobePrograms) kprobes = attachProgram(p) && kprobes;
  if (!kprobes) {
    for (bpf_link *l : links) bpf_link__destroy(l);
    links.clear();
    attached.clear();
    VESK_LOG(TRACE_NORMAL, "No kprobes here: TCP events come from the sock:inet_sock_set_state tracepoint");
    tcpTracepoint = true;
    bool ok = true;
    for (const char *p : kTcpTracepointPrograms) ok = attachProgram(p) && ok;
    if (!ok) {
      release();
      throw PolicyError("Failed to attach BPF skeleton");
    }
  }
  for (const auto &pair : kUdpPrograms)
    if (!attachProgram(pair[0])) attachProgram(pair[1]);
  VESK_LOG(TRACE_NORMAL,
           "Successfully started! Please run `sudo cat /sys/kernel/debug/tracing/trace_pipe` "
           "to see output of the BPF programs.\n");

  bpf_map *events = bpf_object__find_map_by_name(object, "ebpf_events");
  ring = events ? ring_buffer__new(bpf_map__fd(events), onEvent, this, nullptr) : nullptr;
  if (!ring || libbpf_get_error(ring)) {
    ring = nullptr;
    release();
    throw PolicyError("Failed to create ring buffer");
  }
  bootstrap();
}

bool EBPFMonitor::attachProgram(const char *name) {
  bpf_program *prog = bpf_object__find_program_by_name(object, name);
  if (!prog) {
    VESK_LOG(TRACE_WARNING, "Unable to attach %s: no such program", name);
    return false;
  }
  bpf_link *link = bpf_program__attach(prog);
  long err = libbpf_get_error(link);
  if (!link || err) {
    int e = err ? (int)-err : errno;
    VESK_LOG(TRACE_WARNING, "Unable to attach %s (%s): %s", name, bpf_program__section_name(prog),
             strerror(e));
    return false;
  }
  links.push_back(link);
  attached.push_back(name);
  return true;
}

// The IPv4 TCP connections that exist already when the monitor starts.
void EBPFMonitor::bootstrap() {
  std::unordered_map<uint32_t, uint32_t> inodes;
  ProcScan::scanAll(inodes, nullptr);
  time_t now = time(nullptr);
  SockDiag::dump(AF_INET, IPPROTO_TCP, 79, 4095, [&](const inet_diag_msg &m) {
    auto it = inodes.find(m.idiag_inode);
    table.addBootstrapSocket(4, (const uint8_t *)m.id.idiag_src, (const uint8_t *)m.id.idiag_dst,
                             ntohs(m.id.idiag_sport), ntohs(m.id.idiag_dport),
                             it == inodes.end() ? 0 : it->second, now);
  });
}

void EBPFMonitor::release() {
  if (ring) ring_buffer__free(ring);
  ring = nullptr;
  for (bpf_link *l : links) bpf_link__destroy(l);
  links.clear();
  if (object) bpf_object__close(object);
  object = nullptr;
}

EBPFMonitor::~EBPFMonitor() { release(); }

int EBPFMonitor::onEvent(void *ctx, void *data, size_t size) {
  return static_cast<EBPFMonitor *>(ctx)->table.handleEvent(data, size, time(nullptr));
}

int EBPFMonitor::poll() { return ring ? ring_buffer__poll(ring, 0) : 0; }

int EBPFMonitor::findSocketOwner(const vesk_address &address, uint16_t port, bool udp,
                                 vesk_socket_owner *owner) {
  return table.find(address, port, udp, time(nullptr), owner);
}
