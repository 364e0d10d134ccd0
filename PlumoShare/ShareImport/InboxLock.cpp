#include "InboxLock.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>

#include "Cancellation.h"
#include "ErrorDomain.h"
#include "ShareImportFailure.h"
#include "ShareInbox.h"

namespace plumo {

namespace {

constexpr std::chrono::milliseconds longestPause{16};

// Sleeps for the pause, or less when a stop is requested meanwhile.
void pauseUnlessStopped(std::chrono::milliseconds pause, const std::stop_token& stop) {
  std::mutex mutex;
  std::condition_variable_any wakeUp;
  std::unique_lock lock(mutex);
  wakeUp.wait_for(lock, stop, pause, [] { return false; });
}

FileDescriptor openLockFile(int inboxFolder) {
  // O_NONBLOCK: a FIFO planted under the name must not hang the open.
  FileDescriptor file(::openat(inboxFolder, ShareInbox::lockName,
                               O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  if (!file.isOpen()) {
    if (errno == ELOOP || errno == ENXIO || errno == EISDIR) throw std::system_error(ShareImportFailure::permission);
    throwPosixError(errno);
  }
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) throwPosixError(errno);
  if (!S_ISREG(status.st_mode)) throw std::system_error(ShareImportFailure::permission);
  return file;
}

}  // namespace

// flock(LOCK_EX) cannot be interrupted without a signal, so the wait polls:
// short pauses at first, for the common brief hold, then every 16 ms.
InboxLock::InboxLock(int inboxFolder, const std::stop_token& stop) : file_(openLockFile(inboxFolder)) {
  std::chrono::milliseconds pause{1};
  while (::flock(file_.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) throw std::system_error(ShareImportFailure::readFailed);
    checkCancellation(stop);
    pauseUnlessStopped(pause, stop);
    checkCancellation(stop);
    pause = std::min(pause * 2, longestPause);
  }
}

}  // namespace plumo
