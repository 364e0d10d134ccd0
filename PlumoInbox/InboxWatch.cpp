#include "InboxWatch.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "ErrorDomain.h"

namespace plumo {

namespace {

// A share arrives in one rename; a folder made in place is looked at too.
constexpr std::uint32_t arrivals = IN_MOVED_TO | IN_CREATE;
constexpr std::uint32_t inboxGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;

}  // namespace

InboxWatch::InboxWatch(const ShareInbox& inbox)
    : inbox_(inbox),
      notifications_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
      wakeUp_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (!notifications_.isOpen() || !wakeUp_.isOpen()) throwPosixError(errno);
  inbox.openInbox(true);
  const auto folder = inbox.inboxFolder();
  if (::inotify_add_watch(notifications_.get(), folder.c_str(), arrivals | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW) < 0) {
    throwPosixError(errno);
  }
}

void InboxWatch::run(const std::stop_token& stop, const std::function<void(const std::string&)>& found) {
  const std::stop_callback wake(stop, [this] {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wakeUp_.get(), &one, sizeof one);
  });
  // The watch was set before this first look, so no share falls between the two.
  reportNewShares(found);
  std::array<pollfd, 2> waits = {pollfd{notifications_.get(), POLLIN, 0}, pollfd{wakeUp_.get(), POLLIN, 0}};
  while (!stop.stop_requested()) {
    if (::poll(waits.data(), waits.size(), -1) < 0) {
      if (errno == EINTR) continue;
      throwPosixError(errno);
    }
    if (waits[1].revents != 0) return;
    readEvents();
    reportNewShares(found);
  }
}

void InboxWatch::reportNewShares(const std::function<void(const std::string&)>& found) {
  for (const auto& id : inbox_.pendingIds()) {
    if (reported_.insert(id).second) found(id);
  }
}

void InboxWatch::readEvents() const {
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t length = ::read(notifications_.get(), buffer, sizeof buffer);
    if (length < 0 && errno == EINTR) continue;
    if (length < 0 && errno == EAGAIN) return;
    if (length <= 0) throwPosixError(length < 0 ? errno : EIO);
    for (ssize_t offset = 0; offset < length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
      if ((event->mask & inboxGone) != 0) throw std::runtime_error("the inbox folder was removed or moved");
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

}  // namespace plumo
