#include "LoadableModule.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "FileDescriptor.h"

namespace plumo {

namespace {

constexpr unsigned char nativeClass = __ELF_NATIVE_CLASS == 64 ? ELFCLASS64 : ELFCLASS32;

bool readAt(int descriptor, void* into, std::size_t size, std::uint64_t offset) {
  return ::pread(descriptor, into, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
}

// Whether [offset, offset + size) lies within a file of `fileSize` bytes, without overflow.
bool within(std::uint64_t offset, std::uint64_t size, std::uint64_t fileSize) {
  return offset <= fileSize && size <= fileSize - offset;
}

}  // namespace

std::optional<std::string> LoadableModule::defect(const std::filesystem::path& path) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!file.isOpen()) return std::string(std::strerror(errno));
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) return std::string(std::strerror(errno));
  if (!S_ISREG(status.st_mode)) return "not a regular file";
  const auto fileSize = static_cast<std::uint64_t>(status.st_size);

  ElfW(Ehdr) header{};
  if (!readAt(file.get(), &header, sizeof header, 0) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != nativeClass || header.e_phentsize != sizeof(ElfW(Phdr))) {
    return "not a shared object of this machine's class";
  }
  const std::uint64_t tableSize = std::uint64_t{header.e_phnum} * sizeof(ElfW(Phdr));
  if (!within(header.e_phoff, tableSize, fileSize)) return "its program headers lie past its end";
  std::vector<ElfW(Phdr)> segments(header.e_phnum);
  if (!readAt(file.get(), segments.data(), tableSize, header.e_phoff)) return "its program headers cannot be read";
  for (const auto& segment : segments) {
    if (!within(segment.p_offset, segment.p_filesz, fileSize)) return "cut short: a segment lies past its end";
  }
  return std::nullopt;
}

}  // namespace plumo
