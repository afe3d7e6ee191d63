#include "Options.h"

#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Trace.h"

// Entries a configuration file may yield, the program name included.
static const unsigned kMaxConfigEntries = 32;

static const char *kShortOptions = "fq:y:k:o:O:p:r:u:svVz:hHj0:1:F:";
static const struct option kLongOptions[] = {
    {"flush", no_argument, nullptr, 'f'},
    {"help", no_argument, nullptr, 'h'},
    {"usage", no_argument, nullptr, 'H'},
    {"json", no_argument, nullptr, 'j'},
    {"zmq-encryption-key", required_argument, nullptr, 'y'},
    {"protocols", required_argument, nullptr, 'O'},
    {"zmq-policy-endpoint", required_argument, nullptr, 'p'},
    {"queue-id", required_argument, nullptr, 'q'},
    {"rules", required_argument, nullptr, 'r'},
    {"skip-ct-reset", no_argument, nullptr, 's'},
    {"flow-update", required_argument, nullptr, 'u'},
    {"verbose", no_argument, nullptr, 'v'},
    {"version", no_argument, nullptr, 'V'},
    {"zmq-flow-endpoint", required_argument, nullptr, 'z'},
    {"lan", required_argument, nullptr, '0'},
    {"wan", required_argument, nullptr, '1'},
    {"flow-limit", required_argument, nullptr, 'F'},
    {nullptr, 0, nullptr, 0}};

void Options::printUsage(uint16_t flowUpdatePeriod) {
  printf("Welcome to Vesk v.%s\n", VESK_VERSION);
  printf("\nUsage:\n");
  printf("vesk -q <id> [-r <file>][-p <zmq>][-h][-H][-v][-V]\n");
  printf("\nNETFILTER\n");
  printf("[-q|--queue-id <id>[:<num>]]     | NF_QUEUE queueId and number\n");
  printf("[-s|--skip-ct-reset]             | Skip conntrack reset at startup\n");
  printf("[-F|--flow-limit <num>]          | Flows tracked per queue at most. Default: %u\n",
         VESK_DEFAULT_FLOW_LIMIT);
  printf("\nEXPORT\n");
  printf("[-z|--zmq-flow-endpoint <url>]   | ZMQ flows collection endpoint (corvane)\n");
  printf("                                 | Multiple -z are supported (fan-out)\n");
  printf("[-j|--json]                      | Export messages in JSON format (instead of TLV)\n");
  printf("[-y|--zmq-encryption-key <key>]  | Encrypt ZMQ data using the specified public key\n");
  printf("[-u|--flow-update <sec>]         | Refresh flows every <sec> seconds. Default: %u\n",
         flowUpdatePeriod);
  printf("[-f|--flush]                     | Flush flows immediately over ZMQ\n");
  printf("\nPOLICY\n");
  printf("[-r|--rules <path>]              | Policy file (JSON rules) path\n");
  printf("[-p|--zmq-policy-endpoint <url>] | Policy ZMQ publisher endpoint (corvane)\n");
  printf("\nMISC\n");
  printf("[-v|--verbose]                   | Verbose\n");
  printf("[-V|--version]                   | Print application version\n");
  printf("[-h|--help]                      | Print this help\n");
  printf("[-H|--usage]                     | Verbose help\n");
  printf("\nExample with policy file:\n");
  printf("vesk -q 0 -r policy.json\n");
  printf("\nExample with corvane:\n");
  printf("vesk -q 0 -z tcp://127.0.0.1:5556 -p tcp://127.0.0.1:5557\n");
  printf("corvane -i tcp://127.0.0.1:5556c --zmq-publish-events tcp://127.0.0.1:5557\n");
  fflush(stdout);
}

void Options::printVersion() {
  printf("Vesk v.%s (r%s)\n", VESK_VERSION, VESK_REVISION);
  printf("Version:       %s\n", VESK_VERSION);
  fflush(stdout);
}

// Strict decimal: digits only, no sign, no blanks, value <= max.
static bool parseDecimal(const char *text, size_t len, unsigned long max, unsigned long &value) {
  if (len == 0 || len > 10) return false;
  unsigned long v = 0;
  for (size_t i = 0; i < len; i++) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + static_cast<unsigned long>(text[i] - '0');
  }
  if (v > max) return false;
  value = v;
  return true;
}

bool Options::parseQueueArgument(const char *argument) {
  char text[32];
  snprintf(text, sizeof(text), "%s", argument);  // cut to 31 characters
  const char *colon = strchr(text, ':');
  size_t idLen = colon ? static_cast<size_t>(colon - text) : strlen(text);

  unsigned long id = 0;
  if (!parseDecimal(text, idLen, 65535, id)) {
    VESK_STARTUP_ERROR("Invalid queue id in '%s': expected a number from 0 to 65535", argument);
    return false;
  }
  unsigned long count = 1;
  if (colon && !parseDecimal(colon + 1, strlen(colon + 1), ULONG_MAX, count)) {
    VESK_STARTUP_ERROR("Invalid number of queues in '%s': expected a number from 0 to %u", argument,
                       VESK_MAX_QUEUES);
    return false;
  }
  if (count > VESK_MAX_QUEUES) {
    VESK_LOG(TRACE_WARNING, "Too many queues defined: limiting it to %u", VESK_MAX_QUEUES);
    count = VESK_MAX_QUEUES;
  }
  // Queue ids are 16 bits in the kernel: refuse a range that would wrap.
  if (count > 0 && id + count - 1 > 65535) {
    VESK_STARTUP_ERROR("Invalid queue range '%s': queue ids end at 65535", argument);
    return false;
  }
  firstQueueId = static_cast<uint32_t>(id);
  numQueues = static_cast<uint32_t>(count);
  queueGiven = true;
  return true;
}

bool Options::parseFlowUpdate(const char *argument, uint16_t *period) {
  bool negative = argument[0] == '-';
  const char *digits = negative ? argument + 1 : argument;
  unsigned long value;
  if (!parseDecimal(digits, strlen(digits), ULONG_MAX, value)) return false;
  if (negative && value != 0)
    *period = 120;  // atoi's value compared unsigned: above 120
  else
    *period = static_cast<uint16_t>(value <= 2 ? 3 : value > 120 ? 120 : value);
  return true;
}

bool Options::parseFlowLimit(const char *argument, uint32_t *limit) {
  unsigned long value;
  if (!parseDecimal(argument, strlen(argument), VESK_MAX_FLOW_LIMIT, value) || value == 0)
    return false;
  *limit = static_cast<uint32_t>(value);
  return true;
}

// The option getopt stopped at, as it was written.
static std::string optionText(int argc, char **argv) {
  int at = optind > 1 ? optind - 1 : 1;
  if (at < argc && strncmp(argv[at], "--", 2) == 0) {
    std::string text = argv[at];
    return text.substr(0, text.find('='));
  }
  if (optopt != 0) return std::string("-") + static_cast<char>(optopt);
  return at < argc ? argv[at] : "";
}

Options::Outcome Options::parse(int argc, char **argv) {
  int c;

  // First pass: only help and version; no messages yet.
  optind = 0;
  opterr = 0;
  while ((c = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1) {
    if (c == 'h') return USAGE;
    if (c == 'V') return VERSION;
    if (c == '?' || c == ':') break;
  }

  optind = 0;
  opterr = 1;
  while ((c = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1) {
    switch (c) {
      case 'f': flush = true; break;
      case 'j': json = true; break;
      case 's': skipConntrackReset = true; break;
      case 'v': verbose = true; break;
      case 'y': encryptionKey = optarg; break;
      case 'p': policyEndpoint = optarg; break;
      case 'r': rulesPath = optarg; break;
      case 'z': flowEndpoints.push_back(optarg); break;
      case 'u':
        if (!parseFlowUpdate(optarg, &flowUpdatePeriod)) {
          VESK_STARTUP_ERROR("Invalid flow-update period '%s': expected a number of seconds",
                             optarg);
          return FAIL;
        }
        break;
      case 'F':
        if (!parseFlowLimit(optarg, &flowLimit)) {
          VESK_STARTUP_ERROR("Invalid flow limit '%s': expected a number from 1 to %u", optarg,
                             VESK_MAX_FLOW_LIMIT);
          return FAIL;
        }
        break;
      case 'q':
        if (!parseQueueArgument(optarg)) return FAIL;
        break;
      case '0':
      case '1':
        break;  // --lan / --wan: accepted and ignored
      case 'H': return USAGE_PROTOCOLS;
      case '?':
      case ':': {
        // getopt has named the option on standard error already. A known
        // option that lacks its value comes back with optopt set to it.
        bool known = c == ':' || (optopt != 0 && optopt != ':' && strchr(kShortOptions, optopt));
        VESK_STARTUP_ERROR("%s option %s: not started (see vesk -h)",
                           known ? "Missing value for" : "Unrecognised",
                           optionText(argc, argv).c_str());
        return FAIL;
      }
      default:  // -h, -O, -k, -o: nothing to do but show the usage
        return USAGE;
    }
  }
  if (optind < argc) {
    VESK_STARTUP_ERROR(
        "Unexpected argument '%s': not started (options take values after "
        "them, a configuration file comes alone)",
        argv[optind]);
    return FAIL;
  }
  return RUN;
}

// Drops leading blanks, trailing newlines and blanks and one pair of
// enclosing double quotes.
static std::string cleanPart(const char *begin, const char *end) {
  while (begin < end && (*begin == ' ' || *begin == '\t')) begin++;
  while (end > begin && strchr(" \t\r\n", end[-1])) end--;
  if (end - begin >= 2 && *begin == '"' && end[-1] == '"') {
    begin++;
    end--;
  }
  return std::string(begin, end);
}

// Longest configuration line, its newline excluded.
static const size_t kMaxConfigLine = 2047;

int Options::readConfigFile(const char *path, const char *programName,
                            std::vector<std::string> &arguments) {
  FILE *fd = fopen(path, "r");
  if (!fd) {
    VESK_STARTUP_ERROR("Unable to read config file %s", path);
    return -1;
  }
  arguments.clear();
  arguments.push_back(programName);

  char *buffer = nullptr;
  size_t capacity = 0;
  ssize_t read;
  unsigned lineNumber = 0;
  int rc = 0;
  while (rc == 0 && (read = getline(&buffer, &capacity, fd)) != -1) {
    lineNumber++;
    size_t len = static_cast<size_t>(read);
    if (len > 0 && buffer[len - 1] == '\n') len--;
    // A line cut in two, or a file that is not text, would start the
    // firewall with options nobody wrote: refuse it.
    if (len > kMaxConfigLine) {
      VESK_STARTUP_ERROR("Line %u of config file %s is longer than %u characters", lineNumber, path,
                         static_cast<unsigned>(kMaxConfigLine));
      rc = 1;
      break;
    }
    for (size_t i = 0; i < len; i++) {
      unsigned char c = static_cast<unsigned char>(buffer[i]);
      if ((c < 0x20 && c != '\t' && c != '\r') || c == 0x7F) {
        VESK_STARTUP_ERROR(
            "Line %u of config file %s holds control characters: not a "
            "config file",
            lineNumber, path);
        rc = 1;
        break;
      }
    }
    if (rc != 0) break;
    buffer[len] = '\0';

    // Leading blanks are not part of the option ("  -q 0" is "-q 0").
    char *line = buffer;
    while (*line == ' ' || *line == '\t') line++;
    len = strlen(line);
    if (line[0] == '\0' || line[0] == '#') continue;
    while (len > 1 && strchr(" \t\r\n", line[len - 1])) line[--len] = '\0';
    if (strchr(" \t\r", line[0])) continue;  // only blanks

    // "-q 0" reads like "-q=0": the first blank before any '=' separates.
    for (char *p = line; *p && *p != '='; p++) {
      if (*p == ' ' || *p == '\t') {
        *p = '=';
        break;
      }
    }

    char *equal = strchr(line, '=');
    const char *parts[2][2] = {{line, equal ? equal : line + len}, {nullptr, nullptr}};
    if (equal) {
      parts[1][0] = equal + 1;
      parts[1][1] = line + len;
    }
    for (auto &part : parts) {
      if (!part[0]) continue;
      if (arguments.size() >= kMaxConfigEntries) {
        VESK_STARTUP_ERROR("Too many options (%u)", static_cast<unsigned>(arguments.size()));
        for (size_t i = 0; i < arguments.size(); i++)
          VESK_LOG(TRACE_ERROR, "[%d][%s]", static_cast<int>(i), arguments[i].c_str());
        rc = 1;
        break;
      }
      std::string value = cleanPart(part[0], part[1]);
      if (!value.empty()) arguments.push_back(value);
    }
  }
  free(buffer);
  fclose(fd);
  if (rc == 0 && arguments.size() == 1) {
    // Without options the usage would be printed and the firewall would
    // "succeed" without running.
    VESK_STARTUP_ERROR("No options in config file %s", path);
    rc = 1;
  }
  return rc;
}
