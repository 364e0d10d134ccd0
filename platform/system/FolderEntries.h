#pragma once

#include <dirent.h>
#include <optional>
#include <string>

namespace plumo {

// The names in an open folder, "." and ".." left out, from its first entry on.
// They are read through a duplicate of the folder's descriptor, which is
// closed on every way out.
class FolderEntries {
 public:
  // Throws the POSIX error.
  explicit FolderEntries(int folder);
  FolderEntries(const FolderEntries&) = delete;
  FolderEntries& operator=(const FolderEntries&) = delete;
  ~FolderEntries();

  // The next name, or nothing once all were read. A failed read throws the POSIX error.
  std::optional<std::string> next();

 private:
  DIR* stream_;
};

}  // namespace plumo
