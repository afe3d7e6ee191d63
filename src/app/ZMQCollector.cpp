#include "ZMQCollector.h"

#include <unistd.h>
#include <json-c/json.h>
#include <zlib.h>
#include <zmq.h>

#include <cstdlib>
#include <cstring>

#include "Trace.h"
#include "Utils.h"
#include "ZMQExporter.h"

ZMQCollector::ZMQCollector(const char *endpoint, const char *serverKey) {
  if (serverKey) serverKey_ = strdup(serverKey);
  if (!setup(endpoint)) {
    free(serverKey_);
    serverKey_ = nullptr;
    throw "Failure configuring ZMQ endpoint";
  }
}

ZMQCollector::~ZMQCollector() {
  free(serverKey_);
  if (socket_) zmq_close(socket_);
  if (context_) zmq_ctx_destroy(context_);
}

bool ZMQCollector::setup(const char *endpoint) {
  static const char *const topics[] = {"ips", "message"};
  context_ = zmq_ctx_new();
  if (!context_) {
    trace->log(TRACE_ERROR, __FILE__, __LINE__, "Unable to initialize ZMQ %s (context)", endpoint);
    return false;
  }
  auto fail = [this]() {
    if (socket_) zmq_close(socket_);
    socket_ = nullptr;
    zmq_ctx_destroy(context_);
    context_ = nullptr;
    return false;
  };
  socket_ = zmq_socket(context_, ZMQ_SUB);
  if (!socket_) {
    trace->log(TRACE_ERROR, __FILE__, __LINE__, "Unable to initialize ZMQ %s (event_subscriber)",
               endpoint);
    return fail();
  }
  if (serverKey_ && ZMQExporter::curveSetup(socket_, serverKey_) != 0) {
    trace->log(TRACE_ERROR, __FILE__, __LINE__, "Unable to set ZMQ encryption");
    return fail();
  }
  int bufferSize = ZMQ_SOCKET_BUFFER;
  if (zmq_setsockopt(socket_, ZMQ_RCVBUF, &bufferSize, sizeof(bufferSize)) != 0)
    trace->log(TRACE_WARNING, __FILE__, __LINE__, "Unable to set ZMQ buffer size");
  int linger = 0;
  zmq_setsockopt(socket_, ZMQ_LINGER, &linger, sizeof(linger));
  if (zmq_connect(socket_, endpoint) != 0) {
    trace->log(TRACE_ERROR, __FILE__, __LINE__, "Unable to connect to ZMQ endpoint %s", endpoint);
    return fail();
  }
  for (const char *topic : topics) {
    if (zmq_setsockopt(socket_, ZMQ_SUBSCRIBE, topic, strlen(topic)) != 0) {
      trace->log(TRACE_ERROR, __FILE__, __LINE__, "Unable to connect to subscribe to topic %s",
                 topic);
      return fail();
    }
    trace->log(TRACE_NORMAL, __FILE__, __LINE__, "ZMQ listening on topic '%s' at %s", topic,
               endpoint);
  }
  trace->log(TRACE_NORMAL, __FILE__, __LINE__,
             "IMPORTANT: Remember to start corvane with --zmq-publish-events %s", endpoint);
  return true;
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
        trace->log(TRACE_WARNING, __FILE__, __LINE__, "[ZMQ] Memory allocation error [size: %d]",
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
      trace->log(TRACE_ERROR, __FILE__, __LINE__, "[ZMQ] Uncompress error [%d][len: %u]", rc,
                 static_cast<unsigned>(size));
      return false;
    }
  }
  char *out = static_cast<char *>(malloc(size + 1));
  if (!out) {
    trace->log(TRACE_WARNING, __FILE__, __LINE__, "[ZMQ] Memory allocation error [size: %d]",
               static_cast<int>(size + 1));
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

bool ZMQCollector::poll(ZMQReloadCallback reload) {
  zmq_pollitem_t item = {socket_, 0, ZMQ_POLLIN, 0};
  if (zmq_poll(&item, 1, 10) <= 0 || !(item.revents & ZMQ_POLLIN)) return false;

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
  trace->log(TRACE_NORMAL, __FILE__, __LINE__, "[ZMQ] RECV [url: %s][size: %d][payload-size: %d]",
             topic, static_cast<int>(headerSize), static_cast<int>(payloadLength));
  int more = 0;
  size_t moreSize = sizeof(more);
  if (zmq_getsockopt(socket_, ZMQ_RCVMORE, &more, &moreSize) != 0 || !more) {
    trace->log(TRACE_WARNING, __FILE__, __LINE__, "[ZMQ] RECV error [size: %d][payload_len: %u]",
               static_cast<int>(headerSize), payloadLength);
    return false;
  }
  if (headerSize != ZMQ_HEADER_SIZE) {
    trace->log(TRACE_WARNING, __FILE__, __LINE__, "[ZMQ] RECV error [size: %d][payload_len: %u]",
               static_cast<int>(headerSize), payloadLength);
    discardRest(socket_);
    return false;
  }

  zmq_msg_init(&payload);
  if (zmq_msg_recv(&payload, socket_, ZMQ_DONTWAIT) < 0) {
    trace->log(TRACE_WARNING, __FILE__, __LINE__, "[ZMQ] RECV error [size: %d][payload_len: %u]",
               -1, payloadLength);
    zmq_msg_close(&payload);
    return false;
  }
  discardRest(socket_);
  size_t size = zmq_msg_size(&payload);
  if (size > payloadLength) {
    trace->log(TRACE_WARNING, __FILE__, __LINE__,
               "[ZMQ] Message truncated? [size: %u][payload_len: %u]",
               static_cast<unsigned>(size), payloadLength);
    zmq_msg_close(&payload);
    return false;
  }
  char *text = nullptr;
  size_t textLength = 0;
  bool decoded = decodePayload(static_cast<const uint8_t *>(zmq_msg_data(&payload)), size, &text,
                               &textLength);
  zmq_msg_close(&payload);
  if (!decoded) return false;

  bool handed = false;
  if (topic[0] == 'i' && !rulesTextIsWhole(text)) {
    trace->log(TRACE_WARNING, __FILE__, __LINE__,
               "[ZMQ] Invalid rules received [len: %u]: keeping the rules in force",
               static_cast<unsigned>(textLength));
  } else if (topic[0] == 'i') {
    char path[32];
    if (!Utils::writeTempFile(text, path)) {
      trace->log(TRACE_WARNING, __FILE__, __LINE__,
                 "Unable to create temporary files to save rules");
    } else {
      reload(path);
      unlink(path);
      handed = true;
    }
  }
  free(text);
  return handed;
}
