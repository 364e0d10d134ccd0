#include "Cancellation.h"

#include "ErrorDomain.h"

namespace plumo {

namespace {
const std::error_category& cancellationDomain() {
  static const ErrorDomain domain("Swift.CancellationError");
  return domain;
}
}  // namespace

std::error_code cancellationError() { return {1, cancellationDomain()}; }

bool isCancellation(const std::error_code& error) { return error.category() == cancellationDomain(); }

void checkCancellation(const std::stop_token& stop) {
  if (stop.stop_requested()) throw std::system_error(cancellationError());
}

}  // namespace plumo
