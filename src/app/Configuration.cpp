#include "Configuration.h"

Configuration configuration;

Configuration::Configuration()
    : localAddress(0),
      uniqueSourceId(0),
      publicAddress{},
      uuid{},
      flush(0),
      flowUpdatePeriod(60),
      statisticsPeriod(5),
      flowLimit(VESK_DEFAULT_FLOW_LIMIT) {}
