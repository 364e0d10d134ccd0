#include "SharePayload.h"

#include <set>

#include <nlohmann/json.hpp>

#include "Refusal.h"

namespace plumo {

namespace {

using Json = nlohmann::json;

const Json& member(const Json& object, const char* name) {
  const auto found = object.find(name);
  if (found == object.end()) Refusal::invalid(std::string(name) + " is missing");
  return *found;
}

std::string stringMember(const Json& object, const char* name) {
  const Json& value = member(object, name);
  if (!value.is_string()) Refusal::invalid(std::string(name) + " is not a string");
  return value.get<std::string>();
}

std::vector<std::string> stringsMember(const Json& object, const char* name) {
  const Json& value = member(object, name);
  if (!value.is_array()) Refusal::invalid(std::string(name) + " is not an array");
  std::vector<std::string> strings;
  for (const Json& element : value) {
    if (!element.is_string()) Refusal::invalid(std::string(name) + " holds something other than a string");
    strings.push_back(element.get<std::string>());
  }
  return strings;
}

bool isPlainName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

}  // namespace

std::string SharePayload::manifest() const {
  nlohmann::ordered_json json;
  json["schemaVersion"] = schemaVersion;
  json["id"] = id;
  json["message"] = message;
  json["files"] = files;
  json["directories"] = directories;
  json["createdAt"] = createdAt;
  return json.dump();
}

SharePayload SharePayload::fromManifest(std::string_view manifest) {
  const Json json = Json::parse(manifest, nullptr, false);
  if (json.is_discarded()) Refusal::invalid("payload.json is not JSON");
  if (!json.is_object()) Refusal::invalid("payload.json is not a JSON object");
  const Json& version = member(json, "schemaVersion");
  if (!version.is_number_integer() || version.get<std::int64_t>() != schemaVersion) {
    Refusal::invalid("schemaVersion is not 2");
  }
  std::string id = stringMember(json, "id");
  std::string message = stringMember(json, "message");
  std::vector<std::string> files = stringsMember(json, "files");
  std::set<std::string_view> seen;
  for (const auto& name : files) {
    if (!isPlainName(name)) Refusal::invalid("files: " + Json(name).dump() + " is not a plain name");
    if (!seen.insert(name).second) Refusal::invalid("files: " + Json(name).dump() + " is named twice");
  }
  std::vector<std::string> directories = stringsMember(json, "directories");
  for (const auto& path : directories) {
    if (path.empty() || path.front() != '/') {
      Refusal::invalid("directories: " + Json(path).dump() + " is not absolute");
    }
  }
  const Json& createdAt = member(json, "createdAt");
  if (!createdAt.is_number()) Refusal::invalid("createdAt is not a number");
  return {std::move(id), std::move(message), std::move(files), std::move(directories), createdAt.get<double>()};
}

}  // namespace plumo
