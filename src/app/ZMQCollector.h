// Policy intake from corvane: a SUB socket on the topics "ips" and "message".
// An "ips" message carries a complete rules file, which every queue loads.
#ifndef VESK_ZMQCOLLECTOR_H
#define VESK_ZMQCOLLECTOR_H

#include <cstddef>
#include <cstdint>

typedef unsigned (*ZMQReloadCallback)(const char *rulesPath);

// Largest policy text accepted after decompression.
#define ZMQ_COLLECTOR_MAX_TEXT (16u * 1024u * 1024u)

class ZMQCollector {
 public:
  // serverKey: corvane's CURVE public key or null. Throws "Failure configuring
  // ZMQ endpoint" when the socket cannot be set up (a bad key included).
  ZMQCollector(const char *endpoint, const char *serverKey);
  ~ZMQCollector();
  ZMQCollector(const ZMQCollector &) = delete;
  ZMQCollector &operator=(const ZMQCollector &) = delete;

  // One poll of at most 10 ms; a received rules file is handed to the callback.
  // Returns true when a rules file was handed over.
  bool poll(ZMQReloadCallback reload);

  // Decodes one payload frame: a leading 0 byte means a zlib stream follows.
  // The result is NUL-terminated; false (and nothing allocated) on failure.
  static bool decodePayload(const uint8_t *payload, size_t size, char **text, size_t *textLength);

 private:
  bool setup(const char *endpoint);
  char *serverKey_ = nullptr;
  void *context_ = nullptr;
  void *socket_ = nullptr;
};

#endif
