// A share without a card maps no desktop toolkit: the card's module is loaded
// only where a display is present and --no-ui is not given.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "LoadedLibraries.h"
#include "RunningProgram.h"
#include "TemporaryDirectory.h"

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::HasSubstr;

namespace plumo {
namespace {

bool isDesktopToolkit(const std::string& library) {
  for (const char* prefix : {"libgtk", "libgdk", "libgsk", "libcairo", "libpango", "libX", "libxcb", "libwayland",
                             "libepoxy", "libharfbuzz", "plumo-card"}) {
    if (library.starts_with(prefix)) return true;
  }
  return false;
}

class HeadlessShareTest : public ::testing::Test {
 protected:
  testing::TemporaryDirectory home;

  // A file and a text, shared to no host: published, nothing opens it.
  std::set<std::string> librariesOfAShare(std::vector<std::string> options,
                                          std::map<std::string, std::string> display) {
    testing::writeFile(home / "notes.txt", "notes");
    const testing::LoadedLibraries loaded(home / "loader");
    auto environment = loaded.environment();
    environment.merge(display);
    environment.merge(std::map<std::string, std::string>{
        {"XDG_DATA_HOME", (home / "data").string()}, {"XDG_CONFIG_HOME", (home / "config").string()},
        {"XDG_DATA_DIRS", "/usr/share"}, {"LANGUAGE", "en"}, {"LANG", "C.UTF-8"}});
    std::vector<std::string> command{PLUMO_SHARE_PROGRAM};
    command.insert(command.end(), options.begin(), options.end());
    command.insert(command.end(), {(home / "notes.txt").string(), "--text", "a note"});

    const auto result = testing::runProgram(command, environment);
    EXPECT_EQ(result.exitStatus, 3) << result.standardError;
    EXPECT_THAT(result.standardOutput, HasSubstr("/inbox/"));
    return loaded.names();
  }

  static void expectNoDesktopToolkit(const std::set<std::string>& libraries) {
    EXPECT_THAT(libraries, Contains("libglib-2.0.so.0")) << "the loader's record is read";
    for (const auto& library : libraries) EXPECT_FALSE(isDesktopToolkit(library)) << library;
  }
};

TEST_F(HeadlessShareTest, WithoutADisplayNoToolkitIsMapped) {
  expectNoDesktopToolkit(librariesOfAShare({}, {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}}));
}

TEST_F(HeadlessShareTest, NoUiMapsNoToolkitEvenWithADisplay) {
  expectNoDesktopToolkit(librariesOfAShare({"--no-ui"}, {{"DISPLAY", ":0"}, {"WAYLAND_DISPLAY", "wayland-0"}}));
}

}  // namespace
}  // namespace plumo
