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

std::error_code inGeneralForm(const std::error_code& error) {
  const auto& category = error.category();
  if (category == std::system_category() || category == std::generic_category()) return posixError(error.value());
  return error;
}

std::error_code errorCodeOf(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::system_error& systemError) {
    return inGeneralForm(systemError.code());
  } catch (const nlohmann::json::exception&) {
    return {encodingFailedCode, cocoaErrorDomain()};
  } catch (const std::bad_alloc&) {
    return posixError(ENOMEM);
  } catch (...) {
    return {1, unexpectedErrorDomain()};
  }
}

std::optional<std::string> systemReasonOf(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const nlohmann::json::exception& encoding) {
    const std::string_view what = encoding.what();  // "[json.exception.type_error.316] invalid UTF-8 byte ..."
    const auto text = what.find("] ");
    return std::string(text == std::string_view::npos ? what : what.substr(text + 2));
  } catch (const std::exception& thrown) {
    if (const auto* nested = dynamic_cast<const std::nested_exception*>(&thrown); nested && nested->nested_ptr()) {
      return systemReasonOf(nested->nested_ptr());
    }
  } catch (...) {
  }
  const std::error_code code = errorCodeOf(error);
  if (code.category() == posixErrorDomain()) return code.message();
  return std::nullopt;
}

}  // namespace plumo
