#include "RulesLoader.h"

#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <utility>

#include "PublicSuffixPaths.h"
#include "Trace.h"
#include "oxlo_hosts.h"

RulesLoader::RulesLoader(uint32_t queueId) : queueId_(queueId) {
  oxlo_module *module = buildModule(nullptr);
  if (!module) {
    VESK_LOG(TRACE_ERROR, "Global structure initialization failed");
    exit(-1);
  }
  current_ = std::make_shared<const EngineRules>(
      std::make_shared<DetectionEngine>(module, nullptr, std::string()), nullptr, generation_);
  handOff_.publish(current_);
}

// The engine's messages in vesk's log, at the engine's level (its debug
// lines, such as each TCP stream bound hit, appear with -v).
static void engineLog(void *, int level, const char *message) {
  VESK_LOG(level, "%s", message);
}

oxlo_module *RulesLoader::buildModule(vesk_rule_manager *data) {
  oxlo_module *module = oxlo_module_new(nullptr);
  if (!module) return nullptr;
  oxlo_set_log_callback(module, engineLog, nullptr);
  if (trace && trace->getLevel() >= TRACE_DEBUG) oxlo_set_config(module, nullptr, "log.level", "3");
  oxlo_set_config(module, nullptr, "flow.track_payload", "1");
  for (const char *path : kPublicSuffixPaths) {
    struct stat st;
    if (stat(path, &st) != 0) continue;
    if (oxlo_load_public_suffix_list(module, path) == 0)
      VESK_LOG(TRACE_DEBUG, "Successfully loaded %s", path);
    else
      VESK_LOG(TRACE_WARNING, "Error while loading %s", path);
    break;
  }
  // Engine data goes in before finalization: afterwards it would be ignored.
  if (const char *custom = rule_manager_custom_protocols_path(data)) {
    if (oxlo_load_custom_protocols_file(module, custom) == 0)
      VESK_LOG(TRACE_NORMAL, "Loaded custom protocols %s [queueId=%u]", custom, queueId_);
    else
      VESK_LOG(TRACE_WARNING, "Unable to load custom protocols %s", custom);
  }
  for (uint32_t i = 0; i < rule_manager_category_file_count(data); i++) {
    const char *file = rule_manager_category_file_path(data, i);
    const char *tag = rule_manager_category_file_tag(data, i);
    int n = oxlo_load_category_file(module, file, const_cast<char *>(tag));
    if (n < 0)
      VESK_LOG(TRACE_WARNING, "Unable to load category file %s", file);
    else
      VESK_LOG(TRACE_NORMAL, "Loaded %d categories from %s [queueId=%u]", n, file, queueId_);
  }
  if (oxlo_finalize_initialization(module) != 0) {
    oxlo_module_free(module);
    return nullptr;
  }
  return module;
}

bool RulesLoader::loadAcceptable(int rc, vesk_rule_manager *rules, const char *path) {
  const char *why = nullptr;
  if (rc == -1)
    why = "the file cannot be read";
  else if (rc == -3)
    why = "the file is larger than 4 MiB";
  else if (rc != 0)
    why = "a line of it cannot be taken: see the lines before";
  else if (rule_manager_has_default_policy(currentRules()) && !rule_manager_has_default_policy(rules))
    why = "it has no default policy (id 0) while the rules in force have one";
  if (!why) return true;
  // Swapping in what was read would open the firewall: every flow no pool
  // covers would pass.
  VESK_LOG(TRACE_ERROR, "Rules from %s refused (%s): keeping the rules in force [queueId=%u]", path,
           why, queueId_);
  return false;
}

bool RulesLoader::loadInto(vesk_rule_manager *rules, const char *path,
                           vesk_blacklists **blacklists) {
  if (blacklists && *blacklists) rule_manager_share_blacklists(rules, *blacklists);
  int rc = rule_manager_load_rules(rules, path);
  if (!loadAcceptable(rc, rules, path)) return false;
  if (blacklists && !*blacklists) *blacklists = rule_manager_blacklists(rules);
  return true;
}

bool RulesLoader::load(const char *path, vesk_blacklists **blacklists, const char *shownAs) {
  std::lock_guard<std::mutex> reload(reloadLock_);
  const DetectionEnginePtr &inUse = current_->engine();
  vesk_rule_manager *data = rule_manager_scan_engine_data(inUse->module(), path);
  // Unreadable: the load below fails the same way and keeps the rules.
  std::string signature = data ? DetectionEngine::signatureOf(data) : inUse->signature();
  DetectionEnginePtr engine = inUse;
  // The module is rebuilt only when what its data files hold has changed.
  if (signature == inUse->signature()) {
    rule_manager_destroy(data);
  } else {
    oxlo_module *module = buildModule(signature.empty() ? nullptr : data);
    if (!module) {
      rule_manager_destroy(data);
      VESK_LOG(TRACE_ERROR, "Unable to enable rules manager");
      return false;
    }
    engine = std::make_shared<DetectionEngine>(module, data, signature);
  }
  vesk_rule_manager *rules = rule_manager_create(engine->module(), 16, 16);
  if (!rules) {
    VESK_LOG(TRACE_ERROR, "Unable to enable rules manager");
    return false;
  }
  if (!loadInto(rules, path, blacklists)) {
    // The rules before the fresh module they were resolved against.
    rule_manager_destroy(rules);
    return false;
  }
  publish(std::move(engine), rules);
  VESK_LOG(TRACE_NORMAL, "Loaded rules from %s", shownAs ? shownAs : path);
  return true;
}

void RulesLoader::publish(DetectionEnginePtr engine, vesk_rule_manager *rules) {
  EngineRulesPtr next = std::make_shared<const EngineRules>(std::move(engine), rules, ++generation_);
  handOff_.publish(next);
  EngineRulesPtr displaced = std::move(previous_);
  previous_ = std::move(current_);
  current_ = std::move(next);
}
