/* Test harness of the policy library's socket-monitor functions. It creates
 * a BPF socket monitor (unless --no-monitor), keeps polling it, and answers
 * one command per line on standard input with one line on standard output
 * that begins "> " (event lines of --debug have no such mark):
 *   find4 ADDRESS PORT tcp|udp   -> {"found":0|-1,"pid":...,...}
 *   find6 ADDRESS PORT tcp|udp
 *   sockets                      -> local_sockets_json() or null
 *   host NAME                    -> host_info_json(NAME) or null (NAME: rest of the line,
 *                                   with \n and \t unescaped)
 *   quit
 * With --debug the monitor prints each kernel event as a JSON line too.
 * The first line says "ready <attached programs>" or "nomonitor". */
#include <arpa/inet.h>
#include <json-c/json.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "EBPFMonitor.h"
#include "vesk_process.h"

static void answerFind(vesk_socket_monitor *m, bool v6, const std::string &addr, unsigned port,
                       bool udp) {
  vesk_address a = {static_cast<uint8_t>(v6 ? 6 : 4), {0}};
  static vesk_socket_owner owner;  // large: kept off the stack
  int rc = -1;
  if (inet_pton(v6 ? AF_INET6 : AF_INET, addr.c_str(), a.bytes) == 1)
    rc = socket_monitor_find_owner(m, &a, (uint16_t)port, udp, &owner);
  json_object *o = json_object_new_object();
  json_object_object_add(o, "found", json_object_new_int(rc));
  if (rc == 0) {
    json_object_object_add(o, "pid", json_object_new_int64(owner.pid));
    json_object_object_add(o, "uid", json_object_new_int64(owner.uid));
    json_object_object_add(o, "user", json_object_new_string(owner.user_name));
    json_object_object_add(o, "path", json_object_new_string(owner.path));
    json_object_object_add(o, "cmdline", json_object_new_string(owner.cmdline));
    json_object_object_add(o, "pkg", json_object_new_string(owner.package));
    json_object_object_add(o, "ppid", json_object_new_int64(owner.parent_pid));
    json_object_object_add(o, "puid", json_object_new_int64(owner.parent_uid));
    json_object_object_add(o, "puser", json_object_new_string(owner.parent_user_name));
    json_object_object_add(o, "ppath", json_object_new_string(owner.parent_path));
    json_object_object_add(o, "ppkg", json_object_new_string(owner.parent_package));
    json_object_object_add(o, "latency_ms", json_object_new_double(owner.latency_ms));
  }
  printf("> %s\n", json_object_to_json_string_ext(o, JSON_C_TO_STRING_PLAIN));
  json_object_put(o);
}

static void printText(char *text) {
  printf("> %s\n", text ? text : "null");
  vesk_policy_free(text);
}

int main(int argc, char **argv) {
  bool monitor = true, debug = false;
  const char *ifname = nullptr;
  for (int i = 1; i < argc; i++) {
    if (!strcmp(argv[i], "--no-monitor")) monitor = false;
    else if (!strcmp(argv[i], "--debug")) debug = true;
    else if (!strcmp(argv[i], "--ifname") && i + 1 < argc) ifname = argv[++i];
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  vesk_socket_monitor *m = monitor ? ebpf_socket_monitor_create(ifname) : nullptr;
  if (debug) socket_monitor_set_debug();
  if (m) {
    std::string names;
    for (const std::string &p : reinterpret_cast<EBPFMonitor *>(m)->attachedPrograms())
      names += " " + p;
    printf("ready%s\n", names.c_str());
  } else {
    printf("nomonitor fd=%d poll=%d\n", socket_monitor_fd(nullptr), socket_monitor_poll(nullptr));
  }

  std::string pending;
  for (int rounds = 0;; rounds++) {
    socket_monitor_poll(m);
    struct pollfd p = {0, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    char buf[4096];
    ssize_t n = read(0, buf, sizeof(buf));
    if (n <= 0) break;
    pending.append(buf, (size_t)n);
    size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, nl);
      pending.erase(0, nl + 1);
      socket_monitor_poll(m);
      std::istringstream in(line);
      std::string cmd;
      in >> cmd;
      if (cmd == "find4" || cmd == "find6") {
        std::string addr, proto;
        unsigned port = 0;
        in >> addr >> port >> proto;
        answerFind(m, cmd == "find6", addr, port, proto == "udp");
      } else if (cmd == "sockets") {
        printText(local_sockets_json());
      } else if (cmd == "host") {
        std::string name = line.size() > 5 ? line.substr(5) : "";
        std::string unescaped;
        for (size_t i = 0; i < name.size(); i++) {
          if (name[i] == '\\' && i + 1 < name.size() && (name[i + 1] == 'n' || name[i + 1] == 't')) {
            unescaped += name[++i] == 'n' ? '\n' : '\t';
          } else {
            unescaped += name[i];
          }
        }
        printText(host_info_json(unescaped.c_str()));
      } else if (cmd == "quit") {
        socket_monitor_destroy(m);
        return 0;
      }
    }
  }
  socket_monitor_destroy(m);
  return 0;
}
