#include "InfoDictionary.h"

#include <algorithm>
#include <fcntl.h>

#include "FileDescriptor.h"

namespace plumo {

namespace {

// The file's bytes, when it is a regular file (a link to one too: a package may link
// its bundle's files) no larger than a property list may be.
std::optional<std::string> readPropertyListFile(const std::filesystem::path& file) {
  try {
    struct stat status {};
    const auto descriptor = FileDescriptor::openRegularFileAt(AT_FDCWD, file, status, true);
    if (!descriptor) return std::nullopt;
    // Room for one byte past the size seen (or the limit): a file that grew reads as cut short or too large.
    const auto announced = static_cast<std::size_t>(status.st_size);
    return FileDescriptor::readUpTo<std::string>(descriptor->get(), std::min(announced, PropertyList::byteLimit) + 1);
  } catch (const std::system_error&) {
    return std::nullopt;
  }
}

}  // namespace

InfoDictionary::InfoDictionary(const std::filesystem::path& file) : root_(nullptr, &plist_free) {
  const auto bytes = readPropertyListFile(file);
  if (bytes) root_ = PropertyList::fromDocument(*bytes);
}

std::optional<std::string> InfoDictionary::string(const std::string& key) const {
  if (!root_ || plist_get_node_type(root_.get()) != PLIST_DICT) return std::nullopt;
  return PropertyList::stringOf(plist_dict_get_item(root_.get(), key.c_str()));
}

}  // namespace plumo
