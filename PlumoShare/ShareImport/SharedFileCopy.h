#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>

#include "ShareFileResult.h"
#include "Url.h"

namespace plumo {

// One shared regular file copied into the staging folder.
struct SharedFileCopy {
  // Copies the file at `source` under a safe name numbered by `count`, never
  // overwriting and never following a link. The size and count limits are
  // enforced before the source is opened, against its size, and again while it
  // is read, so a file that grows is caught too; a file that shrinks while it is
  // read is refused as readFailed. The copy is written, its writeback started,
  // but not synced: publishing the share does. A stop request ends the copy
  // after the chunk under way, with the cancellation error, and removes the
  // partial copy.
  static ShareFileResult copy(const Url& source, const std::filesystem::path& folder,
                              const std::optional<std::string>& suggested, std::int64_t total, std::int64_t count,
                              const std::stop_token& stop = {});
};

}  // namespace plumo
