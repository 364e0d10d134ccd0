#include "RemoveTree.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "ErrorDomain.h"
#include "FileDescriptor.h"

namespace plumo {

namespace {

std::vector<std::string> entryNames(int folder) {
  DIR* stream = ::fdopendir(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
  if (stream == nullptr) throwPosixError(errno);
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = ::readdir(stream)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
    errno = 0;
  }
  const int readError = errno;
  ::closedir(stream);
  if (readError != 0) throwPosixError(readError);
  return names;
}

}  // namespace

void removeTreeAt(int folder, const char* name) {
  if (::unlinkat(folder, name, 0) == 0) return;
  if (errno != EISDIR) throwPosixError(errno);
  {
    const FileDescriptor inner(::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!inner.isOpen()) throwPosixError(errno);
    for (const auto& entry : entryNames(inner.get())) removeTreeAt(inner.get(), entry.c_str());
  }
  if (::unlinkat(folder, name, AT_REMOVEDIR) != 0) throwPosixError(errno);
}

}  // namespace plumo
