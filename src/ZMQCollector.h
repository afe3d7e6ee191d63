// STAND-IN: the policy intake from corvane is not built yet. This class has
// the collector's interface so the main loop is written against it, but its
// constructor always fails (so -p ends start-up with an error).
#ifndef VESK_ZMQCOLLECTOR_H
#define VESK_ZMQCOLLECTOR_H

typedef unsigned (*ZMQReloadCallback)(const char *rulesPath);

class ZMQCollector {
 public:
  ZMQCollector(const char *endpoint, const char *serverKey);
  ~ZMQCollector();

  // One poll of at most 10 ms; a received rules file is handed to the callback.
  void poll(ZMQReloadCallback reload);
};

#endif
