#include "NetfilterInterface.h"

std::atomic<uint8_t> globalRunning{0};

void NetfilterInterface::createPath(ZMQExporterList *exporters) {
  loader_ = std::make_unique<RulesLoader>(queueId_);
  export_ = std::make_unique<FlowExport>(queueId_, exporters);
  path_ = std::make_unique<PacketPath>(queueId_, loader_->handOff(), *export_);
}

NetfilterInterface::NetfilterInterface(Unbound, uint32_t queueId, ZMQExporterList *exporters)
    : queueId_(queueId) {
  createPath(exporters);
}

NetfilterInterface::NetfilterInterface(uint32_t queueId, ZMQExporterList *exporters,
                                       bool firstQueue)
    : queueId_(queueId) {
  createPath(exporters);
  // On a throw the members go in reverse order of declaration, the order
  // release() keeps.
  reader_ = std::make_unique<QueueReader>(queueId_, *path_, *export_);
  export_->openConntrack(firstQueue);
}

NetfilterInterface::~NetfilterInterface() { teardown(); }

void NetfilterInterface::start() {
  if (reader_) reader_->start();
}

void NetfilterInterface::stop() {
  if (reader_) reader_->stop();
}

void NetfilterInterface::teardown() { release(); }

void NetfilterInterface::release() {
  // The poll thread uses everything released below: it stops first. Then
  // the flows go, before the queue binding, as they always have.
  if (reader_) reader_->join();
  path_.reset();
  reader_.reset();
  export_.reset();
  loader_.reset();
}
