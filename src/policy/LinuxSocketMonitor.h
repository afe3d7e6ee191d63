/* Process attribution without kernel probes: follows process start and exit
 * through the netlink process-event connector, maps socket inodes to
 * processes from /proc, and lists sockets through socket diagnostics. Used
 * to describe the host: its addresses and the programs listening on it. */
#ifndef VESK_LINUX_SOCKET_MONITOR_H
#define VESK_LINUX_SOCKET_MONITOR_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "ProcessInfo.h"
#include "SocketMonitor.h"

class LinuxSocketMonitor : public SocketMonitor {
 public:
  // Throws std::runtime_error when the process-event connector cannot be
  // joined (it needs CAP_NET_ADMIN): the caller decides what that means.
  LinuxSocketMonitor(const char *ifname, bool skipLoopback, bool listeningOnly);
  ~LinuxSocketMonitor() override;

  // Handles the waiting process events; their number, 0 when the socket
  // ended, -1 on a receive error.
  int poll() override;
  int socketFd() override { return connector; }

  // {"instance-name":...,"ip-addresses":[...],"listening-ports":{"tcp4":[...],
  // "tcp6":[...],"udp4":[...],"udp6":[...]}}: one line of JSON, valid
  // whatever the names hold. The instance name is left out when empty.
  std::string hostDescription(const char *instanceName);

  // The socket inodes this monitor knows a process for (for tests).
  size_t knownInodes() const { return inodeToPid.size(); }
  bool knowsInode(uint32_t inode) const { return inodeToPid.count(inode) != 0; }

 private:
  using PortTable = std::map<uint16_t, std::unique_ptr<ProcessInfo>>;
  void scanProcess(uint32_t pid);
  void forgetProcess(uint32_t pid);
  void rescan();
  void fillPorts(PortTable &table, int family, int protocol);
  std::string renderTable(const PortTable &table);

  int connector = -1;
  bool skipLoopback, listeningOnly;
  bool rescanDue = true;
  std::unordered_map<uint32_t, uint32_t> inodeToPid;
  std::unordered_map<uint32_t, std::vector<uint32_t>> pidToInodes;
  PortTable tcp4, tcp6, udp4, udp6;
  std::map<uint32_t, std::string> localAddresses;  // host order -> interface
};

#endif
