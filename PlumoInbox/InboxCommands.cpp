#include "InboxCommands.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>

#include "ErrorDomain.h"
#include "FileDescriptor.h"
#include "HandOffUrl.h"
#include "InboxWatch.h"
#include "ShareListing.h"
#include "ShareTransfer.h"

namespace plumo {

void InboxCommands::list(bool json) const {
  for (const auto& id : inbox_.pendingIds()) {
    const InboxShare share = inbox_.read(id);
    print(json ? ShareListing::json(share) : ShareListing::tabSeparated(share));
  }
}

void InboxCommands::show(const std::string& id) const { print(ShareListing::details(validShare(id))); }

void InboxCommands::take(const std::string& id, const std::filesystem::path& destination,
                         const std::stop_token& stop) const {
  const InboxLock lock = inbox_.lock(stop);
  const std::filesystem::path target = std::filesystem::absolute(destination);
  if (takenEarlier(id, target)) return print((target / id).string());
  const InboxShare share = validShare(id);
  print(ShareTransfer(inbox_, share).to(target).string());
}

void InboxCommands::remove(const std::string& id, const std::stop_token& stop) const {
  if (!ShareInbox::isShareId(id)) throw Failure(id + ": not a share id");
  const InboxLock lock = inbox_.lock(stop);
  try {
    inbox_.remove(id);
  } catch (const std::system_error& error) {
    if (error.code() == posixError(ENOENT)) throw Failure(id + ": no such share in the inbox");
    throw std::system_error(error.code(), inbox_.shareFolder(id).string());
  }
}

void InboxCommands::watch(const std::stop_token& stop) const {
  InboxWatch(inbox_).run(stop, [this](const std::string& id) { print(id); });
}

void InboxCommands::open(const std::string& url) const {
  const auto id = HandOffUrl::shareId(url, scheme_);
  if (!id) throw Failure("'" + url + "' is not a hand-off URL: " + HandOffUrl::forShare(scheme_, "<id>"));
  const auto pending = inbox_.pendingIds();
  if (std::find(pending.begin(), pending.end(), *id) == pending.end()) {
    throw Failure(*id + ": no such share in the inbox");
  }
  print(inbox_.shareFolder(*id).string());
}

// A take cut short once the share had left the inbox: all that was left was to say so.
bool InboxCommands::takenEarlier(const std::string& id, const std::filesystem::path& destination) const {
  if (!ShareInbox::isShareId(id)) return false;
  const bool gone = !FileDescriptor::entryExistsAt(AT_FDCWD, inbox_.shareFolder(id));
  return gone && ShareTransfer::arrivedAt(destination, id);
}

InboxShare InboxCommands::validShare(const std::string& id) const {
  InboxShare share = inbox_.read(id);
  if (!share.valid()) throw Failure(id + ": " + share.error);
  return share;
}

void InboxCommands::print(const std::string& line) const {
  if (std::fputs(line.c_str(), output_) < 0 || std::fputc('\n', output_) < 0 || std::fflush(output_) != 0) {
    throw Failure(std::string("standard output: ") + std::strerror(errno));
  }
}

}  // namespace plumo
