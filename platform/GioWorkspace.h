#pragma once

#include "Workspace.h"

namespace plumo {

// The workspace on GIO: URLs open in the default handler of their scheme;
// an application's bundle identifier names its desktop entry, <id>.desktop.
class GioWorkspace : public Workspace {
 public:
  bool openUrl(const std::string& url) override;
  std::optional<Image> applicationIcon(const std::string& bundleId) override;
};

}  // namespace plumo
