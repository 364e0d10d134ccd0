#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

namespace plumo::testing {

// The dynamic loader's own record of the libraries a program (and any child
// it starts) initialises, linked or loaded later, written into a folder.
class LoadedLibraries {
 public:
  explicit LoadedLibraries(std::filesystem::path folder) : folder_(std::move(folder)) {
    std::filesystem::create_directories(folder_);
  }

  // To add to the program's environment.
  std::map<std::string, std::string> environment() const {
    return {{"LD_DEBUG", "libs"}, {"LD_DEBUG_OUTPUT", (folder_ / "loader").string()}};
  }

  // File names, such as "libglib-2.0.so.0".
  std::set<std::string> names() const {
    static const std::string marker = "calling init: ";
    std::set<std::string> found;
    for (const auto& record : std::filesystem::directory_iterator(folder_)) {
      std::ifstream lines(record.path());
      for (std::string line; std::getline(lines, line);) {
        const auto at = line.find(marker);
        if (at != std::string::npos) found.insert(std::filesystem::path(line.substr(at + marker.size())).filename());
      }
    }
    return found;
  }

 private:
  std::filesystem::path folder_;
};

}  // namespace plumo::testing
