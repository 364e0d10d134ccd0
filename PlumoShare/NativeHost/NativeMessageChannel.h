#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "ShareImportRules.h"

namespace plumo {

// The browser's native messaging framing: each message is its length as a
// 32-bit number in native byte order, then that many bytes of UTF-8 JSON.
class NativeMessageChannel {
 public:
  // Room for a share's files in base64 and for its texts and names, and no more.
  static constexpr std::uint32_t messageLimit = 4 * ((ShareImportRules::totalLimit + 2) / 3) + 1024 * 1024;
  // Room that every message read has past its end, so that a parser that reads in
  // blocks reads it where it is instead of copying it.
  static constexpr std::size_t spareCapacity = 64;

  // A frame that cannot be read whole (cut short, or longer than the limit):
  // nothing after it can be trusted to start a frame, so the connection ends.
  struct BrokenFrame : std::runtime_error {
    using std::runtime_error::runtime_error;
  };

  // Reads from `input` and writes to `output`; any readable byte on `stop` ends the reading.
  NativeMessageChannel(int input, int output, int stop) : input_(input), output_(output), stop_(stop) {}

  // The next message; none when the input ends between two messages or `stop`
  // becomes readable there. Throws BrokenFrame, also when `stop` becomes readable
  // in the middle of a message.
  std::optional<std::string> read();
  // Throws the POSIX error, EPIPE when the browser reads no more.
  void write(std::string_view message);

  static std::string frame(std::string_view message);

 private:
  // How many of `size` bytes were read before the input ended; absent once stopped
  // before a message began (`frameBegun` false and nothing read yet).
  std::optional<std::size_t> readUpTo(char* buffer, std::size_t size, bool frameBegun);

  int input_;
  int output_;
  int stop_;
};

}  // namespace plumo
