#pragma once

#include <filesystem>

#include "ThreadedItemProvider.h"

namespace plumo {

// A file or folder named on the command line. Its types are the file's own
// (from its MIME type) or public.folder, then public.file-url; it loads as
// its file URL only: the file is taken where it lies, and never removed. A
// path that cannot be examined offers public.data, and its load fails with
// the error.
class FileItemProvider : public ThreadedItemProvider {
 public:
  // `path` is absolute; its type is looked up here, once.
  explicit FileItemProvider(std::filesystem::path path);

  std::vector<std::string> registeredTypeIdentifiers() const override;
  std::optional<std::string> suggestedName() const override;
  void loadItem(const std::string& typeIdentifier, ItemCompletion completion) override;

 private:
  // The type identifier of what lies at `path`: a folder, or a file's sniffed MIME type.
  static std::string typeOf(const std::filesystem::path& path, std::error_code& error);

  std::filesystem::path path_;
  std::error_code lookupError_;
  std::string typeIdentifier_;
};

}  // namespace plumo
