#pragma once

#include <stdexcept>

namespace plumo {

// A command line a program cannot take; its text says why, for the person who typed it.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace plumo
