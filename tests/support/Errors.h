#pragma once

#include <system_error>

namespace plumo::testing {

// The code of the std::system_error that `action` throws; none when it returns.
template <class Action>
std::error_code errorOf(Action&& action) {
  try {
    action();
  } catch (const std::system_error& error) {
    return error.code();
  }
  return {};
}

}  // namespace plumo::testing
