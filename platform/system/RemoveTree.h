#pragma once

namespace plumo {

// Deletes the entry `name` of an open folder and, when it is a folder, all it
// holds. Never follows a link: a link is removed, not what it points to. Never
// enters another file system: a folder that is a mount point (a bind mount of
// the same file system too) fails with EXDEV, and what it holds stays.
// Throws the first POSIX error met; ENOENT when the entry is missing.
void removeTreeAt(int folder, const char* name);

}  // namespace plumo
