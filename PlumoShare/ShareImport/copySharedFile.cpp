#include "copySharedFile.h"

#include <algorithm>
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

constexpr std::size_t chunkSize = 65'536;

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

// The bytes of a file, in a buffer that is never zero-filled and grows only
// when the file grows while it is read, never past the file limit plus one chunk.
class FileBuffer {
 public:
  explicit FileBuffer(std::size_t capacity) : bytes_(new char[capacity]), capacity_(capacity) {}

  // Room for the next chunk at the end.
  char* reserveChunk() {
    if (size_ + chunkSize > capacity_) {
      constexpr auto largest = static_cast<std::size_t>(ShareImportRules::fileLimit) + chunkSize;
      const std::size_t grown = std::max(std::min(capacity_ * 2, largest), size_ + chunkSize);
      std::unique_ptr<char[]> larger(new char[grown]);
      std::copy_n(bytes_.get(), size_, larger.get());
      bytes_ = std::move(larger);
      capacity_ = grown;
    }
    return bytes_.get() + size_;
  }
  void commit(std::size_t count) { size_ += count; }
  std::string_view view() const { return {bytes_.get(), size_}; }

 private:
  std::unique_ptr<char[]> bytes_;
  std::size_t capacity_;
  std::size_t size_ = 0;
};

// Reads to the end in chunks, checking the limits after each one. The buffer
// is sized for the announced length plus the final empty read.
FileBuffer readWithinLimits(int descriptor, std::int64_t announcedSize, std::int64_t total, std::int64_t count) {
  FileBuffer buffer(static_cast<std::size_t>(announcedSize) + chunkSize);
  while (true) {
    const ssize_t received = ::read(descriptor, buffer.reserveChunk(), chunkSize);
    if (received < 0) {
      if (errno == EINTR) continue;
      throwPosixError(errno);
    }
    if (received == 0) return buffer;
    buffer.commit(static_cast<std::size_t>(received));
    const auto size = static_cast<std::int64_t>(buffer.view().size());
    ShareImportRules::check("", count + 1, size, size + total);
  }
}

}  // namespace

ShareFileResult copySharedFile(const Url& source, const std::filesystem::path& folder,
                               const std::optional<std::string>& suggested, std::int64_t total, std::int64_t count) {
  ShareImportRules::check("", count + 1, 0, total);
  FileDescriptor file = openSource(source.path());
  const std::int64_t announcedSize = regularFileSize(file.get());
  const FileBuffer buffer = readWithinLimits(file.get(), announcedSize, total, count);
  file.close();

  std::string name = ShareImportRules::filename(suggested, source.lastPathComponent(), count);
  writeNewFile(folder / name, buffer.view());
  return {std::move(name), static_cast<std::int64_t>(buffer.view().size())};
}

}  // namespace plumo
