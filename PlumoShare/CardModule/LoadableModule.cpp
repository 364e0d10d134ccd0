#include "LoadableModule.h"

#include <cstdint>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <optional>
#include <stdexcept>
#include <string>
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

// Why the open file cannot be loaded safely; absent when it is a regular file whose
// program headers and the segments they describe lie within it.
std::optional<std::string> defectOf(int file, const struct stat& status) {
  const auto fileSize = static_cast<std::uint64_t>(status.st_size);

  ElfW(Ehdr) header{};
  if (!readAt(file, &header, sizeof header, 0) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != nativeClass || header.e_phentsize != sizeof(ElfW(Phdr))) {
    return "not a shared object of this machine's class";
  }
  const std::uint64_t tableSize = std::uint64_t{header.e_phnum} * sizeof(ElfW(Phdr));
  if (!within(header.e_phoff, tableSize, fileSize)) return "its program headers lie past its end";
  std::vector<ElfW(Phdr)> segments(header.e_phnum);
  if (!readAt(file, segments.data(), tableSize, header.e_phoff)) return "its program headers cannot be read";
  for (const auto& segment : segments) {
    if (!within(segment.p_offset, segment.p_filesz, fileSize)) return "cut short: a segment lies past its end";
  }
  return std::nullopt;
}

}  // namespace

void* LoadableModule::load(const std::filesystem::path& path, int flags) {
  const auto refused = [&](const std::string& reason) { return std::runtime_error(path.string() + ": " + reason); };
  struct stat status {};
  std::optional<FileDescriptor> file;
  try {
    file = FileDescriptor::openRegularFileAt(AT_FDCWD, path, status, true);
  } catch (const std::system_error& error) {
    throw refused(error.code().message());
  }
  if (!file) throw refused("not a regular file");
  if (const auto defect = defectOf(file->get(), status)) throw refused(*defect);
  // Through the descriptor: the file checked is the file mapped, whatever takes its name meanwhile.
  void* handle = ::dlopen(("/proc/self/fd/" + std::to_string(file->get())).c_str(), flags);
  if (handle == nullptr) throw refused(::dlerror());
  return handle;
}

}  // namespace plumo
