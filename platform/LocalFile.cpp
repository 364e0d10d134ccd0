#include "LocalFile.h"

#include <gio/gio.h>
#include <memory>

namespace plumo {

namespace {

template <class Object>
using Owned = std::unique_ptr<Object, decltype(&g_object_unref)>;

std::optional<std::filesystem::path> pathOf(GFile* file) {
  const std::unique_ptr<char, decltype(&g_free)> path(g_file_get_path(file), &g_free);
  if (!path) return std::nullopt;
  return std::filesystem::path(path.get());
}

}  // namespace

std::optional<std::filesystem::path> LocalFile::behind(const std::string& address) {
  const Owned<GFile> file(g_file_new_for_uri(address.c_str()), &g_object_unref);
  if (auto path = pathOf(file.get())) return path;
  const Owned<GFileInfo> info(g_file_query_info(file.get(), G_FILE_ATTRIBUTE_STANDARD_TARGET_URI,
                                                G_FILE_QUERY_INFO_NONE, nullptr, nullptr),
                              &g_object_unref);
  const char* target = info ? g_file_info_get_attribute_string(info.get(), G_FILE_ATTRIBUTE_STANDARD_TARGET_URI)
                            : nullptr;
  if (target == nullptr) return std::nullopt;
  const Owned<GFile> targetFile(g_file_new_for_uri(target), &g_object_unref);
  return pathOf(targetFile.get());
}

}  // namespace plumo
