#pragma once

#include <chrono>
#include <filesystem>
#include <mutex>
#include <stop_token>
#include <string>
#include <system_error>

#include "FileDescriptor.h"
#include "ShareInbox.h"
#include "SharePayload.h"

namespace plumo {

// Owns one share's staging folder, root/staging/<id>, until publish() moves it
// into root/inbox/<id> under the inbox lock shared by every process. While the
// store lives it holds a lock on its staging folder, which marks the folder as
// alive: staging folders whose owner is gone are swept by the next share.
// Destroying a store deletes nothing; only discardUnpublished() does.
class ShareStagingStore {
 public:
  // A staging folder younger than this is never swept, even when unlocked: its
  // owner may be between making it and locking it.
  static constexpr std::chrono::minutes orphanGracePeriod{10};

  // Makes a fresh lower-case share id and its staging folder (0700), creating
  // the private tree where missing (see ShareInbox), then sweeps orphaned
  // staging folders. Throws ShareImportFailure::permission when the tree is not
  // private, the POSIX error when a folder cannot be made.
  explicit ShareStagingStore(std::filesystem::path root);

  const std::string& id() const { return id_; }
  const std::filesystem::path& folder() const { return folder_; }
  const std::filesystem::path& root() const { return inbox_.root(); }
  bool published() const;

  // Writes the manifest into the staging folder and moves the folder into the
  // inbox, unless ShareInbox::pendingLimit shares are pending there. Each staged
  // file, the manifest and the folder are synced before the move. A stop request
  // ends the wait for the lock, or the publish before its syncs, with the
  // cancellation error; one made before discardUnpublished() (from any thread)
  // means the folder never moves. A share already published or discarded is
  // refused with ENOENT, and nothing is written.
  // Once the folder has moved the share is published, whatever fails after: the
  // error of the inbox's own sync is returned (for the log), not thrown.
  std::error_code publish(const SharePayload& payload, const std::stop_token& stop = {});

  // Removes the staging folder unless the share was published; never fails.
  // Safe while publish() runs on another thread.
  void discardUnpublished();

 private:
  void sweepOrphans() const;
  void refuseUnlessStaging() const;
  void syncStagedShare(const SharePayload& payload, int manifest) const;
  bool isShareIn(int inbox) const;
  void commit(int inbox, const std::stop_token& stop);

  enum class State { staging, published, discarded };

  ShareInbox inbox_;
  std::string id_;
  std::filesystem::path folder_;
  FileDescriptor staging_;  // root/staging
  FileDescriptor share_;    // root/staging/<id>, locked for as long as the store lives
  mutable std::mutex commitment_;  // orders the move against a discard
  State state_ = State::staging;
};

}  // namespace plumo
