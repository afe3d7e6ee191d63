#include "LinuxSocketMonitor.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <json-c/json.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "Log.h"
#include "PackageCache.h"
#include "PolicyError.h"
#include "ProcScan.h"
#include "SockDiag.h"
#include "oxlo_serializer.h"

namespace {
// nlmsghdr, cn_msg and the operation word: 40 bytes.
constexpr size_t kListenSize = sizeof(nlmsghdr) + sizeof(cn_msg) + sizeof(uint32_t);
static_assert(kListenSize == 40, "connector listen message layout");

// Events handled per poll at most, so a fork storm cannot hold the caller.
constexpr int kMaxEventsPerPoll = 4096;
}  // namespace

LinuxSocketMonitor::LinuxSocketMonitor(const char *name, bool skipLo, bool listening)
    : SocketMonitor(name), skipLoopback(skipLo), listeningOnly(listening) {
  Log::instance();
  connector = socket(PF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_CONNECTOR);
  if (connector < 0) {
    VESK_LOG(TRACE_ERROR, "Unable to create socket: are you superuser?");
    throw PolicyError("Unable to create socket");
  }
  sockaddr_nl local;
  memset(&local, 0, sizeof(local));
  local.nl_family = AF_NETLINK;
  local.nl_groups = CN_IDX_PROC;
  local.nl_pid = 0;  // the kernel picks a free port id
  if (bind(connector, (sockaddr *)&local, sizeof(local)) != 0) {
    int e = errno;
    VESK_LOG(TRACE_ERROR, "Unable to bind socket: %s (%d)", strerror(e), e);
    close(connector);
    throw PolicyError("Unable to bind socket");
  }
  alignas(nlmsghdr) char msg[kListenSize];
  memset(msg, 0, sizeof(msg));
  nlmsghdr *header = (nlmsghdr *)msg;
  header->nlmsg_len = kListenSize;
  header->nlmsg_type = NLMSG_DONE;
  header->nlmsg_pid = (uint32_t)getpid();
  cn_msg *cn = (cn_msg *)(msg + sizeof(nlmsghdr));
  cn->id.idx = CN_IDX_PROC;
  cn->id.val = CN_VAL_PROC;
  cn->len = sizeof(uint32_t);
  uint32_t op = PROC_CN_MCAST_LISTEN;
  memcpy(msg + sizeof(nlmsghdr) + sizeof(cn_msg), &op, sizeof(op));
  if (send(connector, msg, sizeof(msg), 0) != (ssize_t)sizeof(msg)) {
    int e = errno;
    close(connector);
    // The kernel's end of the connector lives in the initial network
    // namespace only; from any other the request is refused.
    const char *why =
        e == ECONNREFUSED
            ? "the process-event connector exists only in the initial network namespace"
            : strerror(e);
    VESK_LOG(TRACE_ERROR, "Unable to send notification message: %s", why);
    throw PolicyError(std::string("Unable to send notification message: ") + why);
  }

  struct ifaddrs *ifs = nullptr;
  if (getifaddrs(&ifs) != 0) {
    VESK_LOG(TRACE_ERROR, "getifaddrs: %s", strerror(errno));
  } else {
    for (struct ifaddrs *i = ifs; i; i = i->ifa_next) {
      if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
      uint32_t a = ntohl(((sockaddr_in *)i->ifa_addr)->sin_addr.s_addr);
      if (a == 0x7F000001 || a == 0xC0A87A01 || a == 0xC0A81001) continue;
      localAddresses.emplace(a, i->ifa_name);
    }
    freeifaddrs(ifs);
  }

  ProcScan::scanAll(inodeToPid, &pidToInodes);
  rescanDue = false;
  fillPorts(tcp4, AF_INET, IPPROTO_TCP);
  fillPorts(tcp6, AF_INET6, IPPROTO_TCP);
  fillPorts(udp4, AF_INET, IPPROTO_UDP);
  fillPorts(udp6, AF_INET6, IPPROTO_UDP);
}

LinuxSocketMonitor::~LinuxSocketMonitor() {
  if (connector >= 0) close(connector);
}

void LinuxSocketMonitor::scanProcess(uint32_t pid) {
  forgetProcess(pid);
  std::vector<uint32_t> inodes = ProcScan::socketInodes(pid);
  for (uint32_t inode : inodes) inodeToPid[inode] = pid;
  pidToInodes[pid] = std::move(inodes);
}

void LinuxSocketMonitor::forgetProcess(uint32_t pid) {
  auto it = pidToInodes.find(pid);
  if (it == pidToInodes.end()) return;
  for (uint32_t inode : it->second) {
    auto owner = inodeToPid.find(inode);
    if (owner != inodeToPid.end() && owner->second == pid) inodeToPid.erase(owner);
  }
  pidToInodes.erase(it);
}

void LinuxSocketMonitor::rescan() {
  if (!rescanDue) return;
  std::vector<uint32_t> pids;
  pids.reserve(pidToInodes.size());
  for (const auto &p : pidToInodes) pids.push_back(p.first);
  for (uint32_t pid : pids) scanProcess(pid);
  rescanDue = false;
}

int LinuxSocketMonitor::poll() {
  int handled = 0;
  for (int i = 0; i < kMaxEventsPerPoll; i++) {
    struct pollfd p = {connector, POLLIN, 0};
    int ready = ::poll(&p, 1, 0);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    alignas(nlmsghdr) char buf[1024];
    ssize_t n = recv(connector, buf, sizeof(buf), 0);
    if (n == 0) return 0;
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == ENOBUFS) continue;  // events were lost; the rescan catches up
      VESK_LOG(TRACE_WARNING, "Receive error");
      return -1;
    }
    const nlmsghdr *h = (const nlmsghdr *)buf;
    if (!NLMSG_OK(h, (size_t)n) ||
        h->nlmsg_len < NLMSG_LENGTH(sizeof(cn_msg) + sizeof(uint32_t)))
      continue;
    const cn_msg *cn = (const cn_msg *)NLMSG_DATA(h);
    if (cn->len < offsetof(proc_event, event_data) + sizeof(uint32_t) * 2 ||
        h->nlmsg_len < NLMSG_LENGTH(sizeof(cn_msg) + cn->len))
      continue;
    // The event follows the 20-byte connector header, so it is not aligned
    // for its 64-bit timestamp: copy it out.
    proc_event ev;
    memset(&ev, 0, sizeof(ev));
    memcpy(&ev, cn->data, std::min<size_t>(cn->len, sizeof(ev)));
    handled++;
    if (ev.what == proc_event::PROC_EVENT_EXEC) {
      scanProcess((uint32_t)ev.event_data.exec.process_tgid);
    } else if (ev.what == proc_event::PROC_EVENT_EXIT) {
      // Exit events come for every thread; a process's descriptors go only
      // when its main thread (pid == tgid) ends.
      if (ev.event_data.exit.process_pid == ev.event_data.exit.process_tgid)
        forgetProcess((uint32_t)ev.event_data.exit.process_tgid);
    }
  }
  if (handled > 0) rescanDue = true;
  return handled;
}

void LinuxSocketMonitor::fillPorts(PortTable &table, int family, int protocol) {
  table.clear();
  bool retried = false;
  std::vector<std::pair<uint16_t, uint32_t>> found;  // port, inode
  SockDiag::dump(family, protocol, protocol == IPPROTO_TCP ? 79 : 2,
                 protocol == IPPROTO_TCP ? 4095 : 255, [&](const inet_diag_msg &m) {
                   if (skipLoopback && family == AF_INET && m.id.idiag_src[0] == htonl(0x7F000001))
                     return;
                   if (protocol == IPPROTO_TCP && listeningOnly && m.idiag_state != 10) return;
                   found.emplace_back(ntohs(m.id.idiag_sport), m.idiag_inode);
                 });
  for (const auto &[port, inode] : found) {
    if (table.count(port)) continue;  // the first socket of a port wins
    auto it = inodeToPid.find(inode);
    if (it == inodeToPid.end() && !retried) {
      retried = true;
      poll();
      rescanDue = true;
      rescan();
      it = inodeToPid.find(inode);
    }
    uint32_t pid = it == inodeToPid.end() ? 0 : it->second;
    table.emplace(port, std::make_unique<ProcessInfo>(pid));
  }
}

// Consumers get an array in every case, also for no record (where the
// serializer has nothing) and for a record it writes as a bare object.
static std::string asArray(oxlo_recbuf &s, unsigned records) {
  uint32_t len = 0;
  const char *out = records ? oxlo_recbuf_output(&s, &len) : nullptr;
  std::string text = out ? std::string(out, len) : std::string();
  if (records == 0 || text.empty()) return "[]";
  if (text[0] == '{') return "[" + text + "]";
  return text;
}

std::string LinuxSocketMonitor::renderTable(const PortTable &table) {
  oxlo_recbuf s;
  if (oxlo_recbuf_init(&s, OXLO_SER_FORMAT_JSON) != 0) return "[]";
  unsigned records = 0;
  for (const auto &[port, info] : table) {
    if (info->getPath().empty()) continue;
    const std::string &path = info->getPath();
    oxlo_recbuf_put_u32(&s, "port", port);
    oxlo_recbuf_put_text(&s, "proc", path.c_str());
    oxlo_recbuf_put_text(&s, "pkg", PackageCache::instance().packageFile(path.c_str()));
    oxlo_recbuf_end_record(&s);
    records++;
  }
  std::string out = asArray(s, records);
  oxlo_recbuf_release(&s);
  return out;
}

static std::string jsonString(const char *text) {
  json_object *s = json_object_new_string(text);
  std::string out = json_object_to_json_string_ext(s, JSON_C_TO_STRING_PLAIN);
  json_object_put(s);
  return out;
}

std::string LinuxSocketMonitor::hostDescription(const char *instanceName) {
  std::string out = "{";
  if (instanceName && *instanceName) out += "\"instance-name\":" + jsonString(instanceName) + ",";
  out += "\"ip-addresses\":[";
  bool first = true;
  for (const auto &a : localAddresses) {
    uint32_t net = htonl(a.first);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &net, text, sizeof(text));
    out += (first ? "\"" : ",\"") + std::string(text) + "\"";
    first = false;
  }
  out += "],\"listening-ports\":{\"tcp4\":" + renderTable(tcp4) + ",\"tcp6\":" + renderTable(tcp6) +
         ",\"udp4\":" + renderTable(udp4) + ",\"udp6\":" + renderTable(udp6) + "}}";
  return out;
}
