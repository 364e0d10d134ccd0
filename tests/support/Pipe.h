#pragma once

#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <utility>

namespace plumo::testing {

// A pipe whose descriptors are closed with it; both ends close on exec.
struct Pipe {
  Pipe() {
    if (::pipe2(ends, O_CLOEXEC) != 0) ends[0] = ends[1] = -1;
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  ~Pipe() {
    closeEnd(0);
    closeEnd(1);
  }
  void closeEnd(int end) {
    if (ends[end] >= 0) ::close(std::exchange(ends[end], -1));
  }
  // All that was written, once no writer holds the pipe any more; nothing if one still does after 10 s.
  std::optional<std::string> readToEnd() const {
    std::string bytes;
    pollfd readable{ends[0], POLLIN, 0};
    while (::poll(&readable, 1, 10000) == 1) {
      char buffer[4096];
      const ssize_t count = ::read(ends[0], buffer, sizeof buffer);
      if (count <= 0) return bytes;
      bytes.append(buffer, static_cast<std::size_t>(count));
    }
    return std::nullopt;
  }
  int ends[2] = {-1, -1};
};

}  // namespace plumo::testing
