#pragma once

#include <exception>
#include <optional>
#include <string_view>
#include <system_error>

namespace plumo {

// The closed set of reasons a share fails. Thrown as std::system_error; as an
// error code its domain is "PlumoShare.ShareImportFailure" and its code the
// case's position, which is why the order of the cases must never change.
class ShareImportFailure {
 public:
  enum Case { unavailable, unsupported, empty, tooLarge, queueFull, permission, readFailed };
  static constexpr int caseCount = readFailed + 1;

  constexpr ShareImportFailure(Case value) : case_(value) {}  // NOLINT: a case reads as the failure

  static std::optional<ShareImportFailure> fromRawValue(std::string_view rawValue);
  std::string_view rawValue() const;
  Case value() const { return case_; }

  // Reduces any error to a case: POSIX EACCES/EPERM and the desktop framework's
  // no-permission codes become permission, every other foreign error readFailed.
  static ShareImportFailure category(const std::error_code& error);
  static ShareImportFailure category(const std::exception_ptr& error);

  friend bool operator==(ShareImportFailure, ShareImportFailure) = default;

 private:
  Case case_;
};

const std::error_category& shareImportFailureDomain();
std::error_code make_error_code(ShareImportFailure::Case value);

}  // namespace plumo

template <>
struct std::is_error_code_enum<plumo::ShareImportFailure::Case> : std::true_type {};
