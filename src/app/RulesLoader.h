// The reload side of a queue: builds detection modules, loads rules files
// against them and publishes each accepted result, module and rules
// together, as one immutable snapshot through the queue's hand-off. Runs on
// the thread that loads rules (the main thread); the queue thread only ever
// sees what the hand-off gives it.
#ifndef VESK_RULESLOADER_H
#define VESK_RULESLOADER_H

#include <cstdint>
#include <mutex>

#include "EngineRules.h"
#include "EngineRulesHandOff.h"
#include "vesk_rules.h"

class RulesLoader {
 public:
  // Builds the queue's first module (no engine data) and publishes it
  // without rules. Ends the process when the module cannot be built.
  explicit RulesLoader(uint32_t queueId);
  RulesLoader(const RulesLoader &) = delete;
  RulesLoader &operator=(const RulesLoader &) = delete;

  // Loads a rules file into a new rule manager and publishes it. A load
  // that fails keeps the rules in force: a file that cannot be read, one of
  // which no line could be taken, or one without a default policy (id 0)
  // while the rules in force have one. When the engine data the file names
  // ("custom_protocols", "category_file") differs in content from what the
  // module in use was built from, a fresh module is built with it before it
  // is finalized and the rules are loaded against it; otherwise the rules
  // share the module in use.
  // blacklists: the blacklist downloads of this reload, shared by every
  // queue: taken when set, else set to this load's own (if it has any).
  // shownAs names the rules in the log instead of the path (a scratch file
  // that is gone once loaded means nothing to the reader).
  bool load(const char *path, vesk_blacklists **blacklists, const char *shownAs = nullptr);

  // Where the packet path picks up what was published.
  EngineRulesHandOff &handOff() { return handOff_; }

  // What was published last and the one before (loading thread only).
  const EngineRulesPtr &current() const { return current_; }
  vesk_rule_manager *currentRules() const { return current_->rules(); }
  vesk_rule_manager *previousRules() const { return previous_ ? previous_->rules() : nullptr; }

 private:
  // A finalized module with the engine data that `data` names (NULL: none).
  oxlo_module *buildModule(vesk_rule_manager *data);
  // Whether a load's result may replace the rules in force; logs why not.
  bool loadAcceptable(int rc, vesk_rule_manager *rules, const char *path);
  // Loads the file into rules, sharing the reload's blacklist downloads;
  // false (logged) when the result must not replace the rules in force.
  bool loadInto(vesk_rule_manager *rules, const char *path, vesk_blacklists **blacklists);
  // Makes engine and rules the next snapshot; the one before the current is
  // let go (freed here unless the packet path still holds it).
  void publish(DetectionEnginePtr engine, vesk_rule_manager *rules);

  uint32_t queueId_;
  std::mutex reloadLock_;  // loads never overlap
  uint32_t generation_ = 0;
  EngineRulesHandOff handOff_;
  EngineRulesPtr current_, previous_;
};

#endif
