// plumo-share-bridge container <bundle id>: proves that this signed program
// may use its application group's container, and prints the container's path.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "BuildIdentity.h"
#include "CodeSigning.h"
#include "ContainerProbe.h"
#include "ExitStatus.h"
#include "GroupContainer.h"
#include "ProcessStart.h"
#include "PropertyList.h"

namespace {

using plumo::bridge::CodeSigning;
using plumo::PropertyList;

constexpr const char* applicationGroupsEntitlement = "com.apple.security.application-groups";

[[noreturn]] void unavailable() {
  std::fputs("Share App Group unavailable; verify Developer ID signing and team entitlements.\n", stderr);
  std::exit(plumo::ExitStatus::failure);
}

void require(bool condition) {
  if (!condition) unavailable();
}

plist_t dictionaryEntry(plist_t dictionary, const char* key, plist_type type) {
  plist_t entry = plist_dict_get_item(dictionary, key);
  require(entry != nullptr && plist_get_node_type(entry) == type);
  return entry;
}

std::string stringValue(plist_t node) {
  const auto text = PropertyList::stringOf(node);
  require(text.has_value());
  return *text;
}

PropertyList::Root signingInformation() {
  std::optional<CodeSigning::Code> code;
  require(CodeSigning::copySelf(0, code) == 0 && code);
  std::optional<CodeSigning::Code> staticCode;
  require(CodeSigning::copyStaticCode(*code, 0, staticCode) == 0 && staticCode);
  plist_t information = nullptr;
  require(CodeSigning::copySigningInformation(*staticCode, CodeSigning::signingInformationFlag, information) == 0 &&
          information != nullptr);
  PropertyList::Root owned(information, &plist_free);
  require(plist_get_node_type(information) == PLIST_DICT);
  return owned;
}

// Exactly the one group, no other.
bool grantsOnly(plist_t groups, const std::string& group) {
  return plist_array_get_size(groups) == 1 && stringValue(plist_array_get_item(groups, 0)) == group;
}

}  // namespace

int main(int argc, char** argv) {
  plumo::ProcessStart::openClosedStandardStreams();
  plumo::ProcessStart::failWritesToClosedPipes();
  const std::vector<std::string> args(argv, argv + argc);
  const std::vector<std::string> appIds = {PLUMO_HOST_BUNDLE_ID, PLUMO_HOST_BUNDLE_ID ".dev"};
  require(args.size() == 3 && args[1] == "container" && std::ranges::count(appIds, args[2]) == 1);

  const PropertyList::Root information = signingInformation();
  const std::string team = stringValue(plist_dict_get_item(information.get(), CodeSigning::teamIdentifierKey));
  require(std::regex_match(team, std::regex("^[A-Z0-9]{10}$")));
  const std::string group = team + "." + args[2];

  const plist_t entitlements = dictionaryEntry(information.get(), CodeSigning::entitlementsKey, PLIST_DICT);
  require(grantsOnly(dictionaryEntry(entitlements, applicationGroupsEntitlement, PLIST_ARRAY), group));

  const auto container = plumo::GroupContainer::path(group);
  require(container.has_value());
  std::error_code error;
  std::filesystem::create_directories(*container, error);
  require(!error && std::filesystem::is_directory(*container));
  require(plumo::bridge::ContainerProbe::succeeds(*container));

  // A path that never reached the caller is no success.
  require(std::fputs((container->string() + "\n").c_str(), stdout) >= 0 && std::fflush(stdout) == 0);
  return plumo::ExitStatus::success;
}
