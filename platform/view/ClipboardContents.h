#pragma once

#include <string>
#include <system_error>

#include "Item.h"

namespace plumo {

// What the desktop's clipboard held, in the one form taken from it, or why it
// could not be read.
struct ClipboardContents {
  static constexpr const char* image = "image/png";
  static constexpr const char* fileList = "text/uri-list";
  static constexpr const char* text = "text/plain;charset=utf-8";

  std::string mimeType;  // one of the three above
  Data bytes;
  std::error_code error;  // why the clipboard could not be read, if it could not
};

}  // namespace plumo
