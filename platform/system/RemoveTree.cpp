#include "RemoveTree.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "ErrorDomain.h"
#include "FileDescriptor.h"
#include "FolderEntries.h"

namespace plumo {

namespace {

struct statx statusOf(int descriptor) {
  struct statx status {};
  if (::statx(descriptor, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &status) != 0) throwPosixError(errno);
  return status;
}

// A bind mount of the same file system keeps its device; only the mount-root
// attribute tells it apart.
bool isMountPointIn(int parent, int folder) {
  const struct statx outer = statusOf(parent);
  const struct statx inner = statusOf(folder);
  return (inner.stx_attributes & inner.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 ||
         inner.stx_dev_major != outer.stx_dev_major || inner.stx_dev_minor != outer.stx_dev_minor;
}

std::vector<std::string> entryNames(int folder) {
  FolderEntries entries(folder);
  std::vector<std::string> names;
  while (auto name = entries.next()) names.push_back(std::move(*name));
  return names;
}

}  // namespace

void removeTreeAt(int folder, const char* name) {
  if (::unlinkat(folder, name, 0) == 0) return;
  if (errno != EISDIR) throwPosixError(errno);
  {
    const FileDescriptor inner = FileDescriptor::openFolderAt(folder, name);
    if (isMountPointIn(folder, inner.get())) throwPosixError(EXDEV);
    for (const auto& entry : entryNames(inner.get())) removeTreeAt(inner.get(), entry.c_str());
  }
  if (::unlinkat(folder, name, AT_REMOVEDIR) != 0) throwPosixError(errno);
}

}  // namespace plumo
