#include "ShareStagingStore.h"

#include <cerrno>
#include <cstdio>
#include <exception>
#include <fcntl.h>
#include <sys/file.h>
#include <uuid/uuid.h>

#include "Cancellation.h"
#include "DurableFiles.h"
#include "ErrorDomain.h"
#include "FileDescriptor.h"
#include "ShareImportFailure.h"

namespace fs = std::filesystem;

namespace plumo {

namespace {

constexpr const char* manifestName = "payload.json";

std::string newShareId() {
  uuid_t uuid;
  uuid_generate_random(uuid);
  char text[37];
  uuid_unparse_lower(uuid, text);
  return text;
}

void createDirectories(const fs::path& path) {
  std::error_code error;
  fs::create_directories(path, error);
  if (error) throwPosixError(error.value());
}

bool isUuid(const std::string& name) {
  uuid_t parsed;
  return name.size() == 36 && uuid_parse(name.c_str(), parsed) == 0;
}

// Pending shares are UUID-named entries holding a manifest of any kind (the
// test follows links); the lock file and half-made folders are not counted.
int countPendingShares(const fs::path& inbox) {
  std::error_code error;
  int pending = 0;
  for (fs::directory_iterator entry(inbox, error), end; !error && entry != end; entry.increment(error)) {
    std::error_code existsError;
    if (isUuid(entry->path().filename().string()) && fs::exists(entry->path() / manifestName, existsError)) {
      ++pending;
    }
  }
  if (error) throwPosixError(error.value());
  return pending;
}

// Holds the exclusive inbox lock; released on every way out of publish().
class InboxLock {
 public:
  explicit InboxLock(const fs::path& lockFile)
      : file_(::open(lockFile.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600)) {
    if (!file_.isOpen()) {
      // Still a permission failure; the system's reason goes with it.
      try {
        throwPosixError(errno);
      } catch (...) {
        std::throw_with_nested(std::system_error(ShareImportFailure::permission));
      }
    }
    int result;
    do {
      result = ::flock(file_.get(), LOCK_EX);
    } while (result != 0 && errno == EINTR);
    if (result != 0) throw std::system_error(ShareImportFailure::readFailed);
  }
  InboxLock(const InboxLock&) = delete;
  InboxLock& operator=(const InboxLock&) = delete;
  ~InboxLock() { ::flock(file_.get(), LOCK_UN); }

 private:
  FileDescriptor file_;
};

}  // namespace

ShareStagingStore::ShareStagingStore(fs::path root)
    : id_(newShareId()), root_(std::move(root)), folder_(root_ / "staging" / id_) {
  createDirectories(folder_);
}

void ShareStagingStore::publish(const SharePayload& payload, const std::stop_token& stop) {
  checkCancellation(stop);
  createDirectories(inbox());
  const InboxLock lock(inbox() / ".publish-lock");
  if (countPendingShares(inbox()) >= pendingLimit) throw std::system_error(ShareImportFailure::queueFull);
  const std::string manifest = payload.manifest();
  writeFileAtomically(folder_ / manifestName, manifest);
  syncStagedShare(payload);
  moveIntoInbox();
}

// The manifest syncs itself; the staged files and the folder's entries must be
// on the disk before the folder appears in the inbox.
void ShareStagingStore::syncStagedShare(const SharePayload& payload) const {
  for (const auto& name : payload.files) syncPath(folder_ / name);
  syncPath(folder_);
}

// rename(2) would silently replace an empty folder of the same name. Once the
// folder has moved the share belongs to the inbox, even if the final sync fails.
void ShareStagingStore::moveIntoInbox() {
  const fs::path target = inbox() / id_;
  if (::renameat2(AT_FDCWD, folder_.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0) {
    throwPosixError(errno);
  }
  published_ = true;
  syncPath(inbox());
}

void ShareStagingStore::discardUnpublished() {
  if (published_) return;
  std::error_code ignored;
  fs::remove_all(folder_, ignored);
}

}  // namespace plumo
