#pragma once

#include <filesystem>

#include "ThreadedItemProvider.h"

namespace plumo {

// A file or folder named on the command line. Its types are the file's own
// (from its MIME type) or public.folder, then public.file-url; every load
// hands out the file where it lies, which is never removed.
class FileItemProvider : public ThreadedItemProvider {
 public:
  // `path` is absolute; `typeIdentifier` is the type of its contents.
  FileItemProvider(std::filesystem::path path, std::string typeIdentifier);

  // The type identifier of what lies at `path`: a folder, or a file's sniffed MIME type.
  static std::string typeOf(const std::filesystem::path& path);

  std::vector<std::string> registeredTypeIdentifiers() const override;
  std::optional<std::string> suggestedName() const override;
  void loadFileRepresentation(const std::string& typeIdentifier, FileCompletion completion) override;
  void loadDataRepresentation(const std::string& typeIdentifier, DataCompletion completion) override;
  void loadItem(const std::string& typeIdentifier, ItemCompletion completion) override;

 private:
  std::filesystem::path path_;
  std::string typeIdentifier_;
};

}  // namespace plumo
