#pragma once

#include <string>
#include <vector>

#include "Workspace.h"

namespace plumo {

// The workspace on GIO: URLs open in the default handler of their scheme;
// an application's bundle identifier names its desktop entry, <id>.desktop.
class GioWorkspace : public Workspace {
 public:
  // `environment` ("NAME=value"): what an application we open gets, whatever
  // this process changed in its own.
  explicit GioWorkspace(std::vector<std::string> environment) : environment_(std::move(environment)) {}

  // The application runs on its own: standard streams on /dev/null, never ours,
  // and no signal blocked. A handler that is no desktop entry is left to GIO's
  // default launch (in a sandbox, the desktop portal), our streams on /dev/null meanwhile.
  bool openUrl(const std::string& url) override;
  std::optional<Image> applicationIcon(const std::string& bundleId) override;

 private:
  std::vector<std::string> environment_;
};

}  // namespace plumo
