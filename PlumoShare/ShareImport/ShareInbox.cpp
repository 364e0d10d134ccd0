#include "ShareInbox.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include <nlohmann/json.hpp>

#include "DurableFiles.h"
#include "ErrorDomain.h"
#include "FolderEntries.h"
#include "Refusal.h"
#include "RemoveTree.h"
#include "ShareImportFailure.h"

namespace fs = std::filesystem;

namespace plumo {

namespace {

constexpr const char* stagingName = "staging";
constexpr const char* inboxName = "inbox";
constexpr const char* removalSuffix = ".removing";
constexpr mode_t privateFolderMode = 0700;
// Far above any manifest the publisher writes (its texts and paths are bounded).
constexpr off_t manifestByteLimit = 4 << 20;

[[noreturn]] void refusePermission() { throw std::system_error(ShareImportFailure::permission); }

// Only a real folder of the user's own is trusted; returns its mode.
mode_t ownFolderMode(int folder) {
  struct stat status {};
  if (::fstat(folder, &status) != 0) throwPosixError(errno);
  if (!S_ISDIR(status.st_mode) || status.st_uid != ::geteuid()) refusePermission();
  return status.st_mode & 07777;
}

// Makes `name` (0700) in the open parent where missing; the parent is synced
// so that the new folder survives a power loss.
void createFolderAt(int parent, const char* name) {
  if (::mkdirat(parent, name, privateFolderMode) == 0) {
    syncDescriptor(parent);
  } else if (errno != EEXIST) {
    throwPosixError(errno);
  }
}

// Opens a folder without following a link in its last component; a link or
// something else than a folder of the user's own under that name is refused
// as permission. With create, the folder is made private whatever its mode:
// earlier releases made it with the user's umask (0775 under umask 002).
FileDescriptor openFolderAt(int parent, const char* name, bool create) {
  FileDescriptor folder;
  try {
    folder = FileDescriptor::openFolderAt(parent, name);
  } catch (const std::system_error& error) {
    if (error.code() == posixError(ELOOP) || error.code() == posixError(ENOTDIR)) refusePermission();
    throw;
  }
  const mode_t mode = ownFolderMode(folder.get());
  if (create && mode != privateFolderMode && ::fchmod(folder.get(), privateFolderMode) != 0) throwPosixError(errno);
  return folder;
}

void createContainer(const fs::path& container) {
  std::error_code error;
  fs::create_directories(container, error);
  if (error) throwPosixError(error.value());
}

struct PendingShare {
  timespec published;
  std::string id;
};

bool publishedEarlier(const PendingShare& left, const PendingShare& right) {
  if (left.published.tv_sec != right.published.tv_sec) return left.published.tv_sec < right.published.tv_sec;
  if (left.published.tv_nsec != right.published.tv_nsec) return left.published.tv_nsec < right.published.tv_nsec;
  return left.id < right.id;
}

// The manifest, opened as a regular file.
std::string readManifest(int file, const struct stat& status) {
  if (status.st_size > manifestByteLimit) Refusal::invalid("payload.json is too large");
  // Read by the size seen, not the limit; a file that grew since is read on, up to one byte past the limit.
  const auto seen = static_cast<std::size_t>(status.st_size);
  std::string bytes = FileDescriptor::readUpTo<std::string>(file, seen + 1);
  if (bytes.size() > seen) bytes += FileDescriptor::readUpTo<std::string>(file, manifestByteLimit + 1 - bytes.size());
  if (static_cast<off_t>(bytes.size()) > manifestByteLimit) Refusal::invalid("payload.json is too large");
  return bytes;
}

std::string removalName(std::string_view id) { return "." + std::string(id) + removalSuffix; }

bool isRemovalName(std::string_view name) {
  return name.starts_with('.') && name.ends_with(removalSuffix) &&
         ShareInbox::isShareId(name.substr(1, name.size() - 1 - std::string_view(removalSuffix).size()));
}

// Housekeeping: what cannot be deleted now is left for the next removal.
void deleteLeftoverRemovals(int inboxFolder) {
  try {
    FolderEntries entries(inboxFolder);
    while (const auto name = entries.next()) {
      if (!isRemovalName(*name)) continue;
      try {
        removeTreeAt(inboxFolder, name->c_str());
      } catch (const std::system_error&) {
        // Left for the next removal.
      }
    }
  } catch (const std::system_error&) {
    // Left for the next removal.
  }
}

std::string openError(const char* what, int error) {
  if (error == ENOENT) return std::string(what) + " is missing";
  if (error == ELOOP || error == ENOTDIR) return std::string(what) + " is a link or not a folder";
  return std::string(what) + ": " + posixError(error).message();
}

// The checks that need the share's folder: the id names it, and each listed
// file is a regular file in it (not a link).
void checkAgainstFolder(const SharePayload& payload, std::string_view id, int folder) {
  if (payload.id != id) Refusal::invalid("id does not match the folder's name");
  for (const auto& name : payload.files) {
    const std::string quoted = nlohmann::json(name).dump();
    struct stat status {};
    if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      Refusal::invalid("files: " + quoted + " is missing");
    }
    if (!S_ISREG(status.st_mode)) Refusal::invalid("files: " + quoted + " is not a regular file");
  }
}

}  // namespace

ShareInbox::ShareInbox(fs::path root) : root_(std::move(root)) {}

fs::path ShareInbox::stagingFolder() const { return root_ / stagingName; }
fs::path ShareInbox::inboxFolder() const { return root_ / inboxName; }
fs::path ShareInbox::shareFolder(std::string_view id) const { return inboxFolder() / std::string(id); }

bool ShareInbox::isShareId(std::string_view name) {
  if (name.size() != 36) return false;
  for (std::size_t index = 0; index < name.size(); ++index) {
    const bool dash = index == 8 || index == 13 || index == 18 || index == 23;
    const char character = name[index];
    if (dash ? character != '-' : !std::isxdigit(static_cast<unsigned char>(character))) return false;
  }
  return true;
}

// The group container may be a link (its probe follows it) and is made with
// the user's usual mode where missing; nothing below it may be a link.
FileDescriptor ShareInbox::openPrivateFolder(const char* name, bool create) const {
  const fs::path container = root_.parent_path();
  if (create) createContainer(container);
  const FileDescriptor containerFolder(::open(container.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!containerFolder.isOpen()) throwPosixError(errno);
  const std::string rootName = root_.filename();
  if (create) createFolderAt(containerFolder.get(), rootName.c_str());
  const FileDescriptor rootFolder = openFolderAt(containerFolder.get(), rootName.c_str(), create);
  if (create) createFolderAt(rootFolder.get(), name);
  return openFolderAt(rootFolder.get(), name, create);
}

FileDescriptor ShareInbox::openInbox(bool create) const { return openPrivateFolder(inboxName, create); }
FileDescriptor ShareInbox::openStaging(bool create) const { return openPrivateFolder(stagingName, create); }

InboxLock ShareInbox::lock(const std::stop_token& stop) const { return InboxLock(openInbox(true).get(), stop); }

std::vector<std::string> ShareInbox::pendingIds() const {
  FileDescriptor inbox;
  try {
    inbox = openInbox(false);
  } catch (const std::system_error& error) {
    if (error.code() == posixError(ENOENT)) return {};
    throw;
  }
  return pendingIds(inbox.get());
}

std::vector<std::string> ShareInbox::pendingIds(int inboxFolder) {
  FolderEntries entries(inboxFolder);
  std::vector<PendingShare> pending;
  while (const auto name = entries.next()) {
    struct stat folder {};
    struct stat manifest {};
    if (isShareId(*name) && ::fstatat(inboxFolder, name->c_str(), &folder, 0) == 0 && S_ISDIR(folder.st_mode) &&
        ::fstatat(inboxFolder, (*name + "/" + manifestName).c_str(), &manifest, 0) == 0) {
      pending.push_back({manifest.st_mtim, *name});
    }
  }
  std::sort(pending.begin(), pending.end(), publishedEarlier);
  std::vector<std::string> ids;
  ids.reserve(pending.size());
  for (auto& share : pending) ids.push_back(std::move(share.id));
  return ids;
}

InboxShare ShareInbox::read(std::string_view id) const {
  if (!isShareId(id)) return {std::string(id), shareFolder(id), std::nullopt, "not a share id"};
  FileDescriptor inbox;
  try {
    inbox = openInbox(false);
  } catch (const std::system_error& error) {
    if (error.code() != posixError(ENOENT)) throw;
    return {std::string(id), shareFolder(id), std::nullopt, "the share is missing"};
  }
  return readShare(inbox.get(), id, shareFolder(id));
}

InboxShare ShareInbox::readShare(int parentFolder, std::string_view id, fs::path shownFolder) {
  InboxShare share{std::string(id), std::move(shownFolder), std::nullopt, {}};
  FileDescriptor folder;
  try {
    folder = FileDescriptor::openFolderAt(parentFolder, share.id);
  } catch (const std::system_error& error) {
    share.error = openError("the share", error.code().value());
    return share;
  }
  struct stat status {};
  std::optional<FileDescriptor> manifest;
  try {
    manifest = FileDescriptor::openRegularFileAt(folder.get(), manifestName, status);
  } catch (const std::system_error& error) {
    const int number = error.code().value();
    share.error = number == ELOOP ? "payload.json is a link" : openError(manifestName, number);
    return share;
  }
  try {
    if (!manifest) Refusal::invalid("payload.json is not a regular file");
    SharePayload payload = SharePayload::fromManifest(readManifest(manifest->get(), status));
    checkAgainstFolder(payload, id, folder.get());
    share.payload.emplace(std::move(payload));
  } catch (const Refusal& refused) {
    share.error = refused.what();
  }
  return share;
}

// The share leaves its id in one rename before anything in it is deleted, so
// that a removal cut short leaves no part of a share under its id. Every
// removal holds the lock: a removal's folder met by the next one is a
// leftover, deleted then.
void ShareInbox::remove(std::string_view id) const {
  if (!isShareId(id)) throwPosixError(EINVAL);
  const FileDescriptor inbox = openInbox(false);
  deleteLeftoverRemovals(inbox.get());
  const std::string removal = removalName(id);
  renameWithoutReplacing(inbox.get(), std::string(id), inbox.get(), removal);
  removeTreeAt(inbox.get(), removal.c_str());
}

}  // namespace plumo
