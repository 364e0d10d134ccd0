#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace plumo {

// A shared object checked before the dynamic loader maps it: the loader takes
// the file's program headers on trust, and a file cut short faults (SIGBUS)
// when a segment past its end is touched, while a FIFO in its place blocks the
// open for ever.
struct LoadableModule {
  // Why the file at `path` cannot be loaded safely; absent when it is a regular
  // file whose program headers and the segments they describe lie within it.
  static std::optional<std::string> defect(const std::filesystem::path& path);
};

}  // namespace plumo
