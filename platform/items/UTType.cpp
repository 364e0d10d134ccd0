#include "UTType.h"

#include <algorithm>
#include <stdexcept>
#include <strings.h>

namespace plumo {

namespace {

// One row a type: identifier, parents, preferred file-name extension, MIME types.
// Never destroyed: an item provider's own thread may still look a type up while the
// process exits (a share dismissed while it reads standard input).
const std::vector<UTType::Declaration>& declarations = *new const std::vector<UTType::Declaration>{
    {"public.item", {}, "", {}},
    {"public.content", {"public.item"}, "", {}},
    {"public.composite-content", {"public.content"}, "", {}},
    {"public.data", {"public.item"}, "", {"application/octet-stream"}},
    {"public.directory", {"public.item"}, "", {}},
    {"public.folder", {"public.directory"}, "", {"inode/directory"}},
    {"public.url", {"public.data"}, "", {}},
    {"public.file-url", {"public.url"}, "", {}},
    {"public.text", {"public.data", "public.content"}, "", {}},
    {"public.plain-text", {"public.text"}, "txt", {"text/plain", "text/*"}},
    {"public.utf8-plain-text", {"public.plain-text"}, "txt", {}},
    {"public.html", {"public.text"}, "html", {"text/html"}},
    {"public.xml", {"public.text"}, "xml", {"application/xml", "text/xml"}},
    {"public.json", {"public.text"}, "json", {"application/json"}},
    {"public.rtf", {"public.text"}, "rtf", {"text/rtf", "application/rtf"}},
    {"public.comma-separated-values-text", {"public.text"}, "csv", {"text/csv"}},
    {"public.image", {"public.data", "public.content"}, "", {"image/*"}},
    {"public.jpeg", {"public.image"}, "jpeg", {"image/jpeg"}},
    {"public.png", {"public.image"}, "png", {"image/png"}},
    {"com.compuserve.gif", {"public.image"}, "gif", {"image/gif"}},
    {"public.tiff", {"public.image"}, "tiff", {"image/tiff"}},
    {"public.heic", {"public.image"}, "heic", {"image/heic"}},
    {"org.webmproject.webp", {"public.image"}, "webp", {"image/webp"}},
    {"public.svg-image", {"public.image"}, "svg", {"image/svg+xml"}},
    {"com.adobe.pdf", {"public.data", "public.composite-content"}, "pdf", {"application/pdf"}},
    {"public.audiovisual-content", {"public.data", "public.content"}, "", {}},
    {"public.movie", {"public.audiovisual-content"}, "", {"video/*"}},
    {"public.video", {"public.movie"}, "", {}},
    {"public.mpeg-4", {"public.movie"}, "mp4", {"video/mp4"}},
    {"com.apple.quicktime-movie", {"public.movie"}, "mov", {"video/quicktime"}},
    {"public.audio", {"public.audiovisual-content"}, "", {"audio/*"}},
    {"public.mp3", {"public.audio"}, "mp3", {"audio/mpeg"}},
    {"com.microsoft.waveform-audio", {"public.audio"}, "wav", {"audio/wav", "audio/x-wav"}},
    {"public.spreadsheet", {"public.content"}, "", {}},
    {"public.presentation", {"public.composite-content"}, "", {}},
    {"public.archive", {"public.data"}, "", {}},
    {"public.zip-archive", {"public.archive"}, "zip", {"application/zip"}},
    {"org.gnu.gnu-zip-archive", {"public.archive"}, "gz", {"application/gzip"}},
    {"public.tar-archive", {"public.archive"}, "tar", {"application/x-tar"}},
    {"com.microsoft.word.doc", {"public.data", "public.composite-content"}, "doc", {"application/msword"}},
    {"org.openxmlformats.wordprocessingml.document", {"public.data", "public.composite-content"}, "docx",
     {"application/vnd.openxmlformats-officedocument.wordprocessingml.document"}},
    {"org.oasis-open.opendocument.text", {"public.data", "public.composite-content"}, "odt",
     {"application/vnd.oasis.opendocument.text"}},
    {"com.microsoft.excel.xls", {"public.data", "public.spreadsheet"}, "xls", {"application/vnd.ms-excel"}},
    {"org.openxmlformats.spreadsheetml.sheet", {"public.data", "public.spreadsheet"}, "xlsx",
     {"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"}},
    {"org.oasis-open.opendocument.spreadsheet", {"public.data", "public.spreadsheet"}, "ods",
     {"application/vnd.oasis.opendocument.spreadsheet"}},
    {"com.microsoft.powerpoint.ppt", {"public.data", "public.presentation"}, "ppt",
     {"application/vnd.ms-powerpoint"}},
    {"org.openxmlformats.presentationml.presentation", {"public.data", "public.presentation"}, "pptx",
     {"application/vnd.openxmlformats-officedocument.presentationml.presentation"}},
    {"org.oasis-open.opendocument.presentation", {"public.data", "public.presentation"}, "odp",
     {"application/vnd.oasis.opendocument.presentation"}},
};

bool equalIgnoringCase(std::string_view left, std::string_view right) {
  return left.size() == right.size() && ::strncasecmp(left.data(), right.data(), left.size()) == 0;
}

const UTType::Declaration* find(std::string_view identifier) {
  const auto found = std::find_if(declarations.begin(), declarations.end(),
                                  [&](const auto& row) { return equalIgnoringCase(row.identifier, identifier); });
  return found == declarations.end() ? nullptr : &*found;
}

const UTType::Declaration* findByMimeType(std::string_view mimeType) {
  for (const auto& row : declarations) {
    for (const auto& candidate : row.mimeTypes) {
      if (equalIgnoringCase(candidate, mimeType)) return &row;
    }
  }
  return nullptr;
}

}  // namespace

const std::vector<UTType::Declaration>& UTType::table() { return declarations; }

UTType UTType::declared(std::string_view identifier) {
  const Declaration* declaration = find(identifier);
  if (declaration == nullptr) throw std::logic_error("undeclared system type");
  return UTType(declaration);
}

const UTType UTType::item = declared("public.item");
const UTType UTType::data = declared("public.data");
const UTType UTType::directory = declared("public.directory");
const UTType UTType::folder = declared("public.folder");
const UTType UTType::url = declared("public.url");
const UTType UTType::fileURL = declared("public.file-url");
const UTType UTType::text = declared("public.text");
const UTType UTType::plainText = declared("public.plain-text");
const UTType UTType::image = declared("public.image");
const UTType UTType::pdf = declared("com.adobe.pdf");
const UTType UTType::movie = declared("public.movie");
const UTType UTType::video = declared("public.video");
const UTType UTType::audio = declared("public.audio");
const UTType UTType::spreadsheet = declared("public.spreadsheet");
const UTType UTType::presentation = declared("public.presentation");
const UTType UTType::archive = declared("public.archive");

std::optional<UTType> UTType::withIdentifier(std::string_view identifier) {
  const Declaration* declaration = find(identifier);
  if (declaration == nullptr) return std::nullopt;
  return UTType(declaration);
}

std::optional<UTType> UTType::withMimeType(std::string_view mimeType) {
  const std::string_view essence = mimeType.substr(0, mimeType.find(';'));
  if (const Declaration* exact = findByMimeType(essence)) return UTType(exact);
  const auto slash = essence.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const std::string wildcard = std::string(essence.substr(0, slash)) + "/*";
  if (const Declaration* family = findByMimeType(wildcard)) return UTType(family);
  return std::nullopt;
}

std::optional<UTType> UTType::named(std::string_view identifierOrMimeType) {
  if (const auto declared = withIdentifier(identifierOrMimeType)) return declared;
  return withMimeType(identifierOrMimeType);
}

std::optional<std::string> UTType::preferredFilenameExtension() const {
  if (declaration_->preferredFilenameExtension.empty()) return std::nullopt;
  return std::string(declaration_->preferredFilenameExtension);
}

bool UTType::conformsTo(const UTType& other) const {
  if (*this == other) return true;
  return std::any_of(declaration_->parents.begin(), declaration_->parents.end(),
                     [&](std::string_view parent) { return declared(parent).conformsTo(other); });
}

bool UTType::identifierConformsTo(std::string_view identifier, const UTType& other) {
  const auto type = withIdentifier(identifier);
  return type && type->conformsTo(other);
}

}  // namespace plumo
