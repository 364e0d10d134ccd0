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

FileDescriptor openFolderAt(int parent, const char* name) {
  FileDescriptor folder(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder.isOpen()) throwPosixError(errno);
  return folder;
}

void writeAll(int file, const char* bytes, std::size_t count) {
  while (count > 0) {
    const ssize_t written = ::write(file, bytes, count);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) throwPosixError(errno);
    bytes += written;
    count -= static_cast<std::size_t>(written);
  }
}

// Copies one regular file of the share (never a link) into the copy's folder, synced.
void copyFileAt(int fromFolder, int toFolder, const std::string& name) {
  const FileDescriptor source(::openat(fromFolder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!source.isOpen()) throwPosixError(errno);
  struct stat status {};
  if (::fstat(source.get(), &status) != 0) throwPosixError(errno);
  if (!S_ISREG(status.st_mode)) throwPosixError(EINVAL);
  const FileDescriptor target(
      ::openat(toFolder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!target.isOpen()) throwPosixError(errno);
  std::vector<char> buffer(chunkSize);
  for (;;) {
    const ssize_t count = ::read(source.get(), buffer.data(), buffer.size());
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) throwPosixError(errno);
    if (count == 0) break;
    writeAll(target.get(), buffer.data(), static_cast<std::size_t>(count));
  }
  syncDescriptor(target.get());
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
  const FileDescriptor destinationFolder(::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!destinationFolder.isOpen()) throwPosixError(errno);
  const char* id = share_.id.c_str();
  if (::renameat2(inboxFolder.get(), id, destinationFolder.get(), id, RENAME_NOREPLACE) == 0) {
    syncMovedEntries(destinationFolder.get());
    syncMovedEntries(inboxFolder.get());
  } else if (errno == EXDEV) {
    copyAcross(inboxFolder.get(), destinationFolder.get());
    removeFromInbox(inboxFolder.get(), destination);
  } else {
    throwPosixError(errno);
  }
  return destination / share_.id;
}

// The copy is made under a hidden name and renamed into place once synced, so
// that DEST/<id> only ever appears complete.
void ShareTransfer::copyAcross(int inboxFolder, int destinationFolder) const {
  const std::string partName = "." + share_.id + ".part";
  if (::mkdirat(destinationFolder, partName.c_str(), 0700) != 0) throwPosixError(errno);
  try {
    const FileDescriptor shareFolder = openFolderAt(inboxFolder, share_.id.c_str());
    const FileDescriptor copyFolder = openFolderAt(destinationFolder, partName.c_str());
    copyEntries(shareFolder.get(), copyFolder.get());
    syncDescriptor(copyFolder.get());
    if (::renameat2(destinationFolder, partName.c_str(), destinationFolder, share_.id.c_str(), RENAME_NOREPLACE) != 0) {
      throwPosixError(errno);
    }
  } catch (...) {
    try {
      removeTreeAt(destinationFolder, partName.c_str());
    } catch (const std::system_error&) {
      // The first failure is the one to report.
    }
    throw;
  }
  // The copy must be on the disk before the share leaves the inbox.
  syncDescriptor(destinationFolder);
}

void ShareTransfer::removeFromInbox(int inboxFolder, const fs::path& destination) const {
  try {
    inbox_.remove(share_.id);
  } catch (const std::system_error& error) {
    throw std::runtime_error("copied to " + (destination / share_.id).string() +
                             " but not removed from the inbox: " + error.code().message());
  }
  syncMovedEntries(inboxFolder);
}

void ShareTransfer::copyEntries(int shareFolder, int copyFolder) const {
  copyFileAt(shareFolder, copyFolder, ShareInbox::manifestName);
  for (const auto& name : share_.payload->files) copyFileAt(shareFolder, copyFolder, name);
}

}  // namespace plumo
