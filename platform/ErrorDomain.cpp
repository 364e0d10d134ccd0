#include "ErrorDomain.h"

#include <cstring>
#include <nlohmann/json.hpp>

namespace plumo {

std::string ErrorDomain::message(int code) const {
  if (this == &posixErrorDomain()) return std::strerror(code);
  return domain_ + " error " + std::to_string(code);
}

const std::error_category& posixErrorDomain() {
  static const ErrorDomain domain("NSPOSIXErrorDomain");
  return domain;
}

const std::error_category& cocoaErrorDomain() {
  static const ErrorDomain domain("NSCocoaErrorDomain");
  return domain;
}

const std::error_category& itemProviderErrorDomain() {
  static const ErrorDomain domain("NSItemProviderErrorDomain");
  return domain;
}

const std::error_category& unexpectedErrorDomain() {
  static const ErrorDomain domain("PlumoShare.UnexpectedError");
  return domain;
}

std::error_code posixError(int code) { return {code, posixErrorDomain()}; }

void throwPosixError(int code) { throw std::system_error(posixError(code)); }

std::error_code errorCodeOf(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::system_error& systemError) {
    const auto& category = systemError.code().category();
    if (category == std::system_category() || category == std::generic_category()) {
      return posixError(systemError.code().value());
    }
    return systemError.code();
  } catch (const nlohmann::json::exception&) {
    return {encodingFailedCode, cocoaErrorDomain()};
  } catch (const std::bad_alloc&) {
    return posixError(ENOMEM);
  } catch (...) {
    return {1, unexpectedErrorDomain()};
  }
}

}  // namespace plumo
