#include "ShareListing.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <sstream>

#include "Utf8.h"

namespace plumo {

namespace {

using Json = nlohmann::ordered_json;

std::string dump(const Json& value, int indent = -1) {
  // Paths come from the file system and need not be UTF-8.
  return value.dump(indent, ' ', false, Json::error_handler_t::replace);
}

std::string firstLine(const std::string& message) {
  return Utf8::escaped(message.substr(0, message.find('\n')));
}

}  // namespace

std::string ShareListing::isoTime(double milliseconds) {
  constexpr double latest = 253402300799999.0;  // 9999-12-31T23:59:59.999Z
  if (!(milliseconds >= 0 && milliseconds <= latest)) return "-";
  const double wholeMilliseconds = std::floor(milliseconds);
  const auto seconds = static_cast<std::time_t>(wholeMilliseconds / 1000);
  const auto fraction = static_cast<int>(wholeMilliseconds - static_cast<double>(seconds) * 1000);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[32];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  std::snprintf(text + length, sizeof text - length, ".%03dZ", fraction);
  return text;
}

std::string ShareListing::tabSeparated(const InboxShare& share) {
  if (!share.valid()) return share.id + "\t-\t-\t-\tinvalid: " + firstLine(share.error);
  const SharePayload& payload = *share.payload;
  return share.id + "\t" + isoTime(payload.createdAt) + "\t" + std::to_string(payload.files.size()) + "\t" +
         std::to_string(payload.directories.size()) + "\t" + firstLine(payload.message);
}

std::string ShareListing::json(const InboxShare& share) {
  Json line = {{"id", share.id}, {"path", share.folder.string()}, {"valid", share.valid()}};
  if (!share.valid()) {
    line["error"] = share.error;
    return dump(line);
  }
  Json manifest = Json::parse(share.payload->manifest());
  manifest.erase("id");
  line.update(manifest);
  return dump(line);
}

std::string ShareListing::details(const InboxShare& share) {
  // JSON reads "\u202e" as the character itself: the manifest stays exact, and shows safely.
  // Its line breaks are its layout (JSON writes those inside a string as "\n"): each line is escaped alone.
  std::istringstream manifest(dump(Json::parse(share.payload->manifest()), 2));
  std::string text;
  for (std::string line; std::getline(manifest, line);) text += (text.empty() ? "" : "\n") + Utf8::escaped(line);
  for (const auto& name : share.payload->files) text += "\n" + Utf8::escaped((share.folder / name).string());
  return text;
}

}  // namespace plumo
