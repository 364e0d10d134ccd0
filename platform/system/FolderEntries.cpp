#include "FolderEntries.h"

#include <cerrno>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

#include "ErrorDomain.h"

namespace plumo {

namespace {

DIR* openStream(int folder) {
  const int duplicate = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
  if (duplicate < 0) throwPosixError(errno);
  DIR* stream = ::fdopendir(duplicate);
  if (stream == nullptr) {
    const int error = errno;
    ::close(duplicate);
    throwPosixError(error);
  }
  // The duplicate shares the folder's position, which an earlier reading may have moved.
  ::rewinddir(stream);
  return stream;
}

}  // namespace

FolderEntries::FolderEntries(int folder) : stream_(openStream(folder)) {}

FolderEntries::~FolderEntries() { ::closedir(stream_); }

std::optional<std::string> FolderEntries::next() {
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(stream_);
    if (entry == nullptr) {
      if (errno != 0) throwPosixError(errno);
      return std::nullopt;
    }
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") return std::string(name);
  }
}

}  // namespace plumo
