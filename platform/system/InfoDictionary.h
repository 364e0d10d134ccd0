#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "PropertyList.h"

namespace plumo {

// A bundle's information dictionary, Info.plist (a property list, XML or
// binary), read once when it is made: one run of a share is one short process.
// A file that is missing, is no regular file, cannot be read, or is no property
// list within PropertyList's limits reads as a dictionary without keys.
class InfoDictionary {
 public:
  explicit InfoDictionary(const std::filesystem::path& file);

  // The string under `key`; absent when the key or a string value is missing.
  std::optional<std::string> string(const std::string& key) const;

 private:
  PropertyList::Root root_;
};

}  // namespace plumo
