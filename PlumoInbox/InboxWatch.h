#pragma once

#include <functional>
#include <set>
#include <stop_token>
#include <string>

#include "FileDescriptor.h"
#include "ShareInbox.h"

namespace plumo {

// Follows the inbox through inotify and reports each pending share once: those
// already there, then each one as it is published.
class InboxWatch {
 public:
  // Watches the inbox, made first when missing. Throws the POSIX error.
  explicit InboxWatch(const ShareInbox& inbox);

  // Calls `found` with the id of each pending share not reported before, until
  // the stop is requested. Throws when the inbox itself is removed or moved.
  void run(const std::stop_token& stop, const std::function<void(const std::string&)>& found);

 private:
  void reportNewShares(const std::function<void(const std::string&)>& found);
  void readEvents() const;

  const ShareInbox& inbox_;
  FileDescriptor notifications_;
  FileDescriptor wakeUp_;  // an eventfd written when the stop is requested
  std::set<std::string> reported_;
};

}  // namespace plumo
