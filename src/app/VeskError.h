// The one exception type of the application: what failed, in words fit for
// the log and for whoever started vesk. main catches it, logs it and exits
// with a non-zero status.
#ifndef VESK_ERROR_H
#define VESK_ERROR_H

#include <stdexcept>
#include <string>

class VeskError : public std::runtime_error {
 public:
  explicit VeskError(const std::string &message) : std::runtime_error(message) {}
};

#endif
