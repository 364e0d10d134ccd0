#include <cstdlib>
#include <gtest/gtest.h>

#include "Files.h"
#include "GioWorkspace.h"
#include "TemporaryDirectory.h"

namespace fs = std::filesystem;

namespace plumo {
namespace {

// The host's icon comes from its desktop entry, found and judged as GIO finds and
// judges applications. GLib reads the data folders once per process: CTest runs
// each test in a process of its own.
TEST(GioWorkspaceTest, TheHostsIconIsTheOneItsDesktopEntryNames) {
  testing::TemporaryDirectory home;
  ::setenv("XDG_DATA_HOME", (home / "user").c_str(), 1);
  ::setenv("XDG_DATA_DIRS", (home / "system").c_str(), 1);
  const auto entry = [&](const std::string& folder, const std::string& id, const std::string& keys) {
    fs::create_directories(home / folder / "applications");
    testing::writeFile(home / folder / "applications" / (id + ".desktop"),
                       "[Desktop Entry]\nType=Application\nName=Host\n" + keys);
  };
  entry("system", "host.themed", "Exec=true %u\nIcon=plumo-host.png\n");
  entry("system", "host.file", "Icon=/opt/host/share/host icon.png\n");
  entry("system", "host.plain", "");
  entry("system", "host.hidden", "Icon=plumo-host\nHidden=true\n");
  entry("system", "host.gone", "Icon=plumo-host\nTryExec=plumo-host-that-is-not-installed\n");
  entry("system", "host.moved", "Icon=plumo-host\nExec=plumo-host-that-is-not-installed %u\n");
  entry("system", "host.link", "Icon=plumo-host\n");
  fs::create_directories(home / "user" / "applications");
  testing::writeFile(home / "user" / "applications" / "host.link.desktop",
                     "[Desktop Entry]\nType=Link\nName=Host\nURL=https://example.com\nIcon=link-icon\n");
  entry("system", "host.mine", "Icon=system-icon\n");
  entry("user", "host.mine", "Icon=user-icon\n");

  GioWorkspace workspace({});

  EXPECT_EQ(workspace.applicationIcon("host.themed"), (Image{"plumo-host", 30, 30})) << "the extension is a slip";
  EXPECT_EQ(workspace.applicationIcon("host.file"), (Image{"/opt/host/share/host icon.png", 30, 30}));
  EXPECT_EQ(workspace.applicationIcon("host.plain"), (Image{"", 30, 30})) << "an application without an icon";
  EXPECT_EQ(workspace.applicationIcon("host.mine"), (Image{"user-icon", 30, 30})) << "the user's entry first";
  EXPECT_EQ(workspace.applicationIcon("host.link"), (Image{"plumo-host", 30, 30})) << "a link is no application";
  for (const char* none : {"host.hidden", "host.gone", "host.moved", "host.missing"}) {
    EXPECT_EQ(workspace.applicationIcon(none), std::nullopt) << none;
  }
}

}  // namespace
}  // namespace plumo
