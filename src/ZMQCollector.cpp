#include "ZMQCollector.h"

ZMQCollector::ZMQCollector(const char *endpoint, const char *serverKey) {
  (void)endpoint;
  (void)serverKey;
  throw "Failure configuring ZMQ endpoint";
}

ZMQCollector::~ZMQCollector() {}

void ZMQCollector::poll(ZMQReloadCallback reload) { (void)reload; }
