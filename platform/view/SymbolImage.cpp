#include "SymbolImage.h"

#include <gio/gio.h>
#include <map>
#include <vector>

#include "GOwned.h"

namespace plumo {

namespace {

// Adwaita is the reference; the later names stand in where a theme lacks the first
// (Adwaita 43 itself has no application-pdf: a PDF shows as a document there).
const std::map<std::string, std::vector<const char*>> iconNames = {
    {"folder", {"folder"}},
    {"photo", {"image-x-generic"}},
    {"film", {"video-x-generic"}},
    {"waveform", {"audio-x-generic"}},
    {"tablecells", {"x-office-spreadsheet"}},
    {"rectangle.on.rectangle", {"x-office-presentation"}},
    {"doc.richtext", {"application-pdf", "x-office-document"}},
    {"doc.zipper", {"package-x-generic", "application-x-generic"}},
    {"link", {"text-html", "insert-link-symbolic"}},
    {"text.alignleft", {"text-x-generic"}},
    {"doc", {"x-office-document", "text-x-generic"}},
    // Adwaita's pan-end-symbolic is a filled triangle, not a chevron.
    {"chevron.right", {"go-next-symbolic", "pan-end-symbolic"}},
};

}  // namespace

std::optional<Image> SymbolImage::named(const std::string& name, double pointSize) {
  const auto found = iconNames.find(name);
  if (found == iconNames.end()) return std::nullopt;
  std::vector<const char*> names = found->second;
  const GOwned<GIcon> icon(
      g_themed_icon_new_from_names(const_cast<char**>(names.data()), static_cast<int>(names.size())));
  const GOwned<gchar> serialized(g_icon_to_string(icon.get()));
  return Image{serialized.get(), pointSize, pointSize};
}

}  // namespace plumo
