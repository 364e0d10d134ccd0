#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace plumo {

// The manifest record of one share, written once as "payload.json".
struct SharePayload {
  SharePayload(std::string shareId, std::string joinedMessage, std::vector<std::string> fileNames,
               std::vector<std::string> folderPaths, double createdAtMilliseconds)
      : id(std::move(shareId)),
        message(std::move(joinedMessage)),
        files(std::move(fileNames)),
        directories(std::move(folderPaths)),
        createdAt(createdAtMilliseconds) {}

  static constexpr std::int64_t schemaVersion = 2;
  std::string id;
  std::string message;
  std::vector<std::string> files;        // names inside the share folder, in staging order
  std::vector<std::string> directories;  // absolute paths of shared folders, not copied
  double createdAt;                      // milliseconds since 1970, fraction kept

  // Compact UTF-8 JSON with the six members in declaration order. Throws
  // nlohmann::json's error when a text is not valid UTF-8.
  std::string manifest() const;

  // The payload a manifest describes, when it follows the schema: a JSON object
  // with schemaVersion 2, a string id and message, files that are plain names
  // (no "/", not "." or ".."), each named once, absolute directories and a
  // numeric createdAt.
  // Anything else throws a Refusal (POSIX EINVAL) with the reason.
  static SharePayload fromManifest(std::string_view manifest);
};

}  // namespace plumo
