/* A named group of hosts (MAC addresses, IP addresses or prefixes) bound to
 * one policy; one "pool" line of the rules file. */
#ifndef VESK_POOL_H
#define VESK_POOL_H

#include <json-c/json.h>

#include <cstdint>
#include <string>
#include <vector>

class Pool {
 public:
  // Throws a message text when a required key is missing or out of range.
  explicit Pool(json_object *line);
  ~Pool() = default;

  struct Network {
    int family;  // 4 or 6, from how the address is written
    uint8_t address[16];
    uint8_t bits;
  };
  // The pool's MAC keys and networks, for the owner to enter into its maps;
  // entries that do not parse are logged and left out.
  void members(std::vector<uint64_t> *macKeys, std::vector<Network> *networks) const;

  uint16_t getId() const { return id; }
  uint16_t getPolicyId() const { return policyId; }
  const std::string &getName() const { return name; }
  const std::vector<std::string> &getMacs() const { return macs; }
  const std::vector<std::string> &getAddresses() const { return addresses; }

 private:
  uint16_t id;
  uint16_t policyId;
  std::string name;
  std::vector<std::string> macs;
  std::vector<std::string> addresses;
};

#endif
