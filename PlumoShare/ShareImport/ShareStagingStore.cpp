#include "ShareStagingStore.h"

#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>
#include <vector>

#include "Cancellation.h"
#include "DurableFiles.h"
#include "ErrorDomain.h"
#include "RemoveTree.h"
#include "ShareImportFailure.h"

namespace fs = std::filesystem;

namespace plumo {

namespace {

std::string newShareId() {
  uuid_t uuid;
  uuid_generate_random(uuid);
  char text[37];
  uuid_unparse_lower(uuid, text);
  return text;
}

FileDescriptor openFolderAt(int parent, const std::string& name) {
  FileDescriptor folder(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder.isOpen()) throwPosixError(errno);
  return folder;
}

std::vector<std::string> shareIdsIn(int folder) {
  DIR* stream = ::fdopendir(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
  if (stream == nullptr) throwPosixError(errno);
  std::vector<std::string> ids;
  while (const dirent* entry = ::readdir(stream)) {
    if (ShareInbox::isShareId(entry->d_name)) ids.emplace_back(entry->d_name);
  }
  ::closedir(stream);
  return ids;
}

bool isOlderThanGracePeriod(int folder) {
  struct stat status {};
  if (::fstat(folder, &status) != 0) return false;
  const auto age = std::chrono::seconds(std::time(nullptr) - status.st_mtime);
  return age > ShareStagingStore::orphanGracePeriod;
}

}  // namespace

ShareStagingStore::ShareStagingStore(fs::path root)
    : inbox_(std::move(root)), id_(newShareId()), folder_(inbox_.stagingFolder() / id_),
      staging_(inbox_.openStaging(true)) {
  if (::mkdirat(staging_.get(), id_.c_str(), 0700) != 0) throwPosixError(errno);
  try {
    share_ = openFolderAt(staging_.get(), id_);
  } catch (...) {
    ::unlinkat(staging_.get(), id_.c_str(), AT_REMOVEDIR);  // still empty: nobody else knows its name
    throw;
  }
  // Where the file system cannot lock, the grace period alone protects the folder.
  (void)::flock(share_.get(), LOCK_SH | LOCK_NB);
  sweepOrphans();
}

// A folder is an orphan when nobody holds its lock and it is older than the
// grace period. The sweeper holds the lock while it removes, so that two
// sweepers never race; it never follows a link out of the folder.
void ShareStagingStore::sweepOrphans() const {
  try {
    for (const auto& id : shareIdsIn(staging_.get())) {
      if (id == id_) continue;
      const FileDescriptor folder(::openat(staging_.get(), id.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!folder.isOpen() || ::flock(folder.get(), LOCK_EX | LOCK_NB) != 0) continue;
      if (!isOlderThanGracePeriod(folder.get())) continue;
      try {
        removeTreeAt(staging_.get(), id.c_str());
      } catch (const std::system_error&) {
        // Left for the next share.
      }
    }
  } catch (const std::system_error&) {
    // Sweeping is housekeeping: it never fails a share.
  }
}

std::error_code ShareStagingStore::publish(const SharePayload& payload, const std::stop_token& stop) {
  checkCancellation(stop);
  const FileDescriptor inbox = inbox_.openInbox(true);
  const InboxLock lock(inbox.get(), stop);
  if (ShareInbox::pendingIds(inbox.get()).size() >= ShareInbox::pendingLimit) {
    throw std::system_error(ShareImportFailure::queueFull);
  }
  const FileDescriptor manifest = replaceFileAt(share_.get(), ShareInbox::manifestName, payload.manifest());
  syncStagedShare(payload, manifest.get());
  commit(inbox.get(), stop);
  try {
    syncDescriptor(inbox.get());
  } catch (const std::system_error& error) {
    return error.code();
  }
  return {};
}

// The staged files and the manifest (written without a sync) and the folder's
// entries must be on the disk before the folder appears in the inbox. None
// depends on another, so they are synced together.
void ShareStagingStore::syncStagedShare(const SharePayload& payload, int manifest) const {
  std::vector<FileDescriptor> files;
  for (const auto& name : payload.files) files.push_back(openEntryToSyncAt(share_.get(), name));
  std::vector<int> descriptors{manifest, share_.get()};
  for (const auto& file : files) descriptors.push_back(file.get());
  syncTogether(descriptors);
}

// The share is published or discarded, whichever comes first: a stop requested
// before the discard is seen here, under the same mutex.
void ShareStagingStore::commit(int inbox, const std::stop_token& stop) {
  const std::lock_guard lock(commitment_);
  checkCancellation(stop);
  moveIntoInbox(inbox);
  published_ = true;
}

// rename(2) would silently replace an empty folder of the same name.
void ShareStagingStore::moveIntoInbox(int inbox) const {
  if (::renameat2(staging_.get(), id_.c_str(), inbox, id_.c_str(), RENAME_NOREPLACE) == 0) return;
  if (errno != EINVAL) throwPosixError(errno);
  // NFS, eCryptfs and some FUSE servers refuse the flag. Every process that
  // adds to the inbox holds its lock, as this one does, so nothing can take the
  // name between the check and the rename.
  struct stat existing {};
  if (::fstatat(inbox, id_.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) throwPosixError(EEXIST);
  if (errno != ENOENT) throwPosixError(errno);
  if (::renameat(staging_.get(), id_.c_str(), inbox, id_.c_str()) != 0) throwPosixError(errno);
}

bool ShareStagingStore::published() const {
  const std::lock_guard lock(commitment_);
  return published_;
}

void ShareStagingStore::discardUnpublished() {
  const std::lock_guard lock(commitment_);
  if (published_) return;
  try {
    removeTreeAt(staging_.get(), id_.c_str());
  } catch (const std::system_error&) {
    // Already gone, or left for the sweep.
  }
}

}  // namespace plumo
