#include "ShareStagingStore.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "Cancellation.h"
#include "DurableFiles.h"
#include "ErrorDomain.h"
#include "FolderEntries.h"
#include "RandomUuid.h"
#include "RemoveTree.h"
#include "ShareImportFailure.h"

namespace fs = std::filesystem;

namespace plumo {

namespace {

std::vector<std::string> shareIdsIn(int folder) {
  FolderEntries entries(folder);
  std::vector<std::string> ids;
  while (auto name = entries.next()) {
    if (ShareInbox::isShareId(*name)) ids.push_back(std::move(*name));
  }
  return ids;
}

// Waits while another share's sweeper holds the folder: it only ever holds it briefly.
// The one policy for a lock the file system cannot give (ENOLCK, as on NFS without
// its lock service): it is never taken for granted. Here that costs nothing, as the
// sweep takes a folder it cannot lock for a live one and leaves it; the inbox's
// lock, which alone keeps two writers apart, fails the share instead (InboxLock).
void holdSharedLock(int folder) {
  int result = 0;
  do {
    result = ::flock(folder, LOCK_SH);
  } while (result != 0 && errno == EINTR);
}

bool isOlderThanGracePeriod(int folder) {
  struct stat status {};
  if (::fstat(folder, &status) != 0) return false;
  const auto age = std::chrono::seconds(std::time(nullptr) - status.st_mtime);
  return age > ShareStagingStore::orphanGracePeriod;
}

}  // namespace

ShareStagingStore::ShareStagingStore(fs::path root)
    : inbox_(std::move(root)), id_(RandomUuid::lowerCase()), folder_(inbox_.stagingFolder() / id_),
      staging_(inbox_.openStaging(true)) {
  if (::mkdirat(staging_.get(), id_.c_str(), 0700) != 0) throwPosixError(errno);
  try {
    share_ = FileDescriptor::openFolderAt(staging_.get(), id_);
  } catch (...) {
    ::unlinkat(staging_.get(), id_.c_str(), AT_REMOVEDIR);  // still empty: nobody else knows its name
    throw;
  }
  // Where the file system cannot lock, the grace period alone protects the folder.
  holdSharedLock(share_.get());
  sweepOrphans();
}

// A folder is an orphan when it is older than the grace period and nobody
// holds its lock. Its age is looked at first: a young folder is never locked
// here, so that its owner always gets its own lock at once. The sweeper holds
// the lock while it removes, so that two sweepers never race; it never
// follows a link out of the folder.
void ShareStagingStore::sweepOrphans() const {
  try {
    for (const auto& id : shareIdsIn(staging_.get())) {
      if (id == id_) continue;
      FileDescriptor folder;
      try {
        folder = FileDescriptor::openFolderAt(staging_.get(), id);
      } catch (const std::system_error&) {
        continue;
      }
      if (!isOlderThanGracePeriod(folder.get()) || ::flock(folder.get(), LOCK_EX | LOCK_NB) != 0) continue;
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
  refuseUnlessStaging();
  const FileDescriptor inbox = inbox_.openInbox(true);
  const InboxLock lock(inbox.get(), stop);
  if (ShareInbox::pendingIds(inbox.get()).size() >= ShareInbox::pendingLimit) {
    throw std::system_error(ShareImportFailure::queueFull);
  }
  checkCancellation(stop);  // the syncs can take long on a slow disk
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

// The folder's descriptor still names the share once it has moved into the
// inbox, which belongs to the host from then on: a published or discarded
// share is refused before anything is written.
void ShareStagingStore::refuseUnlessStaging() const {
  const std::lock_guard lock(commitment_);
  if (state_ != State::staging) throwPosixError(ENOENT);
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
  if (state_ != State::staging) throwPosixError(ENOENT);
  try {
    renameWithoutReplacing(staging_.get(), id_, inbox, id_);
  } catch (const std::system_error&) {
    // A file server that dies as it answers may have made the move and still report
    // an error: a share in the inbox is published, whatever the call said.
    if (!isShareIn(inbox)) throw;
  }
  state_ = State::published;
}

// Whether inbox/<id> is this share's own folder, not merely an entry of its name.
bool ShareStagingStore::isShareIn(int inbox) const {
  struct stat entry {};
  struct stat share {};
  return ::fstatat(inbox, id_.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 && ::fstat(share_.get(), &share) == 0 &&
         entry.st_dev == share.st_dev && entry.st_ino == share.st_ino;
}

bool ShareStagingStore::published() const {
  const std::lock_guard lock(commitment_);
  return state_ == State::published;
}

void ShareStagingStore::discardUnpublished() {
  const std::lock_guard lock(commitment_);
  if (state_ == State::published) return;
  state_ = State::discarded;
  try {
    removeTreeAt(staging_.get(), id_.c_str());
  } catch (const std::system_error&) {
    // Already gone, or left for the sweep.
  }
}

}  // namespace plumo
