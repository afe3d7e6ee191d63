#include "SocketOwnerTable.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <json-c/json.h>

#include <cstdio>
#include <cstring>

#include "Log.h"
#include "PackageCache.h"
#include "ProcScan.h"

// The process id of a task record: the high half of the kernel's pid/tgid
// word (the thread-group id, what ps and ss call the pid).
static uint32_t processId(const vontrel_task &t) { return t.tid; }

SocketOwnerTable::SocketOwnerTable(const char *name)
    : ifname(name ? name : ""), nextPurge(time(nullptr) + kRecordLifetime) {
  setpwent();
  while (struct passwd *pw = getpwent()) users.emplace(pw->pw_uid, pw->pw_name);
  endpwent();
}

const char *SocketOwnerTable::eventName(uint16_t etype, char *buf, size_t size) {
  switch (etype) {
    case VONTREL_ACCEPT: return "ACCEPT";
    case VONTREL_CONNECT: return "CONNECT";
    case VONTREL_RETRANSMIT: return "RETRANSMIT";
    case VONTREL_RECV: return "RECV";
    case VONTREL_SEND: return "SEND";
    case VONTREL_CLOSE: return "CLOSE";
    case VONTREL_CONNECT_FAILED: return "CONNECT_FAILED";
    default: snprintf(buf, size, "%u", etype); return buf;
  }
}

const char *SocketOwnerTable::userNameOf(uint32_t uid) const {
  auto it = users.find(uid);
  return it == users.end() ? "" : it->second.c_str();
}

// Path and command line of one task, from /proc as far as it still holds
// them. What the kernel reported (ids, uid, command name) stays as it is: a
// process that exits right after its event (a refused connect) has no
// readable /proc/PID/exe any more, yet it is still the owner.
static void completeTask(const vontrel_task &t, std::string &path, std::string &cmd) {
  uint32_t pid = processId(t);
  if (pid == 0) return;
  path = ProcScan::exePath(pid);
  cmd = ProcScan::cmdline(pid);
}

void SocketOwnerTable::complete(Record &r) {
  r.event.proc.full_task_path = r.event.proc.cmdline = 0;
  r.event.father.full_task_path = r.event.father.cmdline = 0;
  completeTask(r.event.proc, r.procPath, r.procCmd);
  completeTask(r.event.father, r.fatherPath, r.fatherCmd);
  r.event.container_id[0] = '\0';
  if (r.event.cgroup_id > 1) {
    std::string id = containerId(r.event.cgroup_id);
    snprintf(r.event.container_id, sizeof(r.event.container_id), "%s", id.c_str());
  }
}

std::string SocketOwnerTable::containerId(uint64_t cgroupId) {
  auto it = containers.find(cgroupId);
  if (it != containers.end()) return it->second;
  std::string found;
  if (DIR *dir = opendir(cgroupDir.c_str())) {
    while (struct dirent *d = readdir(dir)) {
      if (strncmp(d->d_name, "docker-", 7) != 0) continue;
      struct stat st;
      std::string full = cgroupDir + d->d_name;
      if (stat(full.c_str(), &st) == 0 && (uint64_t)st.st_ino == cgroupId) {
        found.assign(d->d_name + 7, strnlen(d->d_name + 7, 12));
        break;
      }
    }
    closedir(dir);
  }
  if (containers.size() < 4096) containers.emplace(cgroupId, found);
  return found;
}

void SocketOwnerTable::store(Table &table, const Key &key, Record &&r) {
  auto it = table.find(key);
  if (it != table.end()) {
    uint16_t etype = r.event.etype;
    // Retransmissions, failed connects and closes say something about a
    // connection whose owner is already known: they add to it and never
    // replace the owner.
    if (etype == VONTREL_RETRANSMIT || etype == VONTREL_CONNECT_FAILED ||
        etype == VONTREL_CLOSE) {
      it->second.event.retransmissions += r.event.retransmissions;
      it->second.touched = r.touched;
      return;
    }
    it->second = std::move(r);
    return;
  }
  if (table.size() >= kMaxRecords) {
    auto oldest = table.begin();
    for (auto i = table.begin(); i != table.end(); ++i)
      if (i->second.touched < oldest->second.touched) oldest = i;
    table.erase(oldest);
  }
  table.emplace(key, std::move(r));
}

void SocketOwnerTable::purgeIfDue(time_t now) {
  if (now < nextPurge) return;
  for (Table *t : {&v4, &v6})
    for (auto it = t->begin(); it != t->end();)
      it = now - it->second.touched > kRecordLifetime ? t->erase(it) : std::next(it);
  containers.clear();
  nextPurge = now + kRecordLifetime;
}

int SocketOwnerTable::handleEvent(const void *data, size_t size, time_t now) {
  if (size != sizeof(vontrel_event)) {
    printf("Invalid event size: %u vs %u\n", (unsigned)size, (unsigned)sizeof(vontrel_event));
    fflush(stdout);
    return 1;
  }
  Record r;
  memcpy(&r.event, data, sizeof(r.event));
  vontrel_event &e = r.event;
  e.ifname[sizeof(e.ifname) - 1] = '\0';
  e.proc.task[sizeof(e.proc.task) - 1] = e.father.task[sizeof(e.father.task) - 1] = '\0';
  if (processId(e.proc) == 0) return 0;
  if (!ifname.empty() && ifname != e.ifname && strcmp(e.ifname, "eth0") != 0) return 0;
  if (e.ip_version != 4 && e.ip_version != 6) return 0;

  complete(r);
  r.touched = now;

  if (trace && trace->getLevel() > TRACE_NORMAL) {
    std::string json = eventJson(e, r.procPath, r.procCmd, r.fatherPath, r.fatherCmd);
    printf("%s\n", json.c_str());
    fflush(stdout);
  }

  Key key{};
  key.proto = e.proto;
  bool local_is_source = e.sent_packet != 0;
  key.port = local_is_source ? e.sport : e.dport;
  if (e.ip_version == 4) {
    uint32_t a = (uint32_t)(local_is_source ? e.addr.v4.saddr : e.addr.v4.daddr);
    memcpy(key.address.data(), &a, 4);
    store(v4, key, std::move(r));
  } else {
    memcpy(key.address.data(), local_is_source ? e.addr.v6.saddr : e.addr.v6.daddr, 16);
    store(v6, key, std::move(r));
  }
  purgeIfDue(now);
  return 0;
}

void SocketOwnerTable::addBootstrapSocket(uint8_t ipVersion, const uint8_t *localAddress,
                                          const uint8_t *remoteAddress, uint16_t localPort,
                                          uint16_t remotePort, uint32_t pid, time_t now) {
  if (pid == 0) return;
  Record r;
  memset(&r.event, 0, sizeof(r.event));
  vontrel_event &e = r.event;
  e.ip_version = ipVersion;
  e.sent_packet = 1;
  e.proto = 6;
  e.sport = localPort;
  e.dport = remotePort;
  Key key{};
  key.proto = 6;
  key.port = localPort;
  if (ipVersion == 4) {
    uint32_t l, rem;
    memcpy(&l, localAddress, 4);
    memcpy(&rem, remoteAddress, 4);
    e.addr.v4.saddr = l;
    e.addr.v4.daddr = rem;
    memcpy(key.address.data(), localAddress, 4);
  } else {
    memcpy(e.addr.v6.saddr, localAddress, 16);
    memcpy(e.addr.v6.daddr, remoteAddress, 16);
    memcpy(key.address.data(), localAddress, 16);
  }
  e.proc.pid = e.proc.tid = pid;
  // Owner and parent ids from /proc (the kernel did not report them here).
  char file[48];
  snprintf(file, sizeof(file), "/proc/%u/status", pid);
  if (FILE *f = fopen(file, "re")) {
    char line[256];
    while (fgets(line, sizeof(line), f)) {
      if (strncmp(line, "PPid:", 5) == 0) e.father.pid = e.father.tid = (uint32_t)atol(line + 5);
      if (strncmp(line, "Uid:", 4) == 0) e.proc.uid = (uint32_t)atol(line + 4);
      if (strncmp(line, "Gid:", 4) == 0) e.proc.gid = (uint32_t)atol(line + 4);
    }
    fclose(f);
  }
  complete(r);
  r.touched = now;
  store(ipVersion == 4 ? v4 : v6, key, std::move(r));
}

static void copyOut(char *dst, uint32_t size, const std::string &src) {
  if (!dst || size == 0) return;
  snprintf(dst, size, "%s", src.c_str());
}

int SocketOwnerTable::find(const vesk_address &address, uint16_t port, bool udp, time_t now,
                           vesk_socket_owner *owner) {
  if (!owner || (address.family != 4 && address.family != 6)) return 0;
  Key key{};
  key.proto = udp ? 17 : 6;
  key.port = port;
  memcpy(key.address.data(), address.bytes, address.family == 4 ? 4 : 16);
  Table &table = address.family == 4 ? v4 : v6;
  auto it = table.find(key);
  if (it == table.end()) return 0;
  Record &r = it->second;
  const vontrel_event &e = r.event;
  std::string procPath = r.procPath.empty() ? e.proc.task : r.procPath;
  std::string fatherPath = r.fatherPath.empty() ? e.father.task : r.fatherPath;
  owner->uid = e.proc.uid;
  owner->user_name = userNameOf(e.proc.uid);
  owner->pid = processId(e.proc);
  owner->parent_pid = processId(e.father);
  owner->parent_uid = e.father.uid;
  owner->parent_user_name = userNameOf(e.father.uid);
  copyOut(owner->path, sizeof(owner->path), procPath);
  if (!r.procPath.empty())
    owner->package = PackageCache::instance().packageFile(r.procPath.c_str());
  copyOut(owner->cmdline, sizeof(owner->cmdline), r.procCmd);
  copyOut(owner->parent_path, sizeof(owner->parent_path), fatherPath);
  if (!r.fatherPath.empty())
    owner->parent_package = PackageCache::instance().packageFile(r.fatherPath.c_str());
  copyOut(owner->container, sizeof(owner->container), e.container_id);
  owner->latency_ms = (float)e.latency_usec / 1000.0f;
  r.touched = now;
  return 1;
}

static void addTask(json_object *obj, const char *key, const vontrel_task &t,
                    const std::string &path, const std::string &cmd, const char *userName) {
  json_object *p = json_object_new_object();
  json_object_object_add(p, "PID", json_object_new_int64(processId(t)));
  json_object_object_add(p, "UID", json_object_new_int64(t.uid));
  if (userName && *userName) json_object_object_add(p, "UID_NAME", json_object_new_string(userName));
  json_object_object_add(p, "GID", json_object_new_int64(t.gid));
  std::string group = ProcScan::groupName(t.gid);
  if (!group.empty()) json_object_object_add(p, "GID_NAME", json_object_new_string(group.c_str()));
  json_object_object_add(p, "TID", json_object_new_int64(t.pid));
  json_object_object_add(p, "PROCESS_PATH",
                         json_object_new_string(path.empty() ? t.task : path.c_str()));
  json_object_object_add(p, "PROCESS_CMDLINE", json_object_new_string(cmd.c_str()));
  json_object_object_add(obj, key, p);
}

std::string SocketOwnerTable::eventJson(const vontrel_event &e, const std::string &procPath,
                                        const std::string &procCmd, const std::string &fatherPath,
                                        const std::string &fatherCmd) const {
  json_object *obj = json_object_new_object();
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  char stamp[32];
  snprintf(stamp, sizeof(stamp), "%u.%06u", (unsigned)tv.tv_sec, (unsigned)tv.tv_usec);
  json_object_object_add(obj, "timestamp", json_object_new_string(stamp));
  json_object_object_add(obj, "DIRECTION", json_object_new_string(e.sent_packet ? "TX" : "RX"));
  char ifn[sizeof(e.ifname) + 1] = {0};
  memcpy(ifn, e.ifname, sizeof(e.ifname));
  json_object_object_add(obj, "INTERFACE_NAME", json_object_new_string(ifn));
  json_object_object_add(obj, "IP_PROTOCOL_VERSION", json_object_new_int(e.ip_version));
  char nbuf[8];
  json_object_object_add(obj, e.proto == 6 ? "TCP_EVENT_TYPE" : "UDP_EVENT_TYPE",
                         json_object_new_string(eventName(e.etype, nbuf, sizeof(nbuf))));
  char src[INET6_ADDRSTRLEN] = "", dst[INET6_ADDRSTRLEN] = "";
  if (e.ip_version == 4) {
    uint32_t s = (uint32_t)e.addr.v4.saddr, d = (uint32_t)e.addr.v4.daddr;
    inet_ntop(AF_INET, &s, src, sizeof(src));
    inet_ntop(AF_INET, &d, dst, sizeof(dst));
    json_object_object_add(obj, "IPV4_SRC_ADDR", json_object_new_string(src));
    json_object_object_add(obj, "IPV4_DST_ADDR", json_object_new_string(dst));
  } else {
    inet_ntop(AF_INET6, e.addr.v6.saddr, src, sizeof(src));
    inet_ntop(AF_INET6, e.addr.v6.daddr, dst, sizeof(dst));
    json_object_object_add(obj, "IPV6_SRC_ADDR", json_object_new_string(src));
    json_object_object_add(obj, "IPV6_DST_ADDR", json_object_new_string(dst));
  }
  json_object_object_add(obj, "PROTOCOL", json_object_new_int(e.proto));
  json_object_object_add(obj, "L4_SRC_PORT", json_object_new_int(e.sport));
  json_object_object_add(obj, "L4_DST_PORT", json_object_new_int(e.dport));
  if (e.latency_usec) {
    char lat[32];
    snprintf(lat, sizeof(lat), "%.3f", e.latency_usec / 1000.0);
    json_object_object_add(obj, "NW_LATENCY_MS", json_object_new_double_s(e.latency_usec / 1000.0, lat));
  }
  if (e.retransmissions)
    json_object_object_add(obj, "RETRAN_PKTS", json_object_new_int(e.retransmissions));
  if (e.proc.task[0])
    addTask(obj, "LOCAL_PROCESS", e.proc, procPath, procCmd, userNameOf(e.proc.uid));
  if (e.father.task[0])
    addTask(obj, "LOCAL_FATHER_PROCESS", e.father, fatherPath, fatherCmd, userNameOf(e.father.uid));
  if (e.container_id[0]) {
    json_object *docker = json_object_new_object();
    char id[sizeof(e.container_id) + 1] = {0};
    memcpy(id, e.container_id, sizeof(e.container_id));
    json_object_object_add(docker, "ID", json_object_new_string(id));
    json_object *container = json_object_new_object();
    json_object_object_add(container, "DOCKER", docker);
    json_object_object_add(obj, "LOCAL_CONTAINER", container);
  }
  std::string out = json_object_to_json_string_ext(obj, JSON_C_TO_STRING_PLAIN);
  json_object_put(obj);
  return out;
}
