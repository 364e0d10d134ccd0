#include "ItemProvider.h"

#include <algorithm>

#include "UTType.h"

namespace plumo {

bool ItemProvider::hasItemConformingTo(std::string_view typeIdentifier) const {
  const auto wanted = UTType::withIdentifier(typeIdentifier);
  if (!wanted) return false;
  const auto identifiers = registeredTypeIdentifiers();
  return std::any_of(identifiers.begin(), identifiers.end(),
                     [&](const std::string& identifier) { return UTType::identifierConformsTo(identifier, *wanted); });
}

void ItemProvider::loadFileRepresentation(const std::string&, FileCompletion completion) {
  completion(std::nullopt, {});
}

void ItemProvider::loadDataRepresentation(const std::string&, DataCompletion completion) {
  completion(std::nullopt, {});
}

}  // namespace plumo
