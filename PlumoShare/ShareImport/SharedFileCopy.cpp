#include "SharedFileCopy.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <memory>
#include <unistd.h>

#include "Cancellation.h"
#include "DurableFiles.h"
#include "ErrorDomain.h"
#include "FileDescriptor.h"
#include "ShareImportFailure.h"
#include "ShareImportRules.h"

namespace plumo {

namespace {

// Large enough that the system calls cost little, small enough to stay in the cache.
constexpr std::size_t chunkSize = 131'072;

// A regular file within the file limit, and its size at the open.
std::pair<FileDescriptor, std::int64_t> openSource(const std::string& path) {
  struct stat status {};
  auto source = FileDescriptor::openRegularFileAt(AT_FDCWD, path, status);
  if (!source) throw std::system_error(ShareImportFailure::unsupported);
  if (status.st_size > ShareImportRules::fileLimit) throw std::system_error(ShareImportFailure::tooLarge);
  return {std::move(*source), status.st_size};
}

// Refusals that only say the kernel cannot copy between these two files.
bool kernelCopyUnsupported(int error) {
  return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

// Moves the source's next chunk to the target, from their current positions:
// inside the kernel where it can (copy_file_range, which also shares blocks
// on btrfs and XFS), else through a buffer. Returns 0 only at the source's
// end as read() sees it: copy_file_range also stops at a size that says
// nothing (procfs files announce 0), so its 0 is checked with a read.
class ChunkCopier {
 public:
  ChunkCopier(int source, int target) : source_(source), target_(target) {}

  std::size_t next() {
    while (inKernel_) {
      const ssize_t copied = ::copy_file_range(source_, nullptr, target_, nullptr, chunkSize, 0);
      if (copied > 0) return static_cast<std::size_t>(copied);
      if (copied < 0 && errno == EINTR) continue;
      if (copied < 0 && !kernelCopyUnsupported(errno)) throwPosixError(errno);
      inKernel_ = false;
    }
    if (!buffer_) buffer_.reset(new char[chunkSize]);
    const std::size_t received = FileDescriptor::readSome(source_, buffer_.get(), chunkSize);
    writeAll(target_, {buffer_.get(), received});
    return received;
  }

 private:
  int source_;
  int target_;
  bool inKernel_ = true;
  std::unique_ptr<char[]> buffer_;
};

// Copies to the end in chunks, checking the limits and the stop request after
// each one, so that a file growing while it is copied is refused at most one
// chunk past the limit, and a dismiss never waits for a whole file on a slow
// disk. A file that ends short of the size it had at the open is torn, not a
// smaller file. Returns the bytes copied.
std::int64_t copyWithinLimits(int source, int target, std::int64_t announcedSize, std::int64_t total,
                              std::int64_t count, const std::stop_token& stop) {
  ChunkCopier copier(source, target);
  std::int64_t size = 0;
  while (const std::size_t moved = copier.next()) {
    size += static_cast<std::int64_t>(moved);
    ShareImportRules::check({.files = count + 1, .fileSize = size, .total = size + total});
    checkCancellation(stop);
  }
  if (size < announcedSize) throw std::system_error(ShareImportFailure::readFailed);
  return size;
}

}  // namespace

ShareFileResult SharedFileCopy::copy(const Url& source, const std::filesystem::path& folder,
                                     const std::optional<std::string>& suggested, std::int64_t total,
                                     std::int64_t count, const std::stop_token& stop) {
  ShareImportRules::check({.files = count + 1, .total = total});
  const auto [file, announcedSize] = openSource(source.path());

  std::string name = ShareImportRules::filename(suggested, source.lastPathComponent(), count);
  const std::filesystem::path target = folder / name;
  FileDescriptor copy = createNewFile(target);
  try {
    const std::int64_t size = copyWithinLimits(file.get(), copy.get(), announcedSize, total, count, stop);
    startWriteback(copy.get());
    return {std::move(name), size};
  } catch (...) {
    copy.close();
    ::unlink(target.c_str());
    throw;
  }
}

}  // namespace plumo
