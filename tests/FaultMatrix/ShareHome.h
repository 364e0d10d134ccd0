#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "Files.h"
#include "TemporaryDirectory.h"

namespace plumo::testing {

// A throw-away home for one run of plumo-share: its own data, configuration and
// temporary folders (no handler for the host's scheme, so a published share ends
// with status 3), and three source files of known bytes to share.
class ShareHome {
 public:
  ShareHome() {
    std::filesystem::create_directories(temporaryFolder());
    for (std::size_t index = 0; index < sourceNames().size(); ++index) {
      std::string bytes(sourceSize + index * 4099, '\0');
      for (std::size_t at = 0; at < bytes.size(); ++at) bytes[at] = static_cast<char>((at * 131 + index * 7) % 251);
      writeFile(home_ / sourceNames()[index], bytes);
    }
  }

  const std::filesystem::path& path() const { return home_.path(); }
  std::filesystem::path root() const {
    return home_ / "data" / "group-containers" / PLUMO_APP_GROUP / "PlumoShare";
  }
  std::filesystem::path staging() const { return root() / "staging"; }
  std::filesystem::path inbox() const { return root() / "inbox"; }
  std::filesystem::path temporaryFolder() const { return home_ / "tmp"; }

  std::map<std::string, std::string> environment() const {
    return {{"XDG_DATA_HOME", (home_ / "data").string()},
            {"XDG_CONFIG_HOME", (home_ / "config").string()},
            {"XDG_DATA_DIRS", "/usr/share"},
            {"TMPDIR", temporaryFolder().string()},
            {"LANGUAGE", "en"},
            {"LANG", "C.UTF-8"}};
  }

  // plumo-share --no-ui with the three source files.
  std::vector<std::string> shareOfThreeFiles() const {
    std::vector<std::string> arguments{PLUMO_SHARE_PROGRAM, "--no-ui"};
    for (const auto& name : sourceNames()) arguments.push_back((home_ / name).string());
    return arguments;
  }

  // The staged names and bytes a complete entry of shareOfThreeFiles() holds.
  std::map<std::string, std::string> sharedFiles() const {
    std::map<std::string, std::string> files;
    for (std::size_t index = 0; index < sourceNames().size(); ++index) {
      files[std::to_string(index + 1) + "-" + sourceNames()[index]] = readFile(home_ / sourceNames()[index]);
    }
    return files;
  }

  std::vector<std::filesystem::path> stagingLeftovers() const { return entriesOf(staging()); }
  std::vector<std::filesystem::path> temporaryLeftovers() const { return entriesOf(temporaryFolder()); }

  // Every entry of the inbox but its lock: the shares, and anything a share left there.
  std::vector<std::filesystem::path> inboxEntries() const {
    std::vector<std::filesystem::path> entries;
    for (const auto& entry : entriesOf(inbox())) {
      if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(entry)) ||
          entry.filename().string()[0] != '.') {
        entries.push_back(entry);
      }
    }
    return entries;
  }

  // What is wrong with an inbox entry, if anything: a complete share is a real
  // folder named by its id, whose manifest parses, names that id, and lists
  // exactly the expected files (when given), each holding the source's bytes.
  static std::optional<std::string> defectOf(const std::filesystem::path& entry,
                                             const std::optional<std::map<std::string, std::string>>& expected) {
    if (!std::filesystem::is_directory(std::filesystem::symlink_status(entry))) return "not a folder";
    const auto manifestPath = entry / "payload.json";
    if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(manifestPath))) return "no manifest";
    const auto manifest = nlohmann::json::parse(readFile(manifestPath), nullptr, false);
    if (manifest.is_discarded() || !manifest.is_object()) return "manifest does not parse";
    if (manifest.value("id", "") != entry.filename().string()) return "manifest names another id";
    if (!manifest.contains("files") || !manifest["files"].is_array()) return "manifest lists no files";
    std::map<std::string, std::string> listed;
    for (const auto& name : manifest["files"]) {
      if (!name.is_string()) return "a listed file is not a name";
      const auto file = entry / name.get<std::string>();
      if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(file))) return "a listed file is missing";
      listed[name.get<std::string>()] = readFile(file);
    }
    if (!expected) return std::nullopt;
    for (const auto& [name, bytes] : *expected) {
      if (!listed.contains(name)) return "a shared file is not listed";
      if (listed[name].size() != bytes.size()) return "a shared file is short";
      if (listed[name] != bytes) return "a shared file has other bytes";
    }
    if (listed.size() != expected->size()) return "an unexpected file is listed";
    return std::nullopt;
  }

  // Sets back the times of everything in staging/, as if the folders there had
  // been left long ago: older than any grace period a sweep allows.
  void ageStaging(std::chrono::hours age = std::chrono::hours(72)) const {
    const auto then = std::chrono::system_clock::now() - age;
    const timespec past{std::chrono::system_clock::to_time_t(then), 0};
    const timespec times[2] = {past, past};
    std::vector<std::filesystem::path> paths{staging()};
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator entry(staging(), error), end; !error && entry != end;
         entry.increment(error)) {
      paths.push_back(entry->path());
    }
    for (const auto& path : paths) ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
  }

 private:
  static constexpr std::size_t sourceSize = 150000;

  static const std::vector<std::string>& sourceNames() {
    static const std::vector<std::string> names{"report.pdf", "photo.jpg", "notes.txt"};
    return names;
  }

  static std::vector<std::filesystem::path> entriesOf(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> entries;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
      entries.push_back(entry->path());
    }
    return entries;
  }

  TemporaryDirectory home_;
};

}  // namespace plumo::testing
