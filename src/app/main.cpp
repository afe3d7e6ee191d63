// Vesk: start-up, main loop and shutdown of the firewall.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Configuration.h"
#include "NetfilterInterface.h"
#include "Options.h"
#include "Trace.h"
#include "Utils.h"
#include "VeskError.h"
#include "ZMQCollector.h"
#include "ZMQExporter.h"
#include "oxlo_api.h"

static NetfilterInterface *queues[VESK_MAX_QUEUES];
static uint32_t numQueues = 0;
static ZMQExporterList exporters;
static ZMQCollector *collector = nullptr;
static oxlo_module *globalModule = nullptr;
static std::string rulesPath;

// Written by the signal handlers, acted on by the main loop.
static std::atomic<uint8_t> stopSignals{0};
static std::atomic<uint8_t> reloadRequested{0};
static std::atomic<uint8_t> shuttingDown{0};

static void onStopSignal(int) {
  if (stopSignals.fetch_add(1) > 0) {
    // Already shutting down: the user insists, leave without exit handlers.
    VESK_LOG_FROM_SIGNAL(TRACE_NORMAL, "Ok I am leaving now");
    _exit(0);
  }
  globalRunning.store(0);
}

static void onReloadSignal(int) { reloadRequested.store(1); }

// Loads a rules file on every queue, in queue order; used at start-up, on
// SIGHUP and for policies pushed by the collector. Main thread only.
// The blacklist downloads of the latest reload (shared by every queue).
static vesk_blacklists *blacklists = nullptr;

// Returns the number of queues; loaded, when given, counts those that took
// the file.
static unsigned loadOnEveryQueue(const char *path, unsigned *loaded,
                                 const char *shownAs = nullptr) {
  vesk_blacklists *fetched = nullptr;
  unsigned n = 0, taken = 0;
  for (; n < VESK_MAX_QUEUES && queues[n]; n++)
    if (queues[n]->loadRules(path, &fetched, shownAs)) taken++;
  if (fetched) {
    blacklists_release(blacklists);
    blacklists = fetched;
  }
  if (loaded) *loaded = taken;
  return n;
}

static unsigned reloadRules(const char *path) { return loadOnEveryQueue(path, nullptr); }

// Start-up waits a little for the blacklists, never long: the rules apply
// without them until they arrive.
static void waitForBlacklists() {
  if (!blacklists) return;
  for (int i = 0; i < 20 && stopSignals.load() == 0; i++)
    if (blacklists_wait(blacklists, 100)) return;
  if (stopSignals.load() == 0)
    VESK_LOG(TRACE_WARNING,
             "Blacklist downloads still running: the rules apply without the blacklists "
             "until they arrive");
}

// Switches on conntrack accounting and time stamps and resets the
// accounting objects. It changes the machine (the flush removes every nfacct
// object, also those of other programs) and what it changes stays after
// vesk stops, so it runs only once the configuration has been accepted.
static void runConntrackSetup() {
  static const char *const commands[] = {
      "echo 1 > /proc/sys/net/netfilter/nf_conntrack_acct", "nfacct flush", "nfacct add ipv4",
      "echo 1 > /proc/sys/net/netfilter/nf_conntrack_timestamp"};
  for (const char *command : commands) {
    int status = system(command);
    if (status == -1)
      VESK_LOG(TRACE_WARNING, "Failed command %s: %d/%s", command, errno, strerror(errno));
    else if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
      VESK_LOG(TRACE_DEBUG, "Executed: %s", command);
    else if (WIFEXITED(status))
      // 127: the shell did not find the program (nfacct not installed).
      VESK_LOG(TRACE_WARNING, "Failed command %s: exit status %d%s", command,
               WEXITSTATUS(status),
               WEXITSTATUS(status) == 127 ? " (not found: is the nfacct package installed?)" : "");
    else
      VESK_LOG(TRACE_WARNING, "Failed command %s: ended by signal %d", command,
               WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  }
}

static void installSignalHandlers() {
  struct sigaction stop {};
  stop.sa_handler = onStopSignal;
  sigemptyset(&stop.sa_mask);
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGTERM, &stop, nullptr);
  struct sigaction reload {};
  reload.sa_handler = onReloadSignal;
  sigemptyset(&reload.sa_mask);
  sigaction(SIGHUP, &reload, nullptr);
}

// Binds every queue; its thread starts only once the queue has its rules,
// so that no packet is handled before there is a verdict for it (the
// kernel holds them meanwhile). Throws when a queue cannot be bound.
static void createQueues(const Options &options) {
  for (uint32_t i = 0; i < options.numQueues; i++) {
    uint32_t id = options.firstQueueId + i;
    try {
      queues[i] = new NetfilterInterface(id, &exporters, i == 0);
    } catch (const VeskError &e) {
      // The queue's own reason, then what it means for start-up.
      VESK_LOG(TRACE_ERROR, "%s", e.what());
      throw VeskError("Unable to poll queue " + std::to_string(id) +
                      ": not started (is another program bound to it?)");
    }
    numQueues = i + 1;
  }
}

static void startQueues() {
  // Queue threads inherit the signal mask: keep the signals for the main
  // thread, whose sleep they should cut short.
  sigset_t signals, previous;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, &previous);
  for (uint32_t i = 0; i < numQueues; i++) queues[i]->start();
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

// The first rules, on every queue; throws when a queue has none: vesk does
// not run without the rules it was given.
static void loadFirstRules() {
  unsigned loaded = 0, n;
  if (!rulesPath.empty()) {
    struct stat st;
    if (stat(rulesPath.c_str(), &st) != 0) throw VeskError("Unable to find file: " + rulesPath);
    n = loadOnEveryQueue(rulesPath.c_str(), &loaded);
    if (loaded < n)
      throw VeskError("Rules file " + rulesPath +
                      " refused: not started (the reason is logged above)");
    return;
  }
  char path[32];
  if (!Utils::writeTempFile(Utils::defaultPolicy(), path))
    throw VeskError("Unable to create temporary files to save rules: not started");
  n = loadOnEveryQueue(path, &loaded, "the built-in pass-all policy");
  unlink(path);
  if (loaded < n) throw VeskError("Built-in rules refused: not started");
}

static void mainLoop() {
  while (stopSignals.load() == 0) {
    if (reloadRequested.exchange(0)) {
      if (!rulesPath.empty()) {
        VESK_LOG(TRACE_NORMAL, "SIGHUP received: reloading rules...");
        reloadRules(rulesPath.c_str());
      } else {
        VESK_LOG(TRACE_NORMAL, "SIGHUP received (no action)");
      }
    }
    // The collector's wait stands in for the one-second sleep: a pushed
    // policy is taken as soon as it arrives; a signal cuts either short.
    if (collector)
      collector->poll(reloadRules, 1000);
    else if (stopSignals.load() == 0)
      sleep(1);
  }
}

// Stops and releases whatever start-up made.
static void releaseAll() {
  for (uint32_t i = 0; i < VESK_MAX_QUEUES && queues[i]; i++) queues[i]->stop();
  globalRunning.store(0);

  for (uint32_t i = 0; i < numQueues; i++) {
    queues[i]->teardown();
    delete queues[i];
    queues[i] = nullptr;
  }
  numQueues = 0;
  blacklists_release(blacklists);  // stops a download still running
  blacklists = nullptr;
  for (ZMQExporter *exporter : exporters) delete exporter;
  exporters.clear();
  delete collector;
  collector = nullptr;
  oxlo_module_free(globalModule);
  globalModule = nullptr;
}

static void shutdown() {
  VESK_LOG(TRACE_NORMAL, "Shutting down...");
  shuttingDown.store(1);
  releaseAll();
}

// Start-up, the main loop and shutdown; the exit status. What stops vesk
// is thrown as a VeskError and reported by main.
static int run(int argc, char **argv) {
  globalModule = oxlo_module_new(nullptr);
  if (globalModule) oxlo_finalize_initialization(globalModule);

  // A lone argument that is not an option names a configuration file.
  std::vector<std::string> fileArguments;
  std::vector<char *> arguments(argv, argv + argc);
  if (argc == 2 && argv[1][0] != '-') {
    int rc = Options::readConfigFile(argv[1], argv[0], fileArguments);
    if (rc != 0) return rc;
    arguments.clear();
    for (std::string &a : fileArguments) arguments.push_back(a.data());
  }
  arguments.push_back(nullptr);

  Options options;
  switch (options.parse(static_cast<int>(arguments.size() - 1), arguments.data())) {
    case Options::USAGE:
      Options::printUsage(options.flowUpdatePeriod);
      return 0;
    case Options::USAGE_PROTOCOLS:
      Options::printUsage(options.flowUpdatePeriod);
      printf("\nSupported protocols:\n");
      fflush(stdout);
      if (globalModule) oxlo_print_protocol_table(globalModule, stdout);
      fflush(stdout);
      oxlo_module_free(globalModule);
      globalModule = nullptr;
      return 0;
    case Options::VERSION:
      Options::printVersion();
      return 0;
    case Options::FAIL:
      return 1;
    case Options::RUN:
      break;
  }
  if (options.verbose) trace->setLevel(6);
  configuration.flush = options.flush ? 1 : 0;
  configuration.flowUpdatePeriod = options.flowUpdatePeriod;
  configuration.flowLimit = options.flowLimit;
  rulesPath = options.rulesPath;

  if (!options.queueGiven)
    throw VeskError("No queue given: start vesk with -q <id>[:<num>] (see vesk -h)");
  if (geteuid() != 0) throw VeskError("Fatal error: please start this application as root");

  VESK_LOG(TRACE_NORMAL, "Initializing: hold on...");
  configuration.localAddress = ntohl(Utils::localAddress());
  Utils::fetchPublicAddress(configuration.publicAddress);
  Utils::computeIdentity(argc, argv, configuration.localAddress, configuration.uuid,
                         sizeof(configuration.uuid), &configuration.uniqueSourceId);

  installSignalHandlers();

  const char *key = options.encryptionKey.empty() ? nullptr : options.encryptionKey.c_str();
  if (!options.policyEndpoint.empty()) {
    try {
      collector = new ZMQCollector(options.policyEndpoint.c_str(), key);
    } catch (const VeskError &) {
      throw VeskError("Unable to create ZMQ policy collector " + options.policyEndpoint);
    }
  }
  for (const std::string &endpoint : options.flowEndpoints) {
    // A collector that gets nothing would look like a quiet network.
    try {
      exporters.push_back(new ZMQExporter(endpoint.c_str(), key, !options.json, false));
    } catch (const VeskError &) {
      throw VeskError("Unable to create ZMQ exporter " + endpoint + ": not started");
    }
  }

  createQueues(options);
  loadFirstRules();
  if (numQueues > 0)
    VESK_LOG(TRACE_NORMAL,
             "Reading NFQUEUE %u to %u: packets arrive only through the iptables rules that "
             "queue them (see the README)",
             options.firstQueueId, options.firstQueueId + numQueues - 1);
  // Everything is accepted: only now is the machine changed.
  if (!options.skipConntrackReset) runConntrackSetup();
  startQueues();
  waitForBlacklists();
  for (ZMQExporter *exporter : exporters) exporter->sendHello();

  if (exporters.empty())
    VESK_LOG(TRACE_NORMAL, "Running [UUID: %s][Source ID: %u]", configuration.uuid,
             configuration.uniqueSourceId);
  else
    VESK_LOG(TRACE_NORMAL, "Running [UUID: %s][Source ID: %u][Format: %s]", configuration.uuid,
             configuration.uniqueSourceId, options.json ? "JSON" : "TLV");
  // A stop signal during start-up must not be undone here.
  uint8_t notRunning = 0;
  if (stopSignals.load() == 0) globalRunning.compare_exchange_strong(notRunning, 1);

  mainLoop();
  shutdown();
  return 0;
}

int main(int argc, char **argv) {
  trace = new Trace();
  try {
    return run(argc, argv);
  } catch (const VeskError &e) {
    VESK_STARTUP_ERROR("%s", e.what());
  } catch (const std::exception &e) {
    // Not one of ours (memory, a thread that could not be started): still
    // reported, and still nothing left running or bound.
    VESK_STARTUP_ERROR("Stopped by an unexpected error: %s", e.what());
  }
  releaseAll();
  return 1;
}
