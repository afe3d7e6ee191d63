// A queue's detection module together with the engine data it was built
// from. Shared by the queue, by the rules resolved against it and by every
// flow it classifies, so a reload that builds a new module leaves the flows
// in progress on the module that started them; the last owner frees it.
#ifndef VESK_DETECTIONENGINE_H
#define VESK_DETECTIONENGINE_H

#include <memory>
#include <string>

#include "oxlo_api.h"
#include "vesk_rules.h"

class DetectionEngine {
 public:
  // Takes ownership of both (either may be NULL). data holds the engine
  // data paths and the category tags the module keeps pointers to.
  DetectionEngine(oxlo_module *module, vesk_rule_manager *data, std::string signature);
  ~DetectionEngine();
  DetectionEngine(const DetectionEngine &) = delete;
  DetectionEngine &operator=(const DetectionEngine &) = delete;

  oxlo_module *module() const { return module_; }
  vesk_rule_manager *data() const { return data_; }
  // What the engine data files held when the module was built (empty: no
  // engine data); equal signatures mean the module need not be rebuilt.
  const std::string &signature() const { return signature_; }

  // The signature of the engine data a scanned rules file names: a digest
  // of each file's content with the tag it is loaded under.
  static std::string signatureOf(const vesk_rule_manager *data);

 private:
  oxlo_module *module_;
  vesk_rule_manager *data_;
  std::string signature_;
};

using DetectionEnginePtr = std::shared_ptr<DetectionEngine>;

#endif
