#include "RandomUuid.h"

#include <uuid/uuid.h>

namespace plumo {

namespace {

std::string randomUuid(void (*unparse)(const uuid_t, char*)) {
  uuid_t uuid;
  uuid_generate_random(uuid);
  char text[37];
  unparse(uuid, text);
  return text;
}

}  // namespace

std::string RandomUuid::lowerCase() { return randomUuid(uuid_unparse_lower); }
std::string RandomUuid::upperCase() { return randomUuid(uuid_unparse_upper); }

}  // namespace plumo
