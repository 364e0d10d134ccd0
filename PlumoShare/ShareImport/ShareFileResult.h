#pragma once

#include <cstdint>
#include <string>

namespace plumo {

// One file written into the staging folder.
struct ShareFileResult {
  std::string name;   // one path component inside the staging folder
  std::int64_t size;  // bytes written
};

}  // namespace plumo
