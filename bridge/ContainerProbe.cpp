#include "ContainerProbe.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <uuid/uuid.h>

namespace plumo::bridge {

namespace {

std::string upperCaseUuid() {
  uuid_t uuid;
  uuid_generate_random(uuid);
  char text[37];
  uuid_unparse_upper(uuid, text);
  return text;
}

// Never replaces or follows anything at the target; a partial file is removed.
bool writeNew(const std::filesystem::path& target, std::string_view bytes) {
  const int file = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (file < 0) return false;
  bool written = true;
  while (written && !bytes.empty()) {
    const ssize_t count = ::write(file, bytes.data(), bytes.size());
    if (count < 0 && errno == EINTR) continue;
    written = count > 0;
    if (written) bytes.remove_prefix(static_cast<std::size_t>(count));
  }
  written = ::close(file) == 0 && written;
  if (!written) ::unlink(target.c_str());
  return written;
}

}  // namespace

bool ContainerProbe::succeeds(const std::filesystem::path& container, const ReadBack& readBack) {
  const auto probe = container / (std::string(namePrefix) + upperCaseUuid());
  if (!writeNew(probe, content)) return false;
  const auto bytes = readBack(probe);
  std::error_code ignored;
  std::filesystem::remove(probe, ignored);
  return bytes && *bytes == content;
}

std::optional<std::string> ContainerProbe::readWholeFile(const std::filesystem::path& file) {
  const int descriptor = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (descriptor < 0) return std::nullopt;
  std::string bytes;
  char buffer[4096];
  ssize_t count;
  while ((count = ::read(descriptor, buffer, sizeof buffer)) != 0) {
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) break;
    bytes.append(buffer, static_cast<std::size_t>(count));
  }
  ::close(descriptor);
  if (count < 0) return std::nullopt;
  return bytes;
}

}  // namespace plumo::bridge
