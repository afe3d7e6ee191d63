// Policy intake from corvane: a SUB socket on the topics "ips" and "message".
// An "ips" message carries a complete rules file, which every queue loads.
#ifndef VESK_ZMQCOLLECTOR_H
#define VESK_ZMQCOLLECTOR_H

#include <cstddef>
#include <cstdint>
#include <string>

typedef unsigned (*ZMQReloadCallback)(const char *rulesPath);

// Largest policy text accepted after decompression.
#define ZMQ_COLLECTOR_MAX_TEXT (4u * 1024u * 1024u)
// Largest frame taken from the socket: a plain policy of the largest size
// and its first byte, or its zlib stream (which may be a little larger than
// the text it holds). A peer that sends more is cut off by the socket
// before the message is buffered.
#define ZMQ_COLLECTOR_MAX_FRAME (ZMQ_COLLECTOR_MAX_TEXT + ZMQ_COLLECTOR_MAX_TEXT / 1000u + 64u)
// Messages handled by one poll at most (the rest wait for the next).
#define ZMQ_COLLECTOR_MAX_BATCH 256

class ZMQCollector {
 public:
  // serverKey: corvane's CURVE public key or null. Throws VeskError("Failure
  // configuring ZMQ endpoint") when the socket cannot be set up (a bad key
  // included).
  ZMQCollector(const char *endpoint, const char *serverKey);
  ~ZMQCollector();
  ZMQCollector(const ZMQCollector &) = delete;
  ZMQCollector &operator=(const ZMQCollector &) = delete;

  // Waits at most waitMs for a message, then takes every message waiting
  // (up to ZMQ_COLLECTOR_MAX_BATCH). Each replaces the whole policy, so only
  // the last good rules file among them is handed to the callback. Returns
  // true when a rules file was handed over.
  bool poll(ZMQReloadCallback reload, int waitMs = 10);

  // Decodes one payload frame: a leading 0 byte means a zlib stream follows.
  // The result is NUL-terminated; false (and nothing allocated) on failure.
  static bool decodePayload(const uint8_t *payload, size_t size, char **text, size_t *textLength);

 private:
  bool setup(const char *endpoint);
  bool openSocket(bool first);
  void closeSocket();
  bool keepConnected();
  // Receives one waiting message; a whole rules file on an "ips" topic is
  // returned in *rules (malloc'd). False when none was waiting.
  bool receive(char **rules);
  char *serverKey_ = nullptr;
  void *context_ = nullptr;
  void *socket_ = nullptr;
  void *monitor_ = nullptr;  // disconnection events of socket_
  unsigned generation_ = 0;
  std::string endpoint_;
};

#endif
