#pragma once

#include <cerrno>
#include <cstddef>
#include <optional>
#include <string>
#include <sys/stat.h>
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

  // Opens the entry `name` of an open folder (AT_FDCWD: the working folder; an
  // absolute name: anywhere) to read, when it is a regular file: never through a
  // link there unless `followLink` (a link fails with ELOOP), never waiting on a
  // FIFO or a device. `status` gets the file's status at the open. Throws the
  // POSIX error of the open; nothing when what is there is no regular file.
  static std::optional<FileDescriptor> openRegularFileAt(int folder, const std::string& name, struct stat& status,
                                                         bool followLink = false);

  // Whether an entry of this name is in an open folder (a link counts, whatever
  // it leads to). Throws the POSIX error of any other failure than ENOENT.
  static bool entryExistsAt(int folder, const std::string& name);

  // One read of at most `size` bytes, repeated when interrupted; 0 at the end.
  // Throws the POSIX error.
  static std::size_t readSome(int descriptor, char* buffer, std::size_t size);

  // Reads `descriptor` (owned here or not: standard input too) until the end of
  // the input or `limit` bytes, whichever comes first, across interrupted and
  // short reads, straight into the container the caller keeps (std::string or
  // Data). Throws the POSIX error.
  template <class Bytes>
  static Bytes readUpTo(int descriptor, std::size_t limit) {
    Bytes bytes(limit, 0);
    std::size_t used = 0;
    while (used < limit) {
      const std::size_t count = readSome(descriptor, reinterpret_cast<char*>(bytes.data()) + used, limit - used);
      if (count == 0) break;
      used += count;
    }
    bytes.resize(used);
    return bytes;
  }

  int get() const { return descriptor_; }
  bool isOpen() const { return descriptor_ >= 0; }
  // Closes now; the result is ignored, as every caller here has nothing left to save.
  void close();
  // Closes a file just written, and throws the POSIX error that some file systems
  // (NFS: a full quota) report only at the close.
  void closeWritten();

 private:
  int descriptor_ = -1;
};

}  // namespace plumo
