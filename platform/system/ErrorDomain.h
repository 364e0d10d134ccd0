#pragma once

#include <exception>
#include <optional>
#include <string>
#include <system_error>

namespace plumo {

// An error category whose name() is an error domain string, so that any
// std::error_code reads as the general error form: domain plus integer code.
class ErrorDomain : public std::error_category {
 public:
  explicit ErrorDomain(std::string domain) : domain_(std::move(domain)) {}

  const char* name() const noexcept override { return domain_.c_str(); }
  std::string message(int code) const override;

 private:
  std::string domain_;
};

// File-system and other errno errors; the code is errno.
const std::error_category& posixErrorDomain();
// The desktop framework's errors (3072: cancelled by the user; 4866: a value could not be encoded).
const std::error_category& cocoaErrorDomain();
// Errors an item provider reports about its own loads.
const std::error_category& itemProviderErrorDomain();
// Anything thrown that is neither a std::system_error nor known here.
const std::error_category& unexpectedErrorDomain();

inline constexpr int encodingFailedCode = 4866;

std::error_code posixError(int code);
[[noreturn]] void throwPosixError(int code);

// The general error form of an error code: the standard library's system and
// generic categories carry errno and read as POSIX errors.
std::error_code inGeneralForm(const std::error_code& error);

// The general error form of whatever was thrown. Errors of the standard
// library's system and generic categories carry errno and read as POSIX errors.
std::error_code errorCodeOf(const std::exception_ptr& error);

// What the system said about an error, for people: strerror() of a POSIX error,
// also when it is nested in the error thrown (std::throw_with_nested), or the
// encoder's own words; nothing for the errors of our own domains.
std::optional<std::string> systemReasonOf(const std::exception_ptr& error);

}  // namespace plumo
