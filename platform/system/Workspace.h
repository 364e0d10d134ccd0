#pragma once

#include <optional>
#include <string>

#include "Image.h"

namespace plumo {

// The desktop's shared workspace: opens URLs and finds applications.
class Workspace {
 public:
  virtual ~Workspace() = default;
  // True when an application took the URL.
  virtual bool openUrl(const std::string& url) = 0;
  // The icon of the application with this bundle identifier; absent when none is installed.
  virtual std::optional<Image> applicationIcon(const std::string& bundleId) = 0;
};

}  // namespace plumo
