#pragma once

#include <stop_token>
#include <system_error>

namespace plumo {

// The error a cancelled task fails with.
std::error_code cancellationError();
bool isCancellation(const std::error_code& error);

// Throws the cancellation error when a stop has been requested.
void checkCancellation(const std::stop_token& stop);

}  // namespace plumo
