// Helpers of the ZMQ export and intake tests: a local subscriber and a TLV
// walker built on the serializer's reader.
#ifndef VESK_ZMQ_TEST_UTIL_H
#define VESK_ZMQ_TEST_UTIL_H

#include <unistd.h>
#include <zlib.h>
#include <zmq.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "oxlo_serializer.h"

namespace zmqtest {

struct Message {
  std::string topic;
  uint8_t version = 0, source = 0;
  uint32_t lengthField = 0, counter = 0;
  std::string payload;  // as received
};

// The socket files of the ipc endpoints handed out, removed at exit: the
// library leaves them behind when the bound socket closes.
inline std::vector<std::string> &ipcFiles() {
  static std::vector<std::string> files;
  return files;
}

inline std::string endpoint(const char *tag) {
  std::string path = "/tmp/vesk-" + std::string(tag) + "-" + std::to_string(getpid());
  if (ipcFiles().empty())
    std::atexit([] {
      for (const std::string &f : ipcFiles()) unlink(f.c_str());
    });
  ipcFiles().push_back(path);
  return "ipc://" + path;
}

// Receives one two-frame message within the time-out (ms); false if none.
inline bool receive(void *socket, Message *m, int timeoutMs = 2000) {
  zmq_pollitem_t item = {socket, 0, ZMQ_POLLIN, 0};
  if (zmq_poll(&item, 1, timeoutMs) <= 0) return false;
  zmq_msg_t h, p;
  zmq_msg_init(&h);
  if (zmq_msg_recv(&h, socket, 0) < 0) return false;
  const uint8_t *d = static_cast<const uint8_t *>(zmq_msg_data(&h));
  size_t n = zmq_msg_size(&h);
  if (n != 24) {
    zmq_msg_close(&h);
    return false;
  }
  m->topic.assign(reinterpret_cast<const char *>(d), strnlen(reinterpret_cast<const char *>(d), 16));
  m->version = d[16];
  m->source = d[17];
  m->lengthField = (static_cast<uint32_t>(d[18]) << 8) | d[19];
  m->counter = (static_cast<uint32_t>(d[20]) << 24) | (static_cast<uint32_t>(d[21]) << 16) |
               (static_cast<uint32_t>(d[22]) << 8) | d[23];
  zmq_msg_close(&h);
  zmq_msg_init(&p);
  if (zmq_msg_recv(&p, socket, 0) < 0) return false;
  m->payload.assign(static_cast<const char *>(zmq_msg_data(&p)), zmq_msg_size(&p));
  zmq_msg_close(&p);
  return true;
}

inline std::string inflate(const std::string &payload) {
  if (payload.empty() || payload[0] != 0) return payload;
  std::vector<char> out(payload.size() * 50 + 4096);
  uLongf len = out.size();
  if (uncompress(reinterpret_cast<Bytef *>(out.data()), &len,
                 reinterpret_cast<const Bytef *>(payload.data() + 1), payload.size() - 1) != Z_OK)
    return "<uncompress failed>";
  return std::string(out.data(), len);
}

struct Value {
  bool isText = false;
  uint64_t number = 0;
  std::string text;
};
typedef std::map<uint32_t, Value> Record;

// Splits a TLV batch into records of numeric-keyed values.
inline std::vector<Record> records(const std::string &tlv) {
  std::vector<Record> out;
  oxlo_recbuf d;
  if (oxlo_deserializer_init(&d, tlv.data(), static_cast<uint32_t>(tlv.size())) != 0) return out;
  out.emplace_back();
  for (int guard = 0; guard < 100000; guard++) {
    oxlo_recbuf_item_type keyType;
    oxlo_recbuf_item_type type = oxlo_deserializer_item_type(&d, &keyType);
    if (type == OXLO_SER_TYPE_NONE) break;
    if (type == OXLO_SER_TYPE_END_OF_RECORD) {
      oxlo_deserializer_skip_item(&d);
      out.emplace_back();
      continue;
    }
    uint32_t key = 0;
    if (oxlo_deserializer_read_key_id(&d, &key) != 0) break;
    Value v;
    if (type == OXLO_SER_TYPE_STRING) {
      oxlo_text_span span;
      if (oxlo_deserializer_read_text(&d, &span) != 0) break;
      v.isText = true;
      v.text.assign(span.str, span.len);
    } else if (oxlo_deserializer_read_u64(&d, &v.number) != 0) {
      break;
    }
    out.back()[key] = v;
    oxlo_deserializer_skip_item(&d);  // reads do not move the reader
  }
  return out;
}

}  // namespace zmqtest

#endif
