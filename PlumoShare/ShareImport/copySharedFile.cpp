#include "copySharedFile.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

// Reads to the end in chunks, within the limits; the buffer is reserved for
// the announced size plus the final empty read, so it is not copied as it grows.
std::vector<char> readWithinLimits(int descriptor, std::int64_t announcedSize, std::int64_t total,
                                   std::int64_t count) {
  std::vector<char> buffer;
  buffer.reserve(static_cast<std::size_t>(announcedSize) + chunkSize);
  while (true) {
    const std::size_t used = buffer.size();
    buffer.resize(used + chunkSize);
    const ssize_t received = ::read(descriptor, buffer.data() + used, chunkSize);
    if (received < 0) {
      if (errno == EINTR) {
        buffer.resize(used);
        continue;
      }
      throwPosixError(errno);
    }
    buffer.resize(used + static_cast<std::size_t>(received));
    if (received == 0) return buffer;
    const auto size = static_cast<std::int64_t>(buffer.size());
    ShareImportRules::check("", count + 1, size, size + total);
  }
}

}  // namespace

ShareFileResult copySharedFile(const Url& source, const std::filesystem::path& folder,
                               const std::optional<std::string>& suggested, std::int64_t total, std::int64_t count) {
  ShareImportRules::check("", count + 1, 0, total);
  FileDescriptor file = openSource(source.path());
  const std::int64_t announcedSize = regularFileSize(file.get());
  const std::vector<char> bytes = readWithinLimits(file.get(), announcedSize, total, count);
  file.close();

  std::string name = ShareImportRules::filename(suggested, source.lastPathComponent(), count);
  writeNewFile(folder / name, std::string_view(bytes.data(), bytes.size()));
  return {std::move(name), static_cast<std::int64_t>(bytes.size())};
}

}  // namespace plumo
