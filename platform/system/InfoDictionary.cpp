#include "InfoDictionary.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FileDescriptor.h"

namespace plumo {

namespace {

// The file's bytes, when it is a regular file no larger than a property list may be.
// O_NONBLOCK keeps a FIFO planted in the bundle from blocking the open.
std::optional<std::string> readSmallFile(const std::filesystem::path& file) {
  const FileDescriptor descriptor(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat status {};
  if (!descriptor.isOpen() || ::fstat(descriptor.get(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  // Room for one byte past the size seen (or the limit): a file that grew reads as cut short or too large.
  const auto announced = static_cast<std::size_t>(status.st_size);
  try {
    return FileDescriptor::readUpTo<std::string>(descriptor.get(), std::min(announced, PropertyList::byteLimit) + 1);
  } catch (const std::system_error&) {
    return std::nullopt;
  }
}

}  // namespace

InfoDictionary::InfoDictionary(const std::filesystem::path& file) : root_(nullptr, &plist_free) {
  const auto bytes = readSmallFile(file);
  if (bytes) root_ = PropertyList::fromDocument(*bytes);
}

std::optional<std::string> InfoDictionary::string(const std::string& key) const {
  if (!root_ || plist_get_node_type(root_.get()) != PLIST_DICT) return std::nullopt;
  return PropertyList::stringOf(plist_dict_get_item(root_.get(), key.c_str()));
}

}  // namespace plumo
