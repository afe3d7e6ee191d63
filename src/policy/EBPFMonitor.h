/* Process attribution from kernel probes: loads the embedded BPF program,
 * attaches what this kernel offers, and keeps the owners of local sockets
 * from the records the program sends through its ring buffer. */
#ifndef VESK_EBPF_MONITOR_H
#define VESK_EBPF_MONITOR_H

#include <string>
#include <vector>

#include "SocketMonitor.h"
#include "SocketOwnerTable.h"

struct bpf_object;
struct bpf_link;
struct ring_buffer;

class EBPFMonitor : public SocketMonitor {
 public:
  // Throws std::runtime_error ("Failed to open BPF skeleton", "Failed to load
  // and verify BPF skeleton", "Failed to attach BPF skeleton", "Failed to
  // create ring buffer") when the program cannot be set up; nothing is left
  // in the kernel then.
  explicit EBPFMonitor(const char *ifname);
  ~EBPFMonitor() override;

  int poll() override;
  bool hasOwnerLookup() const override { return true; }
  int findSocketOwner(const vesk_address &address, uint16_t port, bool udp,
                      vesk_socket_owner *owner) override;

  // Names of the programs attached, and whether TCP events come from the
  // tracepoints (the kernel has no kprobes) rather than from kprobes.
  const std::vector<std::string> &attachedPrograms() const { return attached; }
  bool usesTcpTracepoint() const { return tcpTracepoint; }

  // Opens and loads (verifies) every program of the embedded object without
  // attaching any; the names of those loaded, or an error text. For checking
  // a kernel, and the object itself.
  static bool loadOnly(std::vector<std::string> &programs, std::string &error);

 private:
  static int onEvent(void *ctx, void *data, size_t size);
  bool attachProgram(const char *name);
  void bootstrap();
  void release();

  bpf_object *object = nullptr;
  std::vector<bpf_link *> links;
  std::vector<std::string> attached;
  ring_buffer *ring = nullptr;
  bool tcpTracepoint = false;
  SocketOwnerTable table;
};

#endif
