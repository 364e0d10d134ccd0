#include "LocalFile.h"

#include <gio/gio.h>

#include "GOwned.h"

namespace plumo {

namespace {

std::optional<std::filesystem::path> pathOf(GFile* file) {
  const GOwned<gchar> path(g_file_get_path(file));
  if (!path) return std::nullopt;
  return std::filesystem::path(path.get());
}

}  // namespace

std::optional<std::filesystem::path> LocalFile::behind(const std::string& address) {
  const GOwned<GFile> file(g_file_new_for_uri(address.c_str()));
  if (auto path = pathOf(file.get())) return path;
  const GOwned<GFileInfo> info(
      g_file_query_info(file.get(), G_FILE_ATTRIBUTE_STANDARD_TARGET_URI, G_FILE_QUERY_INFO_NONE, nullptr, nullptr));
  const char* target = info ? g_file_info_get_attribute_string(info.get(), G_FILE_ATTRIBUTE_STANDARD_TARGET_URI)
                            : nullptr;
  if (target == nullptr) return std::nullopt;
  const GOwned<GFile> targetFile(g_file_new_for_uri(target));
  return pathOf(targetFile.get());
}

}  // namespace plumo
