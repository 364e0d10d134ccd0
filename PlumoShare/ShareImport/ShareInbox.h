#pragma once

#include <filesystem>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "FileDescriptor.h"
#include "InboxLock.h"
#include "InboxShare.h"

namespace plumo {

// The inbox's rules, shared by the writer (ShareStagingStore) and the host's
// reader (plumo-inbox). root is <group container>/PlumoShare:
//   staging/<id>/            a share being made; its live owner holds an flock on it
//   inbox/<id>/              a published share: its files and payload.json
//   inbox/.publish-lock      taken by every process that changes the inbox
// The tree is private: root, staging and inbox are real folders of the user's
// own, mode 0700. Every name inside is resolved relative to a folder
// descriptor, never through a link.
class ShareInbox {
 public:
  static constexpr int pendingLimit = 50;
  static constexpr const char* manifestName = "payload.json";
  static constexpr const char* lockName = ".publish-lock";

  explicit ShareInbox(std::filesystem::path root);
  // The root of the share store inside a group container.
  static std::filesystem::path rootIn(const std::filesystem::path& container) { return container / "PlumoShare"; }

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path stagingFolder() const;
  std::filesystem::path inboxFolder() const;
  std::filesystem::path shareFolder(std::string_view id) const;

  // Canonical UUID text (8-4-4-4-12 hexadecimal digits), in either case.
  static bool isShareId(std::string_view name);

  // Opens the folder O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC. With create, makes
  // root and the folder (0700) where missing, syncing the parent of each one
  // made, and sets either to 0700 when its mode is another. Each of the two
  // must be a real folder owned by the user, else ShareImportFailure::permission;
  // a folder that is missing (without create) or cannot be made throws the
  // POSIX error.
  FileDescriptor openInbox(bool create) const;
  FileDescriptor openStaging(bool create) const;

  // Opens (creating) the inbox and takes its lock; see InboxLock.
  InboxLock lock(const std::stop_token& stop) const;

  // The pending shares, oldest published first: entries named as a share id
  // that are folders holding an entry called payload.json, both as links lead
  // (so that what counts against the limit is never hidden behind one; reading
  // such a share reports the link). No inbox: none.
  std::vector<std::string> pendingIds() const;
  static std::vector<std::string> pendingIds(int inboxFolder);

  // Reads and validates inbox/<id>, never following a name out of its folder.
  // A missing share reads as invalid, with its reason; a tree that is not
  // private throws ShareImportFailure::permission.
  InboxShare read(std::string_view id) const;
  // The same for the share folder <id> of any open folder; shownFolder is its path.
  static InboxShare readShare(int parentFolder, std::string_view id, std::filesystem::path shownFolder);

  // Deletes inbox/<id>, valid or not, without following any link inside it or
  // entering another file system. It first leaves its id, so that a removal
  // cut short never leaves part of a share there; such a removal's leftover
  // is deleted by the next. The caller holds the lock. Throws the POSIX error
  // (ENOENT when missing, EXDEV at a mount point).
  void remove(std::string_view id) const;

 private:
  FileDescriptor openPrivateFolder(const char* name, bool create) const;

  std::filesystem::path root_;
};

}  // namespace plumo
