#pragma once

#include <filesystem>

#include "InboxShare.h"
#include "ShareInbox.h"

namespace plumo {

// Moves a valid share out of the inbox, whole, to <destination>/<id>. The caller
// holds the inbox lock and has just read the share. Throws the POSIX error; on
// any failure before the share has arrived, nothing has moved.
class ShareTransfer {
 public:
  ShareTransfer(const ShareInbox& inbox, const InboxShare& share) : inbox_(inbox), share_(share) {}

  // One rename on the same file system; across file systems a copy of the
  // manifest and the files it names, synced, and then the share is removed.
  // Returns the share's new folder.
  std::filesystem::path to(const std::filesystem::path& destination) const;

 private:
  void copyAcross(int inboxFolder, int destinationFolder) const;
  void copyEntries(int shareFolder, int copyFolder) const;
  void removeFromInbox(int inboxFolder, const std::filesystem::path& destination) const;

  const ShareInbox& inbox_;
  const InboxShare& share_;
};

}  // namespace plumo
