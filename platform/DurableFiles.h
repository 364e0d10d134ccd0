#pragma once

#include <filesystem>
#include <string_view>

#include "FileDescriptor.h"

namespace plumo {

// Writes that survive a power loss once they return, unless said otherwise.
// Every failure throws the POSIX error; nothing is left at the target after a
// failed write.

// Creates an empty file to write, failing with EEXIST if anything (a link
// included) is there.
FileDescriptor createNewFile(const std::filesystem::path& target);

// Creates the file as createNewFile does, with these bytes. Its writeback has
// started; it is durable once synced (a staged file is synced once, when its
// share is published).
void writeNewFile(const std::filesystem::path& target, std::string_view bytes);

// Replaces the target in one step: a temporary file beside it, synced, renamed over it.
void writeFileAtomically(const std::filesystem::path& target, std::string_view bytes);

// Flushes a file's data, or a directory's entries, to the disk.
void syncPath(const std::filesystem::path& path);

// Writes every byte to an open descriptor.
void writeAll(int descriptor, std::string_view bytes);

// Writes every byte to an open descriptor, then syncs it.
void writeAllAndSync(int descriptor, std::string_view bytes);

// Starts writing a file's dirty pages to the disk without waiting, so that the
// sync that makes it durable later finds less to do.
void startWriteback(int descriptor);

}  // namespace plumo
