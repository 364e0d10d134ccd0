#include "DurableFiles.h"

#include <cerrno>
#include <cstdio>
#include <random>
#include <thread>
#include <utility>
#include <vector>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ErrorDomain.h"

namespace plumo {

namespace {

// A name for a temporary file beside `name`, created exclusively in the folder.
std::pair<std::string, FileDescriptor> createTemporaryAt(int folder, const std::string& name) {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[17];
    std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
    std::string temporary = "." + name + "." + suffix;
    try {
      FileDescriptor file = createNewFileAt(folder, temporary);
      return {std::move(temporary), std::move(file)};
    } catch (const std::system_error& taken) {
      if (taken.code() != posixError(EEXIST)) throw;
    }
  }
  throwPosixError(EEXIST);
}

// The errno of a failed sync, or 0.
int syncFailure(int descriptor) { return ::fsync(descriptor) == 0 ? 0 : errno; }

}  // namespace

void syncDescriptor(int descriptor) {
  if (const int failure = syncFailure(descriptor)) throwPosixError(failure);
}

// Syncs that wait one after the other cost a journal commit, or a disk flush,
// each. Issued together from threads of their own, they share one.
void syncTogether(std::span<const int> descriptors) {
  std::vector<int> failures(descriptors.size(), 0);
  {
    std::vector<std::jthread> helpers;
    helpers.reserve(descriptors.size());
    for (std::size_t index = 1; index < descriptors.size(); ++index) {
      try {
        helpers.emplace_back([&failures, &descriptors, index] { failures[index] = syncFailure(descriptors[index]); });
      } catch (const std::system_error&) {
        failures[index] = syncFailure(descriptors[index]);  // no thread to spare: this one waits
      }
    }
    if (!descriptors.empty()) failures[0] = syncFailure(descriptors[0]);
  }
  for (const int failure : failures) {
    if (failure != 0) throwPosixError(failure);
  }
}

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

// Only a hint: the later sync decides what is durable, so a failure here changes nothing.
void startWriteback(int descriptor) { ::sync_file_range(descriptor, 0, 0, SYNC_FILE_RANGE_WRITE); }

FileDescriptor createNewFileAt(int folder, const std::string& name) {
  FileDescriptor file(::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file.isOpen()) throwPosixError(errno);
  return file;
}

void writeNewFile(const std::filesystem::path& target, std::string_view bytes) {
  FileDescriptor file = createNewFile(target);
  try {
    writeAll(file.get(), bytes);
    startWriteback(file.get());
    file.closeWritten();
  } catch (...) {
    file.close();
    ::unlink(target.c_str());
    throw;
  }
}

FileDescriptor replaceFileAt(int folder, const std::string& name, std::string_view bytes) {
  auto [temporary, file] = createTemporaryAt(folder, name);
  try {
    writeAll(file.get(), bytes);
    if (::renameat(folder, temporary.c_str(), folder, name.c_str()) != 0) throwPosixError(errno);
  } catch (...) {
    file.close();
    ::unlinkat(folder, temporary.c_str(), 0);
    throw;
  }
  return std::move(file);
}

void renameWithoutReplacing(int fromFolder, const std::string& fromName, int toFolder, const std::string& toName) {
  if (::renameat2(fromFolder, fromName.c_str(), toFolder, toName.c_str(), RENAME_NOREPLACE) == 0) return;
  if (errno != EINVAL) throwPosixError(errno);
  if (FileDescriptor::entryExistsAt(toFolder, toName)) throwPosixError(EEXIST);
  // rename(2) alone would replace an empty folder of that name.
  if (::renameat(fromFolder, fromName.c_str(), toFolder, toName.c_str()) != 0) throwPosixError(errno);
}

FileDescriptor openEntryToSyncAt(int folder, const std::string& name) {
  FileDescriptor file(::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!file.isOpen()) throwPosixError(errno);
  return file;
}

}  // namespace plumo
