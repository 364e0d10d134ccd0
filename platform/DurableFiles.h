#pragma once

#include <filesystem>
#include <string_view>

namespace plumo {

// Writes that survive a power loss once they return. Every failure throws the
// POSIX error; nothing is left at the target after a failed write.

// Creates the file, failing with EEXIST if anything (a link included) is there.
void writeNewFile(const std::filesystem::path& target, std::string_view bytes);

// Replaces the target in one step: a temporary file beside it, synced, renamed over it.
void writeFileAtomically(const std::filesystem::path& target, std::string_view bytes);

// Flushes a file's data, or a directory's entries, to the disk.
void syncPath(const std::filesystem::path& path);

// Writes every byte to an open descriptor, then syncs it.
void writeAllAndSync(int descriptor, std::string_view bytes);

}  // namespace plumo
