#pragma once

#include <stop_token>

#include "FileDescriptor.h"

namespace plumo {

// The exclusive lock every process takes before it changes the inbox: an flock
// on inbox/.publish-lock, released when the lock is destroyed (or its process dies).
class InboxLock {
 public:
  // Creates the lock file (0600) in the open inbox folder where missing and
  // waits until the lock is taken. The wait polls, so that a stop request ends
  // it within 100 ms with the cancellation error. A lock file that is a link or
  // not a regular file throws ShareImportFailure::permission.
  InboxLock(int inboxFolder, const std::stop_token& stop);

 private:
  FileDescriptor file_;
};

}  // namespace plumo
