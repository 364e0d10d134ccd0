#pragma once

#include <filesystem>
#include <optional>
#include <plist/plist.h>

namespace plumo::bridge {

// Code signing read from the executable itself: the signing information is
// an XML property list in the ELF section ".plumo_codesign", written by
// scripts/codesign. Each call answers a status, 0 on success, as the
// platform's code-signing services do.
class CodeSigning {
 public:
  // The running program's code, and its code on disk, are named by the executable's path.
  struct Code {
    std::filesystem::path executable;
  };

  static constexpr unsigned signingInformationFlag = 2;
  static constexpr int unsignedStatus = -67062;
  static constexpr int staticCodeNotFoundStatus = -67068;
  static constexpr const char* sectionName = ".plumo_codesign";
  static constexpr const char* teamIdentifierKey = "TeamIdentifier";
  static constexpr const char* entitlementsKey = "Entitlements";

  static int copySelf(unsigned flags, std::optional<Code>& self);
  static int copyStaticCode(const Code& code, unsigned flags, std::optional<Code>& staticCode);
  // On success `information` holds a property list the caller frees with plist_free.
  static int copySigningInformation(const Code& staticCode, unsigned flags, plist_t& information);
};

}  // namespace plumo::bridge
