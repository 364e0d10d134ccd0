#pragma once

#include <string>

namespace plumo {

// A fresh random (version 4) UUID in its 36-character text form.
struct RandomUuid {
  // Share ids are written in lower case.
  static std::string lowerCase();
  // As the desktop framework writes them, for the names of probe files.
  static std::string upperCase();
};

}  // namespace plumo
