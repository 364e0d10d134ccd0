#include "DurableFiles.h"

#include <cerrno>
#include <cstdio>
#include <random>
#include <utility>
#include <fcntl.h>
#include <unistd.h>

#include "ErrorDomain.h"
#include "FileDescriptor.h"

namespace plumo {

namespace {

void sync(int descriptor) {
#ifndef PLUMO_SKIP_FSYNC  // only the benchmark that prices the syncs defines it
  if (::fsync(descriptor) != 0) throwPosixError(errno);
#else
  (void)descriptor;
#endif
}

// Unlike mkstemp's 0600, the file gets the mode any new file of the user gets.
std::pair<std::filesystem::path, FileDescriptor> createTemporaryBeside(const std::filesystem::path& target) {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[17];
    std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
    auto temporary = target.parent_path() / ("." + target.filename().string() + "." + suffix);
    FileDescriptor file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (file.isOpen()) return {std::move(temporary), std::move(file)};
    if (errno != EEXIST) throwPosixError(errno);
  }
  throwPosixError(EEXIST);
}

}  // namespace

void writeAll(int descriptor, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(descriptor, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      throwPosixError(errno);
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
}

void writeAllAndSync(int descriptor, std::string_view bytes) {
  writeAll(descriptor, bytes);
  sync(descriptor);
}

// Only a hint: the later sync decides what is durable, so a failure here changes nothing.
void startWriteback(int descriptor) { ::sync_file_range(descriptor, 0, 0, SYNC_FILE_RANGE_WRITE); }

FileDescriptor createNewFile(const std::filesystem::path& target) {
  FileDescriptor file(::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (!file.isOpen()) throwPosixError(errno);
  return file;
}

void writeNewFile(const std::filesystem::path& target, std::string_view bytes) {
  FileDescriptor file = createNewFile(target);
  try {
    writeAll(file.get(), bytes);
    startWriteback(file.get());
  } catch (...) {
    file.close();
    ::unlink(target.c_str());
    throw;
  }
}

void writeFileAtomically(const std::filesystem::path& target, std::string_view bytes) {
  auto [temporary, file] = createTemporaryBeside(target);
  try {
    writeAllAndSync(file.get(), bytes);
    file.close();
    if (::rename(temporary.c_str(), target.c_str()) != 0) throwPosixError(errno);
  } catch (...) {
    file.close();
    ::unlink(temporary.c_str());
    throw;
  }
}

void syncPath(const std::filesystem::path& path) {
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!file.isOpen()) throwPosixError(errno);
  sync(file.get());
}

}  // namespace plumo
