#pragma once

#include <filesystem>

#include "InboxShare.h"
#include "ShareInbox.h"

namespace plumo {

// Moves a valid share out of the inbox, whole, to <destination>/<id>. The caller
// holds the inbox lock and has just read the share. Throws the POSIX error,
// naming the path it concerns; on any failure before the share has arrived,
// nothing has moved.
class ShareTransfer {
 public:
  ShareTransfer(const ShareInbox& inbox, const InboxShare& share) : inbox_(inbox), share_(share) {}

  // One rename on the same file system; across file systems a copy of the
  // manifest and the files it names into <destination>/.<id>.part, synced and
  // renamed into place, and then the share is removed. A take cut short is
  // finished: its stale part is replaced, and a <destination>/<id> that holds
  // the whole share counts as taken, so that only the removal is left.
  // Returns the share's new folder.
  std::filesystem::path to(const std::filesystem::path& destination) const;

  // Whether a take cut short after the share left the inbox (moved, or removed once
  // copied) put it at <destination>/<id>: a valid share of that id is there.
  static bool arrivedAt(const std::filesystem::path& destination, const std::string& id);

 private:
  bool holdsTheShare(int inboxFolder, int destinationFolder) const;
  void copyAcross(int inboxFolder, int destinationFolder, const std::filesystem::path& destination) const;
  void removeFromInbox(int inboxFolder, const std::filesystem::path& target) const;

  const ShareInbox& inbox_;
  const InboxShare& share_;
};

}  // namespace plumo
