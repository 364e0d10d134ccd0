#include "ContainerProbe.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "DurableFiles.h"
#include "RandomUuid.h"

namespace plumo::bridge {

bool ContainerProbe::succeeds(const std::filesystem::path& container, const ReadBackFunction& read) {
  const auto probe = container / (std::string(namePrefix) + RandomUuid::upperCase());
  try {
    writeNewFile(probe, content);  // never replaces or follows anything there
  } catch (const std::system_error&) {
    return false;
  }
  const auto bytes = read(probe);
  std::error_code ignored;
  std::filesystem::remove(probe, ignored);
  return bytes && *bytes == content;
}

std::optional<std::string> ContainerProbe::readBack(const std::filesystem::path& file) {
  try {
    struct stat status {};
    const auto descriptor = FileDescriptor::openRegularFileAt(AT_FDCWD, file, status);
    if (!descriptor) return std::nullopt;
    // One byte past the content tells a longer file from the content.
    return FileDescriptor::readUpTo<std::string>(descriptor->get(), content.size() + 1);
  } catch (const std::system_error&) {
    return std::nullopt;
  }
}

}  // namespace plumo::bridge
