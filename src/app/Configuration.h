// Process-wide settings and host identity, read by every part of the
// application. Filled by main during start-up, read-only afterwards.
#ifndef VESK_CONFIGURATION_H
#define VESK_CONFIGURATION_H

#include <cstdint>

class Configuration {
 public:
  Configuration();

  uint32_t localAddress;     // host byte order
  uint32_t uniqueSourceId;
  char publicAddress[32];
  char uuid[65];
  uint8_t flush;             // 1: every exported flow is sent at once
  uint16_t flowUpdatePeriod; // seconds, 3..120
  uint16_t statisticsPeriod; // seconds
  uint32_t flowLimit;        // flows a queue's table holds at most
};

// Flows per queue unless --flow-limit says otherwise, and the range it takes.
#define VESK_DEFAULT_FLOW_LIMIT 262144u
#define VESK_MAX_FLOW_LIMIT 4194304u

extern Configuration configuration;

#endif
