/* What the policy library throws inside itself: a rules line that cannot be
 * taken, a socket monitor that cannot be set up. It never crosses the C
 * facade: each facade function turns it into its failure value. */
#ifndef VESK_POLICY_ERROR_H
#define VESK_POLICY_ERROR_H

#include <stdexcept>
#include <string>

class PolicyError : public std::runtime_error {
 public:
  explicit PolicyError(const std::string &message) : std::runtime_error(message) {}
};

#endif
