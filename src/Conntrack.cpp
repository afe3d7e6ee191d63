// STAND-IN: the conntrack flow export and the per-queue statistics event are
// not built yet. The queue's poll thread already calls both at the right
// moments; they only keep their schedule.
#include "Configuration.h"
#include "NetfilterInterface.h"

void NetfilterInterface::exportConntrack(uint32_t now) {
  if (!firstQueue_ || now < nextConntrackExport_) return;
  nextConntrackExport_ = now + configuration.flowUpdatePeriod;
}

void NetfilterInterface::sendStatistics(uint32_t now) {
  if (now < nextStatistics_) return;
  nextStatistics_ = now + configuration.statisticsPeriod;
  lastStatistics_ = now;
}
