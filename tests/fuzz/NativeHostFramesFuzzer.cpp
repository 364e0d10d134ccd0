// libFuzzer target over what a web page can make a browser send the native host:
// the bytes are its whole standard input, read frame by frame; each request is
// parsed, and each refusal answered. Nothing may crash, hang or answer with a
// reply a browser would drop (over 1 MiB).
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include "FileDescriptor.h"
#include "NativeMessageChannel.h"
#include "ShareReply.h"
#include "ShareRequest.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

void answer(const std::string& message) {
  try {
    (void)plumo::ShareRequest::parse(message);
  } catch (const plumo::ShareRequest::Invalid& invalid) {
    require(plumo::ShareReply::invalid(invalid.what()).size() < (1u << 20));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const plumo::FileDescriptor input(::memfd_create("frames", MFD_CLOEXEC));
  const plumo::FileDescriptor replies(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  const plumo::FileDescriptor neverStops(::eventfd(0, EFD_CLOEXEC));
  require(input.isOpen() && replies.isOpen() && neverStops.isOpen());
  require(::write(input.get(), data, size) == static_cast<ssize_t>(size) && ::lseek(input.get(), 0, SEEK_SET) == 0);
  plumo::NativeMessageChannel channel(input.get(), replies.get(), neverStops.get());
  try {
    while (const auto message = channel.read()) answer(*message);
  } catch (const plumo::NativeMessageChannel::BrokenFrame& broken) {
    require(plumo::ShareReply::invalid(broken.what()).size() < (1u << 20));
  }
  return 0;
}
