#pragma once

#include <filesystem>
#include <stop_token>
#include <string>

#include "SharePayload.h"

namespace plumo {

// Owns one share's staging folder, root/staging/<id>, until publish() moves it
// into root/inbox/<id> under the inbox lock shared by every process.
// Destroying a store deletes nothing; only discardUnpublished() does.
class ShareStagingStore {
 public:
  static constexpr int pendingLimit = 50;

  // Makes a fresh lower-case share id and creates its staging folder with any
  // missing parents. Throws the POSIX error when the folder cannot be made.
  explicit ShareStagingStore(std::filesystem::path root);

  const std::string& id() const { return id_; }
  const std::filesystem::path& folder() const { return folder_; }
  const std::filesystem::path& root() const { return root_; }
  bool published() const { return published_; }

  // Writes the manifest into the staging folder and moves the folder into the
  // inbox, unless 50 shares are pending there. Everything that reaches the
  // inbox has been synced to the disk first.
  void publish(const SharePayload& payload, const std::stop_token& stop = {});

  // Removes the staging folder unless the share was published; never fails.
  void discardUnpublished();

 private:
  std::filesystem::path inbox() const { return root_ / "inbox"; }
  void syncStagedShare(const SharePayload& payload) const;
  void moveIntoInbox();

  std::string id_;
  std::filesystem::path root_;
  std::filesystem::path folder_;
  bool published_ = false;
};

}  // namespace plumo
