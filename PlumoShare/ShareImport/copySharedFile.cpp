#include "copySharedFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <memory>
#include <unistd.h>

#include "DurableFiles.h"
#include "ErrorDomain.h"
#include "FileDescriptor.h"
#include "ShareImportFailure.h"
#include "ShareImportRules.h"

namespace plumo {

namespace {

// Large enough that the system calls cost little, small enough to stay in the cache.
constexpr std::size_t chunkSize = 131'072;

// O_NONBLOCK keeps a FIFO (or a device) from blocking the open; it changes
// nothing for the regular files that are read.
FileDescriptor openSource(const std::string& path) {
  FileDescriptor source(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!source.isOpen()) throwPosixError(errno);
  return source;
}

std::int64_t regularFileSize(int descriptor) {
  struct stat status {};
  if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    throw std::system_error(ShareImportFailure::unsupported);
  }
  if (status.st_size > ShareImportRules::fileLimit) throw std::system_error(ShareImportFailure::tooLarge);
  return status.st_size;
}

// Copies to the end in chunks, checking the limits after each one before it
// is written, so that a file growing while it is read is refused with no byte
// past the limit written. A file that ends short of the size it had at the
// open is torn, not a smaller file. Returns the bytes copied.
std::int64_t copyWithinLimits(int source, int target, std::int64_t announcedSize, std::int64_t total,
                              std::int64_t count) {
  const std::unique_ptr<char[]> chunk(new char[chunkSize]);
  std::int64_t size = 0;
  while (true) {
    const ssize_t received = ::read(source, chunk.get(), chunkSize);
    if (received < 0) {
      if (errno == EINTR) continue;
      throwPosixError(errno);
    }
    if (received == 0) break;
    size += received;
    ShareImportRules::check("", count + 1, size, size + total);
    writeAll(target, {chunk.get(), static_cast<std::size_t>(received)});
  }
  if (size < announcedSize) throw std::system_error(ShareImportFailure::readFailed);
  return size;
}

}  // namespace

ShareFileResult copySharedFile(const Url& source, const std::filesystem::path& folder,
                               const std::optional<std::string>& suggested, std::int64_t total, std::int64_t count) {
  ShareImportRules::check("", count + 1, 0, total);
  const FileDescriptor file = openSource(source.path());
  const std::int64_t announcedSize = regularFileSize(file.get());

  std::string name = ShareImportRules::filename(suggested, source.lastPathComponent(), count);
  const std::filesystem::path target = folder / name;
  FileDescriptor copy = createNewFile(target);
  try {
    const std::int64_t size = copyWithinLimits(file.get(), copy.get(), announcedSize, total, count);
    startWriteback(copy.get());
    return {std::move(name), size};
  } catch (...) {
    copy.close();
    ::unlink(target.c_str());
    throw;
  }
}

}  // namespace plumo
