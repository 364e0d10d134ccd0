#pragma once

#include "Workspace.h"

namespace plumo::testing {

// A workspace that records the URLs it is asked to open and knows at most one application.
class RecordingWorkspace : public Workspace {
 public:
  bool opens = true;
  std::optional<Image> hostIcon;
  std::vector<std::string> opened;
  std::vector<std::string> iconRequests;

  bool openUrl(const std::string& url) override {
    opened.push_back(url);
    return opens;
  }
  std::optional<Image> applicationIcon(const std::string& bundleId) override {
    iconRequests.push_back(bundleId);
    return hostIcon;
  }
};

}  // namespace plumo::testing
