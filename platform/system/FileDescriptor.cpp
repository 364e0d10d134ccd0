#include "FileDescriptor.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "ErrorDomain.h"

namespace plumo {

FileDescriptor FileDescriptor::openFolderAt(int parent, const std::string& name) {
  FileDescriptor folder(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder.isOpen()) throwPosixError(errno);
  return folder;
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    close();
    descriptor_ = std::exchange(other.descriptor_, -1);
  }
  return *this;
}

void FileDescriptor::close() {
  if (descriptor_ >= 0) ::close(std::exchange(descriptor_, -1));
}

}  // namespace plumo
