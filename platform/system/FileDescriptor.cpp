#include "FileDescriptor.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ErrorDomain.h"

namespace plumo {

FileDescriptor FileDescriptor::openFolderAt(int parent, const std::string& name) {
  FileDescriptor folder(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder.isOpen()) throwPosixError(errno);
  return folder;
}

// O_NONBLOCK keeps a FIFO (or a device) from blocking the open; it changes
// nothing for the regular files that are read.
std::optional<FileDescriptor> FileDescriptor::openRegularFileAt(int folder, const std::string& name,
                                                                struct stat& status, bool followLink) {
  const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW);
  FileDescriptor file(::openat(folder, name.c_str(), flags));
  if (!file.isOpen()) throwPosixError(errno);
  if (::fstat(file.get(), &status) != 0) throwPosixError(errno);
  if (!S_ISREG(status.st_mode)) return std::nullopt;
  return file;
}

bool FileDescriptor::entryExistsAt(int folder, const std::string& name) {
  struct stat status {};
  if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) return true;
  if (errno != ENOENT) throwPosixError(errno);
  return false;
}

std::size_t FileDescriptor::readSome(int descriptor, char* buffer, std::size_t size) {
  while (true) {
    const ssize_t count = ::read(descriptor, buffer, size);
    if (count >= 0) return static_cast<std::size_t>(count);
    if (errno != EINTR) throwPosixError(errno);
  }
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    close();
    descriptor_ = std::exchange(other.descriptor_, -1);
  }
  return *this;
}

void FileDescriptor::closeWritten() {
  if (::close(std::exchange(descriptor_, -1)) != 0) throwPosixError(errno);
}

void FileDescriptor::close() {
  if (descriptor_ >= 0) ::close(std::exchange(descriptor_, -1));
}

}  // namespace plumo
