// plumo-share under a display: the card comes from its module, and the share
// starts once the card is on the screen. Run under xvfb-run (CTest label "gui").
#include <chrono>
#include <csignal>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <thread>

#include "Files.h"
#include "LoadedLibraries.h"
#include "RunningProgram.h"
#include "TemporaryDirectory.h"

namespace fs = std::filesystem;
using ::testing::Contains;

namespace plumo {
namespace {

bool appearsWithin(const fs::path& folder, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    std::error_code absent;
    if (fs::directory_iterator(folder, absent) != fs::directory_iterator()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

TEST(CardProgramTest, TheCardIsLoadedAndShownOnlyWithADisplay) {
  ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "no display: run under xvfb-run";
  testing::TemporaryDirectory home;
  const testing::LoadedLibraries loaded(home / "loader");
  auto environment = loaded.environment();
  environment.merge(std::map<std::string, std::string>{{"XDG_DATA_HOME", (home / "data").string()},
                                                       {"XDG_CONFIG_HOME", (home / "config").string()},
                                                       {"LANGUAGE", "en"},
                                                       {"LANG", "C.UTF-8"}});
  testing::RunningProgram program({PLUMO_SHARE_PROGRAM, "--text", "a note"}, environment);

  // No host opens the share: the card stays with its notice until it is dismissed.
  const fs::path inbox = home / "data" / "group-containers" / PLUMO_APP_GROUP / "PlumoShare" / "inbox";
  ASSERT_TRUE(appearsWithin(inbox, std::chrono::seconds(20)));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  program.signal(SIGTERM);
  const auto result = program.wait();
  EXPECT_EQ(result.exitStatus, 3) << result.standardError;
  EXPECT_THAT(loaded.names(), Contains("plumo-card.so"));
  EXPECT_THAT(loaded.names(), Contains("libgtk-4.so.1"));
}

// Whoever started the share (the KDE plugin) learns the failure the card showed.
TEST(CardProgramTest, AFailureTheCardShowedGoesToStandardErrorWhenItIsDismissed) {
  ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "no display: run under xvfb-run";
  testing::TemporaryDirectory home;
  testing::writeFile(home / "large.bin", "");
  fs::resize_file(home / "large.bin", 12 * 1024 * 1024 + 1);
  testing::RunningProgram program({PLUMO_SHARE_PROGRAM, (home / "large.bin").string()},
                                  {{"XDG_DATA_HOME", (home / "data").string()}, {"LANGUAGE", "en"}, {"LANG", "C.UTF-8"}});

  // The log line of the failure comes before the card shows it (the journal is not standard error here).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (program.standardErrorSoFar().find("import failed") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(program.standardErrorSoFar().find("plumo-share: "), std::string::npos) << "a line before the dismiss";
  program.signal(SIGTERM);
  const auto result = program.wait();
  EXPECT_EQ(result.exitStatus, 1) << result.standardError;
  EXPECT_THAT(result.standardError, ::testing::EndsWith("\nplumo-share: Share fewer or smaller items.\n"));
}

}  // namespace
}  // namespace plumo
