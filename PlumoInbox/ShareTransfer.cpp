#include "ShareTransfer.h"

#include <cerrno>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "DurableFiles.h"
#include "ErrorDomain.h"
#include "FileDescriptor.h"
#include "RemoveTree.h"

namespace fs = std::filesystem;

namespace plumo {

namespace {

constexpr std::size_t chunkSize = 1 << 20;

// Runs a step; its POSIX error comes out naming the path the step concerns.
template <class Step>
auto concerning(const fs::path& path, const Step& step) {
  try {
    return step();
  } catch (const std::system_error& error) {
    throw std::system_error(error.code(), path.string());
  }
}

FileDescriptor openDestination(const fs::path& destination) {
  FileDescriptor folder(::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.isOpen()) throwPosixError(errno);
  return folder;
}

bool sameFile(const struct stat& one, const struct stat& other) {
  return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

// Whether `folder` is the store's root or lies anywhere below it, whatever links or
// names led there: its parents are followed up to the file system's root.
bool liesInStore(const FileDescriptor& folder, const fs::path& storeRoot) {
  struct stat store {};
  if (::stat(storeRoot.c_str(), &store) != 0) throwPosixError(errno);
  FileDescriptor current(::fcntl(folder.get(), F_DUPFD_CLOEXEC, 0));
  if (!current.isOpen()) throwPosixError(errno);
  for (;;) {
    struct stat here {};
    if (::fstat(current.get(), &here) != 0) throwPosixError(errno);
    if (sameFile(here, store)) return true;
    FileDescriptor parent(::openat(current.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent.isOpen()) throwPosixError(errno);
    struct stat above {};
    if (::fstat(parent.get(), &above) != 0) throwPosixError(errno);
    if (sameFile(above, here)) return false;
    current = std::move(parent);
  }
}

off_t sizeAt(int folder, const std::string& name) {
  struct stat status {};
  if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) throwPosixError(errno);
  return status.st_size;
}

// A part left by a take cut short is replaced: the inbox lock keeps every
// other take of the share away.
void makeFreshFolder(int parent, const std::string& name) {
  if (::mkdirat(parent, name.c_str(), 0700) == 0) return;
  if (errno != EEXIST) throwPosixError(errno);
  removeTreeAt(parent, name.c_str());
  if (::mkdirat(parent, name.c_str(), 0700) != 0) throwPosixError(errno);
}

// A file of the share: a regular file, else EINVAL.
FileDescriptor openShareFileAt(int folder, const std::string& name) {
  struct stat status {};
  auto file = FileDescriptor::openRegularFileAt(folder, name, status);
  if (!file) throwPosixError(EINVAL);
  return std::move(*file);
}

// Copies one regular file of the share (never a link) into the copy's folder, synced.
void copyFileAt(int fromFolder, const fs::path& from, int toFolder, const fs::path& to) {
  const std::string name = from.filename();
  const FileDescriptor source = concerning(from, [&] { return openShareFileAt(fromFolder, name); });
  const FileDescriptor target = concerning(to, [&] { return createNewFileAt(toFolder, name); });
  std::vector<char> buffer(chunkSize);
  while (const std::size_t count =
             concerning(from, [&] { return FileDescriptor::readSome(source.get(), buffer.data(), buffer.size()); })) {
    concerning(to, [&] { writeAll(target.get(), {buffer.data(), count}); });
  }
  concerning(to, [&] { syncDescriptor(target.get()); });
}

// Once the share has moved, the move is reported as done: a failed sync of the
// folders' entries cannot be undone by saying it failed.
void syncMovedEntries(int folder) {
  try {
    syncDescriptor(folder);
  } catch (const std::system_error&) {
    // Nothing better to do; the entries are there.
  }
}

}  // namespace

fs::path ShareTransfer::to(const fs::path& destination) const {
  const FileDescriptor inboxFolder = inbox_.openInbox(false);
  const FileDescriptor destinationFolder = concerning(destination, [&] { return openDestination(destination); });
  // There the share would be taken for a copy of itself, or stay hidden in the store.
  if (concerning(destination, [&] { return liesInStore(destinationFolder, inbox_.root()); })) {
    throw std::runtime_error(destination.string() + ": the destination lies inside the share store");
  }
  const fs::path target = destination / share_.id;
  if (concerning(target, [&] { return FileDescriptor::entryExistsAt(destinationFolder.get(), share_.id); })) {
    if (!holdsTheShare(inboxFolder.get(), destinationFolder.get())) {
      throw std::system_error(posixError(EEXIST), target.string());
    }
    removeFromInbox(inboxFolder.get(), target);
    return target;
  }
  try {
    renameWithoutReplacing(inboxFolder.get(), share_.id, destinationFolder.get(), share_.id);
  } catch (const std::system_error& error) {
    if (error.code() != posixError(EXDEV)) throw std::system_error(error.code(), target.string());
    copyAcross(inboxFolder.get(), destinationFolder.get(), destination);
    removeFromInbox(inboxFolder.get(), target);
    return target;
  }
  syncMovedEntries(destinationFolder.get());
  syncMovedEntries(inboxFolder.get());
  return target;
}

bool ShareTransfer::arrivedAt(const fs::path& destination, const std::string& id) {
  const FileDescriptor destinationFolder(::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return destinationFolder.isOpen() && ShareInbox::readShare(destinationFolder.get(), id, destination / id).valid();
}

// What a take cut short after its copy arrived left: a valid share with the
// same manifest, each of its files of the same size as in the inbox. (The copy
// arrives only once it is whole and synced.)
bool ShareTransfer::holdsTheShare(int inboxFolder, int destinationFolder) const {
  const InboxShare copy = ShareInbox::readShare(destinationFolder, share_.id, {});
  if (!copy.valid() || copy.payload->manifest() != share_.payload->manifest()) return false;
  const FileDescriptor shareFolder = FileDescriptor::openFolderAt(inboxFolder, share_.id);
  const FileDescriptor copyFolder = FileDescriptor::openFolderAt(destinationFolder, share_.id);
  for (const auto& name : share_.payload->files) {
    if (sizeAt(shareFolder.get(), name) != sizeAt(copyFolder.get(), name)) return false;
  }
  return true;
}

// The copy is made under a hidden name and renamed into place once synced, so
// that DEST/<id> only ever appears complete.
void ShareTransfer::copyAcross(int inboxFolder, int destinationFolder, const fs::path& destination) const {
  const std::string partName = "." + share_.id + ".part";
  const fs::path part = destination / partName;
  concerning(part, [&] { makeFreshFolder(destinationFolder, partName); });
  try {
    const fs::path shareFolderPath = inbox_.shareFolder(share_.id);
    const FileDescriptor shareFolder =
        concerning(shareFolderPath, [&] { return FileDescriptor::openFolderAt(inboxFolder, share_.id); });
    const FileDescriptor copyFolder = concerning(part, [&] { return FileDescriptor::openFolderAt(destinationFolder, partName); });
    copyFileAt(shareFolder.get(), shareFolderPath / ShareInbox::manifestName, copyFolder.get(),
               part / ShareInbox::manifestName);
    for (const auto& name : share_.payload->files) {
      copyFileAt(shareFolder.get(), shareFolderPath / name, copyFolder.get(), part / name);
    }
    concerning(part, [&] { syncDescriptor(copyFolder.get()); });
    concerning(destination / share_.id,
               [&] { renameWithoutReplacing(destinationFolder, partName, destinationFolder, share_.id); });
  } catch (...) {
    try {
      removeTreeAt(destinationFolder, partName.c_str());
    } catch (const std::system_error&) {
      // The first failure is the one to report.
    }
    throw;
  }
  // The copy must be on the disk before the share leaves the inbox.
  concerning(destination, [&] { syncDescriptor(destinationFolder); });
}

void ShareTransfer::removeFromInbox(int inboxFolder, const fs::path& target) const {
  try {
    inbox_.remove(share_.id);
  } catch (const std::system_error& error) {
    throw std::runtime_error("copied to " + target.string() + " but not removed from the inbox: " +
                             std::system_error(error.code(), inbox_.shareFolder(share_.id).string()).what());
  }
  syncMovedEntries(inboxFolder);
}

}  // namespace plumo
