/* The user-space half of the eBPF socket monitor: turns the kernel's
 * 256-byte records into connection records keyed by the local socket
 * (protocol, local address, local port), completes them from /proc, and
 * answers owner lookups. Kept apart from the BPF plumbing so that it can be
 * fed and checked without loading anything into the kernel. */
#ifndef VESK_SOCKET_OWNER_TABLE_H
#define VESK_SOCKET_OWNER_TABLE_H

#include <array>
#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <unordered_map>

#include "vesk_process.h"
#include "vontrel_event.h"

class SocketOwnerTable {
 public:
  // Records not written or used for this long are purged.
  static constexpr time_t kRecordLifetime = 180;
  // At most this many records per address family; the least recently
  // used one makes room for a new one.
  static constexpr size_t kMaxRecords = 65536;

  // `ifname`: events on other interfaces than this one (and "eth0") are
  // ignored; NULL keeps every interface.
  explicit SocketOwnerTable(const char *ifname);

  // One record from the ring buffer. 1 (after printing a line) when its
  // size is not that of an event, else 0.
  int handleEvent(const void *data, size_t size, time_t now);

  // A connection found by a socket-diagnostics dump at start: the owner is
  // the process holding the inode (sockets held by no process are left out).
  void addBootstrapSocket(uint8_t ipVersion, const uint8_t *localAddress,
                          const uint8_t *remoteAddress, uint16_t localPort, uint16_t remotePort,
                          uint32_t pid, time_t now);

  // Owner lookup (the address in the facade's family-tagged form, both
  // families network order); as SocketMonitor::findSocketOwner, 1 when known.
  int find(const vesk_address &address, uint16_t port, bool udp, time_t now,
           vesk_socket_owner *owner);

  size_t size() const { return v4.size() + v6.size(); }
  // Where the container ids are looked for (a test points it elsewhere).
  void setCgroupDirectory(const std::string &dir) { cgroupDir = dir; }

  // The event's JSON form, as printed at trace levels above 2.
  std::string eventJson(const vontrel_event &e, const std::string &procPath,
                        const std::string &procCmd, const std::string &fatherPath,
                        const std::string &fatherCmd) const;
  static const char *eventName(uint16_t etype, char *buf, size_t size);

 private:
  struct Record {
    vontrel_event event;
    std::string procPath, procCmd, fatherPath, fatherCmd;
    time_t touched;
  };
  struct Key {
    uint8_t proto;
    std::array<uint8_t, 16> address;
    uint16_t port;
    bool operator<(const Key &o) const {
      if (proto != o.proto) return proto < o.proto;
      if (port != o.port) return port < o.port;
      return address < o.address;
    }
  };
  using Table = std::map<Key, Record>;

  void complete(Record &r);
  void store(Table &table, const Key &key, Record &&r);
  void purgeIfDue(time_t now);
  std::string containerId(uint64_t cgroupId);
  const char *userNameOf(uint32_t uid) const;

  std::string ifname;
  Table v4, v6;
  std::unordered_map<uint32_t, std::string> users;
  std::map<uint64_t, std::string> containers;
  std::string cgroupDir = "/sys/fs/cgroup/system.slice/";
  time_t nextPurge;
};

#endif
