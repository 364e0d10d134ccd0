#include "ShareImportFailure.h"

#include <array>

#include "ErrorDomain.h"

namespace plumo {

namespace {

constexpr std::array<std::string_view, ShareImportFailure::caseCount> rawValues = {
    "unavailable", "unsupported", "empty", "tooLarge", "queueFull", "permission", "readFailed"};

constexpr int noReadPermission = 257;
constexpr int noWritePermission = 513;

class FailureDomain : public ErrorDomain {
 public:
  FailureDomain() : ErrorDomain("PlumoShare.ShareImportFailure") {}
  std::string message(int code) const override {
    if (code < 0 || code >= ShareImportFailure::caseCount) return "unknown";
    return std::string(rawValues[static_cast<std::size_t>(code)]);
  }
};

}  // namespace

const std::error_category& shareImportFailureDomain() {
  static const FailureDomain domain;
  return domain;
}

std::error_code make_error_code(ShareImportFailure::Case value) {
  return {static_cast<int>(value), shareImportFailureDomain()};
}

std::optional<ShareImportFailure> ShareImportFailure::fromRawValue(std::string_view rawValue) {
  for (std::size_t position = 0; position < rawValues.size(); ++position) {
    if (rawValues[position] == rawValue) return ShareImportFailure(static_cast<Case>(position));
  }
  return std::nullopt;
}

std::string_view ShareImportFailure::rawValue() const { return rawValues[static_cast<std::size_t>(case_)]; }

ShareImportFailure ShareImportFailure::category(const std::error_code& error) {
  if (error.category() == shareImportFailureDomain() && error.value() >= 0 && error.value() < caseCount) {
    return static_cast<Case>(error.value());
  }
  if (error.category() == posixErrorDomain() && (error.value() == EACCES || error.value() == EPERM)) {
    return permission;
  }
  if (error.category() == cocoaErrorDomain() &&
      (error.value() == noReadPermission || error.value() == noWritePermission)) {
    return permission;
  }
  return readFailed;
}

ShareImportFailure ShareImportFailure::category(const std::exception_ptr& error) {
  return category(errorCodeOf(error));
}

}  // namespace plumo
