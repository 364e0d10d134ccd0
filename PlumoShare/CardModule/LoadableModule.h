#pragma once

#include <filesystem>

namespace plumo {

// A shared object checked before the dynamic loader maps it: the loader takes
// the file's program headers on trust, and a file cut short faults (SIGBUS)
// when a segment past its end is touched, while a FIFO in its place blocks the
// open for ever.
struct LoadableModule {
  // dlopen()s the file at `path` with `flags` once it is a regular file whose
  // program headers and the segments they describe lie within it. Throws
  // std::runtime_error naming the path and why it was not loaded.
  static void* load(const std::filesystem::path& path, int flags);
};

}  // namespace plumo
