// Command line and configuration file of the firewall.
#ifndef VESK_OPTIONS_H
#define VESK_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

#include "Configuration.h"

#define VESK_VERSION "1.0.260720"
#define VESK_REVISION "815"
#define VESK_MAX_QUEUES 32

class Options {
 public:
  // What main should do once the command line has been read.
  enum Outcome {
    RUN,              // start the firewall (main refuses it without -q)
    USAGE,            // print the usage text, exit 0
    USAGE_PROTOCOLS,  // usage text and the supported protocols, exit 0
    VERSION,          // print the version lines, exit 0
    FAIL              // a bad option, value or argument was reported, exit 1
  };

  bool queueGiven = false;
  uint32_t firstQueueId = 0;
  uint32_t numQueues = 1;
  bool skipConntrackReset = false;
  bool json = false;
  bool flush = false;
  bool verbose = false;
  uint16_t flowUpdatePeriod = 60;
  uint32_t flowLimit = VESK_DEFAULT_FLOW_LIMIT;
  std::string rulesPath;       // empty: none
  std::string policyEndpoint;  // empty: none
  std::string encryptionKey;   // empty: none
  std::vector<std::string> flowEndpoints;

  // Two passes over argv with getopt_long: the first only for -h and -V, the
  // second applies every option. An unrecognised option, a missing or bad
  // value and an argument that is no option's value are reported on
  // standard error and give FAIL: a typo must not start the firewall
  // without the options written after it. argv may be permuted.
  Outcome parse(int argc, char **argv);

  // Parses the "<id>[:<num>]" argument of -q into firstQueueId/numQueues.
  bool parseQueueArgument(const char *argument);

  // -u: a decimal number (a leading '-' allowed); values up to 2 become 3,
  // above 120 (compared unsigned, so negative ones too) become 120. False
  // for anything that is not a number.
  static bool parseFlowUpdate(const char *argument, uint16_t *period);

  // --flow-limit: a decimal number from 1 to VESK_MAX_FLOW_LIMIT.
  static bool parseFlowLimit(const char *argument, uint32_t *limit);

  // Reads a configuration file of option lines into an argument vector whose
  // first entry is the program name. Returns 0 on success, 1 when it holds
  // more entries than a command line may (the entries are logged), -1 when
  // the file cannot be read.
  static int readConfigFile(const char *path, const char *programName,
                            std::vector<std::string> &arguments);

  static void printUsage(uint16_t flowUpdatePeriod);
  static void printVersion();
};

#endif
