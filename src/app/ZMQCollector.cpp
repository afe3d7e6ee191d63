#include "ZMQCollector.h"

#include <unistd.h>
#include <json-c/json.h>
#include <zlib.h>
#include <zmq.h>

#include <cstdlib>
#include <cstring>

#include "Trace.h"
#include "Utils.h"
#include "VeskError.h"
#include "ZMQExporter.h"

static void discardRest(void *socket);

ZMQCollector::ZMQCollector(const char *endpoint, const char *serverKey) {
  if (serverKey) serverKey_ = strdup(serverKey);
  if (endpoint) endpoint_ = endpoint;
  if (!setup(endpoint)) {
    free(serverKey_);
    serverKey_ = nullptr;
    throw VeskError("Failure configuring ZMQ endpoint");
  }
}

ZMQCollector::~ZMQCollector() {
  free(serverKey_);
  closeSocket();
  if (context_) zmq_ctx_destroy(context_);
}

bool ZMQCollector::setup(const char *endpoint) {
  context_ = zmq_ctx_new();
  if (!context_) {
    VESK_LOG(TRACE_ERROR, "Unable to initialize ZMQ %s (context)", endpoint);
    return false;
  }
  if (!openSocket(true)) {
    zmq_ctx_destroy(context_);
    context_ = nullptr;
    return false;
  }
  VESK_LOG(TRACE_NORMAL, "IMPORTANT: Remember to start corvane with --zmq-publish-events %s",
           endpoint);
  return true;
}

void ZMQCollector::closeSocket() {
  if (monitor_) zmq_close(monitor_);
  monitor_ = nullptr;
  if (socket_) zmq_close(socket_);
  socket_ = nullptr;
}

bool ZMQCollector::openSocket(bool first) {
  static const char *const topics[] = {"ips", "message"};
  const char *endpoint = endpoint_.c_str();
  auto fail = [this]() {
    closeSocket();
    return false;
  };
  socket_ = zmq_socket(context_, ZMQ_SUB);
  if (!socket_) {
    VESK_LOG(TRACE_ERROR, "Unable to initialize ZMQ %s (event_subscriber)", endpoint);
    return fail();
  }
  if (serverKey_ && ZMQExporter::curveSetup(socket_, serverKey_) != 0) {
    VESK_LOG(TRACE_ERROR, "Unable to set ZMQ encryption");
    return fail();
  }
  int bufferSize = ZMQ_SOCKET_BUFFER;
  if (zmq_setsockopt(socket_, ZMQ_RCVBUF, &bufferSize, sizeof(bufferSize)) != 0)
    VESK_LOG(TRACE_WARNING, "Unable to set ZMQ buffer size");
  int linger = 0;
  zmq_setsockopt(socket_, ZMQ_LINGER, &linger, sizeof(linger));
  int64_t maxFrame = ZMQ_COLLECTOR_MAX_FRAME;
  if (zmq_setsockopt(socket_, ZMQ_MAXMSGSIZE, &maxFrame, sizeof(maxFrame)) != 0)
    VESK_LOG(TRACE_WARNING, "Unable to set ZMQ maximum message size");
  // The socket drops a connection that brings an oversize frame and does not
  // connect again by itself: the monitor tells, and poll opens a new socket.
  char monitorUrl[64];
  snprintf(monitorUrl, sizeof(monitorUrl), "inproc://vesk-collector-%p-%u",
           static_cast<void *>(this), ++generation_);
  if (zmq_socket_monitor(socket_, monitorUrl, ZMQ_EVENT_DISCONNECTED) == 0) {
    monitor_ = zmq_socket(context_, ZMQ_PAIR);
    if (monitor_ && zmq_connect(monitor_, monitorUrl) != 0) {
      zmq_close(monitor_);
      monitor_ = nullptr;
    }
  }
  if (!monitor_) VESK_LOG(TRACE_WARNING, "Unable to monitor the ZMQ connection to %s", endpoint);
  if (zmq_connect(socket_, endpoint) != 0) {
    VESK_LOG(TRACE_ERROR, "Unable to connect to ZMQ endpoint %s", endpoint);
    return fail();
  }
  for (const char *topic : topics) {
    if (zmq_setsockopt(socket_, ZMQ_SUBSCRIBE, topic, strlen(topic)) != 0) {
      VESK_LOG(TRACE_ERROR, "Unable to connect to subscribe to topic %s", topic);
      return fail();
    }
    if (first) VESK_LOG(TRACE_NORMAL, "ZMQ listening on topic '%s' at %s", topic, endpoint);
  }
  return true;
}

// Opens a new socket when the connection was dropped (an oversize message,
// or the publisher went away); false when there is no socket to poll.
bool ZMQCollector::keepConnected() {
  bool lost = false;
  for (int i = 0; monitor_ && i < 64; i++) {
    zmq_msg_t event;
    zmq_msg_init(&event);
    int rc = zmq_msg_recv(&event, monitor_, ZMQ_DONTWAIT);
    zmq_msg_close(&event);
    if (rc < 0) break;
    int more = 0;
    size_t moreSize = sizeof(more);
    if (zmq_getsockopt(monitor_, ZMQ_RCVMORE, &more, &moreSize) == 0 && more) discardRest(monitor_);
    lost = true;
  }
  if (socket_ && !lost) return true;
  if (lost)
    VESK_LOG(TRACE_WARNING,
             "[ZMQ] Connection to %s lost (a message over %u bytes is refused): reconnecting",
             endpoint_.c_str(), ZMQ_COLLECTOR_MAX_FRAME);
  closeSocket();
  return openSocket(false);
}

bool ZMQCollector::decodePayload(const uint8_t *payload, size_t size, char **text,
                                 size_t *textLength) {
  *text = nullptr;
  *textLength = 0;
  if (size > 0 && payload[0] == 0) {
    // Grow the output until the stream fits, up to a fixed bound.
    size_t capacity = 5 * size > 4096 ? 5 * size : 4096;
    if (capacity > ZMQ_COLLECTOR_MAX_TEXT) capacity = ZMQ_COLLECTOR_MAX_TEXT;
    for (;;) {
      char *out = static_cast<char *>(malloc(capacity + 1));
      if (!out) {
        VESK_LOG(TRACE_WARNING, "[ZMQ] Memory allocation error [size: %d]",
                 static_cast<int>(capacity + 1));
        return false;
      }
      uLongf outLength = capacity;
      int rc = uncompress(reinterpret_cast<Bytef *>(out), &outLength, payload + 1,
                          static_cast<uLong>(size - 1));
      if (rc == Z_OK) {
        out[outLength] = '\0';
        *text = out;
        *textLength = outLength;
        return true;
      }
      free(out);
      if (rc == Z_BUF_ERROR && capacity < ZMQ_COLLECTOR_MAX_TEXT) {
        capacity = capacity * 2 > ZMQ_COLLECTOR_MAX_TEXT ? ZMQ_COLLECTOR_MAX_TEXT : capacity * 2;
        continue;
      }
      VESK_LOG(TRACE_ERROR, "[ZMQ] Uncompress error [%d][len: %u]", rc,
               static_cast<unsigned>(size));
      return false;
    }
  }
  if (size > ZMQ_COLLECTOR_MAX_TEXT) {
    VESK_LOG(TRACE_WARNING, "[ZMQ] Policy of %u bytes refused: more than %u bytes",
             static_cast<unsigned>(size), ZMQ_COLLECTOR_MAX_TEXT);
    return false;
  }
  char *out = static_cast<char *>(malloc(size + 1));
  if (!out) {
    VESK_LOG(TRACE_WARNING, "[ZMQ] Memory allocation error [size: %d]", static_cast<int>(size + 1));
    return false;
  }
  if (size) memcpy(out, payload, size);
  out[size] = '\0';
  *text = out;
  *textLength = size;
  return true;
}

// A pushed rules file must be whole: every line that is not blank or a
// comment is a JSON object, and there is at least one. The rule manager
// skips lines it cannot read, so a damaged push would otherwise replace the
// policy in force with whatever survived.
static bool rulesTextIsWhole(const char *text) {
  int rules = 0;
  const char *line = text;
  while (*line) {
    const char *end = strchr(line, '\n');
    size_t len = end ? static_cast<size_t>(end - line) : strlen(line);
    size_t start = 0;
    while (start < len && (line[start] == ' ' || line[start] == '\t' || line[start] == '\r'))
      start++;
    if (start < len && line[start] != '#') {
      json_tokener *tok = json_tokener_new();
      json_object *root = nullptr;
      if (tok) {
        root = json_tokener_parse_ex(tok, line + start, static_cast<int>(len - start));
        if (root && json_tokener_get_error(tok) != json_tokener_success) {
          json_object_put(root);
          root = nullptr;
        }
        json_tokener_free(tok);
      }
      bool object = root && json_object_is_type(root, json_type_object);
      json_object_put(root);
      if (!object) return false;
      rules++;
    }
    if (!end) break;
    line = end + 1;
  }
  return rules > 0;
}

// The header's length field has 16 bits. A payload that fits must not be
// longer than the field says (a longer one is a message cut or mixed up); a
// larger one can only carry its size modulo 65,536, or the field saturated
// at 65,535, and is then bounded by the frame limit alone.
static bool lengthFieldFits(size_t size, unsigned field) {
  if (size <= 0xFFFF) return size <= field;
  return field == (size & 0xFFFF) || field == 0xFFFF;
}

// Drops the rest of a multi-part message so the next poll starts on a header.
static void discardRest(void *socket) {
  int more = 0;
  size_t moreSize = sizeof(more);
  for (int i = 0; i < 64; i++) {
    if (zmq_getsockopt(socket, ZMQ_RCVMORE, &more, &moreSize) != 0 || !more) return;
    zmq_msg_t part;
    zmq_msg_init(&part);
    int rc = zmq_msg_recv(&part, socket, ZMQ_DONTWAIT);
    zmq_msg_close(&part);
    if (rc < 0) return;
  }
}

bool ZMQCollector::poll(ZMQReloadCallback reload, int waitMs) {
  if (!keepConnected()) {
    if (waitMs > 0) usleep(static_cast<useconds_t>(waitMs) * 1000);
    return false;
  }
  zmq_pollitem_t item = {socket_, 0, ZMQ_POLLIN, 0};
  if (zmq_poll(&item, 1, waitMs) <= 0 || !(item.revents & ZMQ_POLLIN)) return false;

  char *rules = nullptr;
  for (int i = 0; i < ZMQ_COLLECTOR_MAX_BATCH; i++) {
    char *received = nullptr;
    if (!receive(&received)) break;
    if (received) {
      free(rules);
      rules = received;
    }
  }
  if (!rules) return false;
  bool handed = false;
  char path[32];
  if (!Utils::writeTempFile(rules, path)) {
    VESK_LOG(TRACE_WARNING, "Unable to create temporary files to save rules");
  } else {
    reload(path);
    unlink(path);
    handed = true;
  }
  free(rules);
  return handed;
}

// True when a message was taken off the socket (also one that was dropped).
bool ZMQCollector::receive(char **rules) {
  *rules = nullptr;
  // The frames are taken as messages so their real sizes are known; no
  // length field is trusted beyond what was received.
  zmq_msg_t header, payload;
  zmq_msg_init(&header);
  if (zmq_msg_recv(&header, socket_, ZMQ_DONTWAIT) < 0) {
    zmq_msg_close(&header);
    return false;
  }
  size_t headerSize = zmq_msg_size(&header);
  const uint8_t *h = static_cast<const uint8_t *>(zmq_msg_data(&header));
  char topic[ZMQ_TOPIC_SIZE + 1] = "";
  unsigned payloadLength = 0;
  if (headerSize >= ZMQ_HEADER_SIZE) {
    memcpy(topic, h, ZMQ_TOPIC_SIZE);
    // corvane's side reads this field little-endian.
    payloadLength = static_cast<unsigned>(h[18]) | (static_cast<unsigned>(h[19]) << 8);
  }
  zmq_msg_close(&header);
  VESK_LOG(TRACE_NORMAL, "[ZMQ] RECV [url: %s][size: %d][payload-size: %d]",
           Log::printable(topic, ZMQ_TOPIC_SIZE).c_str(),
           static_cast<int>(headerSize), static_cast<int>(payloadLength));
  int more = 0;
  size_t moreSize = sizeof(more);
  if (zmq_getsockopt(socket_, ZMQ_RCVMORE, &more, &moreSize) != 0 || !more) {
    VESK_LOG(TRACE_WARNING, "[ZMQ] RECV error [size: %d][payload_len: %u]",
             static_cast<int>(headerSize), payloadLength);
    return true;  // taken, and dropped
  }
  if (headerSize != ZMQ_HEADER_SIZE) {
    VESK_LOG(TRACE_WARNING, "[ZMQ] RECV error [size: %d][payload_len: %u]",
             static_cast<int>(headerSize), payloadLength);
    discardRest(socket_);
    return true;  // taken, and dropped
  }

  zmq_msg_init(&payload);
  if (zmq_msg_recv(&payload, socket_, ZMQ_DONTWAIT) < 0) {
    VESK_LOG(TRACE_WARNING, "[ZMQ] RECV error [size: %d][payload_len: %u]", -1, payloadLength);
    zmq_msg_close(&payload);
    return true;  // taken, and dropped
  }
  discardRest(socket_);
  size_t size = zmq_msg_size(&payload);
  if (!lengthFieldFits(size, payloadLength)) {
    VESK_LOG(TRACE_WARNING, "[ZMQ] Message truncated? [size: %u][payload_len: %u]",
             static_cast<unsigned>(size), payloadLength);
    zmq_msg_close(&payload);
    return true;  // taken, and dropped
  }
  char *text = nullptr;
  size_t textLength = 0;
  bool decoded = decodePayload(static_cast<const uint8_t *>(zmq_msg_data(&payload)), size, &text,
                               &textLength);
  zmq_msg_close(&payload);
  if (!decoded) return true;  // taken, and dropped

  if (topic[0] != 'i') {
    free(text);
    return true;
  }
  if (!rulesTextIsWhole(text)) {
    VESK_LOG(TRACE_WARNING, "[ZMQ] Invalid rules received [len: %u]: keeping the rules in force",
             static_cast<unsigned>(textLength));
    free(text);
    return true;
  }
  *rules = text;
  return true;
}
