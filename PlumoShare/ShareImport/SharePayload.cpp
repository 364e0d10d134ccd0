#include "SharePayload.h"

#include <nlohmann/json.hpp>

namespace plumo {

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

}  // namespace plumo
