#include <chrono>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <thread>

#include "Files.h"
#include "LockHolder.h"
#include "RunningProgram.h"
#include "TemporaryDirectory.h"
#include "Traced.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;

namespace plumo {
namespace {

using testing::readFile;
using testing::runProgram;

// How the real program publishes under faults of the file system and of other
// processes, with no host to wake (a published share ends with status 3).
class PublishProgramTest : public ::testing::Test {
 protected:
  testing::TemporaryDirectory home;
  fs::path root = home / "data" / "group-containers" / PLUMO_APP_GROUP / "PlumoShare";

  void SetUp() override {
    if (!testing::straceIsInstalled()) GTEST_SKIP() << "strace is not installed (scripts/install-deps installs it)";
  }

  std::map<std::string, std::string> environment() const {
    return {{"XDG_DATA_HOME", (home / "data").string()},
            {"XDG_CONFIG_HOME", (home / "config").string()},
            {"XDG_DATA_DIRS", "/usr/share"},
            {"LANGUAGE", "en"},
            {"LANG", "C.UTF-8"},
            {"G_MESSAGES_DEBUG", ""}};
  }

  // plumo-share --no-ui --text TEXT, under strace with the given options.
  testing::ProgramResult shareTraced(const std::vector<std::string>& options, const std::string& text) {
    std::vector<std::string> command = {testing::strace, "-f", "-qq"};
    command.insert(command.end(), options.begin(), options.end());
    command.insert(command.end(), {PLUMO_SHARE_PROGRAM, "--no-ui", "--text", text});
    return runProgram(command, testing::traceable(environment()));
  }

  std::vector<fs::path> inboxShares() const {
    std::vector<fs::path> shares;
    for (const auto& entry : fs::directory_iterator(root / "inbox")) {
      if (entry.is_directory()) shares.push_back(entry.path());
    }
    return shares;
  }
};

TEST_F(PublishProgramTest, WhereRenameNoReplaceIsRefusedTheShareIsStillPublished) {
  const auto result = shareTraced({"-o", "/dev/null", "-e", "inject=renameat2:error=EINVAL"}, "over NFS");
  EXPECT_EQ(result.exitStatus, 3) << result.standardError;
  const auto shares = inboxShares();
  ASSERT_EQ(shares.size(), 1u);
  EXPECT_THAT(readFile(shares[0] / "payload.json"), HasSubstr("over NFS"));
  EXPECT_TRUE(fs::is_empty(root / "staging"));
}

// The inbox's sync comes after the move, the last sync of a share: its failure
// is logged, and the share counts as published.
TEST_F(PublishProgramTest, AFailureAfterTheMoveLeavesTheSharePublished) {
  ASSERT_EQ(shareTraced({"-o", "/dev/null"}, "first").exitStatus, 3);  // makes the inbox
  for (const auto& share : inboxShares()) fs::remove_all(share);

  // Only the calls on the inbox folder are traced, whichever thread makes them.
  const auto result = shareTraced(
      {"-o", "/dev/null", "-P", (root / "inbox").string(), "-e", "trace=fsync", "-e", "inject=fsync:error=EIO"},
      "synced last");

  EXPECT_EQ(result.exitStatus, 3) << result.standardError;
  // Apart from the import's fixed lines, in a category of its own.
  EXPECT_THAT(result.standardError,
              HasSubstr(PLUMO_HOST_BUNDLE_ID ".share diagnostics: publish sync failed domain=NSPOSIXErrorDomain code=5"));
  EXPECT_THAT(result.standardError, ::testing::Not(HasSubstr("Retry")));
  ASSERT_EQ(inboxShares().size(), 1u);
  EXPECT_THAT(readFile(inboxShares()[0] / "payload.json"), HasSubstr("synced last"));
}

TEST_F(PublishProgramTest, ADismissWhileAnotherProcessHoldsTheLockPublishesNothing) {
  fs::create_directories(root / "inbox");
  testing::LockHolder holder(root / "inbox" / ".publish-lock");
  testing::RunningProgram program({PLUMO_SHARE_PROGRAM, "--no-ui", "--text", "waits"}, environment());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!(fs::exists(root / "staging") && !fs::is_empty(root / "staging")) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // on to the wait for the lock

  program.signal(SIGINT);
  const auto result = program.wait();

  EXPECT_EQ(result.exitStatus, 130) << result.standardError;
  EXPECT_EQ(testing::countEntries(root / "inbox"), 1u) << "the lock file alone";
  EXPECT_TRUE(fs::is_empty(root / "staging"));
}

}  // namespace
}  // namespace plumo
