#include "ShareImportFailure.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Cancellation.h"
#include "ErrorDomain.h"

namespace plumo {
namespace {

TEST(ShareImportFailureTest, CasesKeepTheirRawValuesAndPositions) {
  const std::vector<std::pair<ShareImportFailure::Case, std::string_view>> cases = {
      {ShareImportFailure::unavailable, "unavailable"}, {ShareImportFailure::unsupported, "unsupported"},
      {ShareImportFailure::empty, "empty"},             {ShareImportFailure::tooLarge, "tooLarge"},
      {ShareImportFailure::queueFull, "queueFull"},     {ShareImportFailure::permission, "permission"},
      {ShareImportFailure::readFailed, "readFailed"}};
  for (std::size_t position = 0; position < cases.size(); ++position) {
    const auto [value, rawValue] = cases[position];
    EXPECT_EQ(ShareImportFailure(value).rawValue(), rawValue);
    EXPECT_EQ(ShareImportFailure::fromRawValue(rawValue), ShareImportFailure(value));
    const std::error_code error = value;
    EXPECT_STREQ(error.category().name(), "PlumoShare.ShareImportFailure");
    EXPECT_EQ(error.value(), static_cast<int>(position));
    EXPECT_EQ(ShareImportFailure::category(error), ShareImportFailure(value));
  }
}

TEST(ShareImportFailureTest, ConstructionFromRawValueIsExact) {
  EXPECT_EQ(ShareImportFailure::fromRawValue("queueFull"), ShareImportFailure(ShareImportFailure::queueFull));
  EXPECT_EQ(ShareImportFailure::fromRawValue("QueueFull"), std::nullopt);
  EXPECT_EQ(ShareImportFailure::fromRawValue("queuefull"), std::nullopt);
  EXPECT_EQ(ShareImportFailure::fromRawValue(""), std::nullopt);
  EXPECT_EQ(ShareImportFailure::fromRawValue("launchFailed"), std::nullopt);
}

TEST(ShareImportFailureTest, ForeignErrorsBecomePermissionOrReadFailed) {
  using F = ShareImportFailure;
  EXPECT_EQ(F::category(posixError(EPERM)), F::permission);
  EXPECT_EQ(F::category(posixError(EACCES)), F::permission);
  EXPECT_EQ(F::category(posixError(ENOENT)), F::readFailed);
  EXPECT_EQ(F::category(posixError(ENOSPC)), F::readFailed);
  EXPECT_EQ(F::category(std::error_code(257, cocoaErrorDomain())), F::permission);
  EXPECT_EQ(F::category(std::error_code(513, cocoaErrorDomain())), F::permission);
  EXPECT_EQ(F::category(std::error_code(260, cocoaErrorDomain())), F::readFailed);
  EXPECT_EQ(F::category(std::error_code(516, cocoaErrorDomain())), F::readFailed);
  EXPECT_EQ(F::category(std::error_code(13, itemProviderErrorDomain())), F::readFailed);
  EXPECT_EQ(F::category(std::error_code(13, std::system_category())), F::readFailed);
  EXPECT_EQ(F::category(cancellationError()), F::readFailed);
}

TEST(ShareImportFailureTest, ThrownErrorsAreClassifiedByWhatTheyCarry) {
  using F = ShareImportFailure;
  auto classify = [](auto thrower) {
    try {
      thrower();
    } catch (...) {
      return F::category(std::current_exception());
    }
    return F(F::empty);
  };
  EXPECT_EQ(classify([] { throw std::system_error(F::queueFull); }), F::queueFull);
  // The standard library's file errors carry errno and read as POSIX errors.
  EXPECT_EQ(classify([] { throw std::filesystem::filesystem_error("x", std::error_code(EACCES, std::system_category())); }),
            F::permission);
  EXPECT_EQ(classify([] { nlohmann::json::parse("{").clear(); }), F::readFailed);
  EXPECT_EQ(classify([] { throw std::runtime_error("?"); }), F::readFailed);

  std::exception_ptr notEncodable;
  try {
    nlohmann::json("\xff").dump().clear();
  } catch (...) {
    notEncodable = std::current_exception();
  }
  EXPECT_STREQ(errorCodeOf(notEncodable).category().name(), "NSCocoaErrorDomain");
}

}  // namespace
}  // namespace plumo
