#pragma once

#include <cerrno>
#include <cstddef>
#include <string>
#include <unistd.h>
#include <utility>

#include "ErrorDomain.h"

namespace plumo {

// Owns one open descriptor and closes it on every way out of its scope.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int descriptor) : descriptor_(descriptor) {}
  FileDescriptor(FileDescriptor&& other) noexcept : descriptor_(std::exchange(other.descriptor_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { close(); }

  // Opens the folder `name` of an open folder, never through a link: a link
  // there fails with ELOOP or ENOTDIR. Throws the POSIX error.
  static FileDescriptor openFolderAt(int parent, const std::string& name);

  // Reads `descriptor` (owned here or not: standard input too) until the end of
  // the input or `limit` bytes, whichever comes first, across interrupted and
  // short reads, straight into the container the caller keeps (std::string or
  // Data). Throws the POSIX error.
  template <class Bytes>
  static Bytes readUpTo(int descriptor, std::size_t limit) {
    Bytes bytes(limit, 0);
    std::size_t used = 0;
    while (used < limit) {
      const ssize_t count = ::read(descriptor, bytes.data() + used, limit - used);
      if (count < 0 && errno == EINTR) continue;
      if (count < 0) throwPosixError(errno);
      if (count == 0) break;
      used += static_cast<std::size_t>(count);
    }
    bytes.resize(used);
    return bytes;
  }

  int get() const { return descriptor_; }
  bool isOpen() const { return descriptor_ >= 0; }
  // Closes now; the result is ignored, as every caller here has nothing left to save.
  void close();

 private:
  int descriptor_ = -1;
};

}  // namespace plumo
