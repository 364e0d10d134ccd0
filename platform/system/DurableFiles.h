#pragma once

#include <fcntl.h>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "FileDescriptor.h"

namespace plumo {

// Writes that survive a power loss once they return, unless said otherwise.
// Every failure throws the POSIX error; nothing is left at the target after a
// failed write.

// Creates an empty file to write at the entry `name` of an open folder (0600:
// readable by the user alone, whatever it will hold), failing with EEXIST if
// anything (a link included) is there.
FileDescriptor createNewFileAt(int folder, const std::string& name);
// The same at a path.
inline FileDescriptor createNewFile(const std::filesystem::path& target) { return createNewFileAt(AT_FDCWD, target); }

// Creates the file as createNewFile does, with these bytes. Its writeback has
// started; it is durable once synced (a staged file is synced once, when its
// share is published).
void writeNewFile(const std::filesystem::path& target, std::string_view bytes);

// Replaces the entry `name` of an open folder in one step: a temporary file
// (mode 0600) beside it, renamed over it. Neither the file nor the folder is
// synced: the file is returned still open, for the caller to sync.
FileDescriptor replaceFileAt(int folder, const std::string& name, std::string_view bytes);

// Flushes an open file's data, or a folder's entries, to the disk.
void syncDescriptor(int descriptor);

// Opens the entry `name` of an open folder without following a link, to sync it.
FileDescriptor openEntryToSyncAt(int folder, const std::string& name);

// Syncs open files and folders all at once, so that the file system can commit
// them together, and returns when every one is on the disk. Throws the first
// failure, once all have ended.
void syncTogether(std::span<const int> descriptors);

// Renames `fromName` of one open folder to `toName` of another (or the same)
// and never replaces an entry there: EEXIST when the name is taken, EXDEV
// across file systems. Where the file system refuses RENAME_NOREPLACE (NFS,
// eCryptfs, some FUSE servers) the name is checked, then renamed: the caller
// keeps others from taking it in between (for the inbox, its lock does).
// Nothing is synced.
void renameWithoutReplacing(int fromFolder, const std::string& fromName, int toFolder, const std::string& toName);

// Writes every byte to an open descriptor.
void writeAll(int descriptor, std::string_view bytes);

// Starts writing an open file's data to the disk without waiting for it.
void startWriteback(int descriptor);

}  // namespace plumo
