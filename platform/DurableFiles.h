#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace plumo {

// Writes that survive a power loss once they return. Every failure throws the
// POSIX error; nothing is left at the target after a failed write.

// Creates the file (0600: readable by the user alone, whatever it holds),
// failing with EEXIST if anything (a link included) is there.
void writeNewFile(const std::filesystem::path& target, std::string_view bytes);

// Replaces the entry `name` of an open folder in one step: a temporary file
// (mode 0600) beside it, synced, renamed over it. The folder itself is not synced.
void writeFileAtomicallyAt(int folder, const std::string& name, std::string_view bytes);

// Flushes an open file's data, or a folder's entries, to the disk.
void syncDescriptor(int descriptor);

// Opens the entry `name` of an open folder without following a link and syncs it.
void syncEntryAt(int folder, const std::string& name);

// Writes every byte to an open descriptor, then syncs it.
void writeAllAndSync(int descriptor, std::string_view bytes);

}  // namespace plumo
