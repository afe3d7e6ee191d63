#include "DetectionEngine.h"

#include <cstdio>

#include "oxlo_digest.h"

DetectionEngine::DetectionEngine(oxlo_module *module, vesk_rule_manager *data,
                                 std::string signature)
    : module_(module), data_(data), signature_(std::move(signature)) {}

DetectionEngine::~DetectionEngine() {
  // The module keeps pointers to the category tags held by data.
  oxlo_module_free(module_);
  rule_manager_destroy(data_);
}

// "<kind>:<tag>:<sha-256 of the content>" per file; a file that cannot be
// read gets a digest of its own kind, so it never compares equal to content.
static void appendFile(std::string &out, char kind, const char *tag, const char *path) {
  out += kind;
  out += ':';
  out += tag ? tag : "";
  out += ':';
  FILE *f = path ? fopen(path, "rb") : nullptr;
  if (!f) {
    out += "unreadable;";
    return;
  }
  sha256_context ctx;
  oxlo_sha256_init(&ctx);
  unsigned char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0) oxlo_sha256_update(&ctx, buffer, n);
  bool failed = ferror(f) != 0;
  fclose(f);
  if (failed) {
    out += "unreadable;";
    return;
  }
  uint8_t digest[32];
  oxlo_sha256_final(&ctx, digest);
  char hex[3];
  for (uint8_t b : digest) {
    snprintf(hex, sizeof(hex), "%02x", b);
    out += hex;
  }
  out += ';';
}

std::string DetectionEngine::signatureOf(const vesk_rule_manager *data) {
  std::string out;
  if (const char *custom = rule_manager_custom_protocols_path(data))
    appendFile(out, 'P', "", custom);
  for (uint32_t i = 0; i < rule_manager_category_file_count(data); i++)
    appendFile(out, 'C', rule_manager_category_file_tag(data, i),
               rule_manager_category_file_path(data, i));
  return out;
}
