#include "NativeMessageChannel.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <system_error>
#include <unistd.h>

#include "DurableFiles.h"

namespace plumo {

std::optional<std::string> NativeMessageChannel::read() {
  std::uint32_t length = 0;
  const auto header = readUpTo(reinterpret_cast<char*>(&length), sizeof length, false);
  if (!header || *header == 0) return std::nullopt;
  if (*header < sizeof length) throw BrokenFrame("the message's length is cut short");
  if (length > messageLimit) {
    throw BrokenFrame("a message of " + std::to_string(length) + " bytes is over the limit of " +
                      std::to_string(messageLimit));
  }
  std::string message;
  message.reserve(length + spareCapacity);
  message.resize(length);
  const auto body = readUpTo(message.data(), length, true);
  if (*body < length) {
    throw BrokenFrame("the message is cut short: " + std::to_string(*body) + " of " + std::to_string(length) +
                      " bytes");
  }
  return message;
}

void NativeMessageChannel::write(std::string_view message) { writeAll(output_, frame(message)); }

std::string NativeMessageChannel::frame(std::string_view message) {
  const auto length = static_cast<std::uint32_t>(message.size());
  std::string framed(sizeof length, '\0');
  std::memcpy(framed.data(), &length, sizeof length);
  framed.append(message);
  return framed;
}

std::optional<std::size_t> NativeMessageChannel::readUpTo(char* buffer, std::size_t size, bool frameBegun) {
  std::size_t used = 0;
  while (used < size) {
    pollfd waits[] = {{input_, POLLIN, 0}, {stop_, POLLIN, 0}};
    if (::poll(waits, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return used;
    }
    if (waits[1].revents != 0) {
      if (frameBegun || used > 0) throw BrokenFrame("stopped in the middle of a message");
      return std::nullopt;
    }
    const ssize_t count = ::read(input_, buffer + used, size - used);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return used;
    used += static_cast<std::size_t>(count);
  }
  return used;
}

}  // namespace plumo
