#pragma once

#include <cerrno>
#include <stdexcept>
#include <string>
#include <system_error>

#include "ErrorDomain.h"

namespace plumo {

// Input refused, with the reason in words for the person who gave it: what() is
// the reason alone, code() the kind of failure for the code that decides what follows.
class Refusal : public std::system_error {
 public:
  Refusal(std::error_code kind, const std::string& reason) : std::system_error(kind), reason_(reason) {}

  // Input that breaks a rule of its own format (a manifest, a request's member): POSIX EINVAL.
  [[noreturn]] static void invalid(const std::string& reason) { throw Refusal(posixError(EINVAL), reason); }

  const char* what() const noexcept override { return reason_.what(); }

 private:
  std::runtime_error reason_;  // copied without an allocation, as an exception must be
};

}  // namespace plumo
