#include "FileItemProvider.h"

#include <gio/gio.h>

#include "GOwned.h"
#include "UTType.h"

namespace plumo {

FileItemProvider::FileItemProvider(std::filesystem::path path)
    : path_(std::move(path)), typeIdentifier_(typeOf(path_, lookupError_)) {}

std::string FileItemProvider::typeOf(const std::filesystem::path& path, std::error_code& error) {
  const bool isDirectory = std::filesystem::is_directory(path, error);
  if (error) return std::string(UTType::data.identifier());
  if (isDirectory) return std::string(UTType::folder.identifier());
  const GOwned<GFile> file(g_file_new_for_path(path.c_str()));
  const GOwned<GFileInfo> info(
      g_file_query_info(file.get(), G_FILE_ATTRIBUTE_STANDARD_CONTENT_TYPE, G_FILE_QUERY_INFO_NONE, nullptr, nullptr));
  const char* contentType = info ? g_file_info_get_content_type(info.get()) : nullptr;
  const GOwned<gchar> mimeType(contentType ? g_content_type_get_mime_type(contentType) : nullptr);
  const auto type = mimeType ? UTType::withMimeType(mimeType.get()) : std::nullopt;
  return std::string(type ? type->identifier() : UTType::data.identifier());
}

std::vector<std::string> FileItemProvider::registeredTypeIdentifiers() const {
  return {typeIdentifier_, std::string(UTType::fileURL.identifier())};
}

std::optional<std::string> FileItemProvider::suggestedName() const { return path_.filename().string(); }

void FileItemProvider::loadItem(const std::string&, ItemCompletion completion) {
  answerOnOwnThread([url = Url::fileUrl(path_), error = lookupError_, completion = std::move(completion)] {
    if (error) return completion(std::nullopt, error);
    completion(url, {});
  });
}

}  // namespace plumo
