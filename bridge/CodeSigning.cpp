#include "CodeSigning.h"

#include "ElfSection.h"
#include "InstalledFiles.h"
#include "PropertyList.h"

namespace plumo::bridge {

int CodeSigning::copySelf(unsigned, std::optional<Code>& self) {
  const auto executable = InstalledFiles::program();
  if (executable.empty()) return staticCodeNotFoundStatus;
  self = Code{executable};
  return 0;
}

int CodeSigning::copyStaticCode(const Code& code, unsigned, std::optional<Code>& staticCode) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(code.executable, error)) return staticCodeNotFoundStatus;
  staticCode = code;
  return 0;
}

int CodeSigning::copySigningInformation(const Code& staticCode, unsigned flags, plist_t& information) {
  information = nullptr;
  if ((flags & signingInformationFlag) == 0) {
    information = plist_new_dict();
    return 0;
  }
  const auto signature = ElfSection::read(staticCode.executable, sectionName);
  if (!signature || signature->empty()) return unsignedStatus;
  information = PropertyList::fromXml(*signature).release();
  return information != nullptr ? 0 : unsignedStatus;
}

}  // namespace plumo::bridge
