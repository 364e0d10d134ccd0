#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace plumo {

// A bundle's information dictionary, Info.plist (an XML or binary property
// list). Every lookup reads the file afresh.
class InfoDictionary {
 public:
  explicit InfoDictionary(std::filesystem::path file) : file_(std::move(file)) {}

  // The string under `key`; absent when the file, the key or a string value is missing.
  std::optional<std::string> string(const std::string& key) const;

 private:
  std::filesystem::path file_;
};

}  // namespace plumo
