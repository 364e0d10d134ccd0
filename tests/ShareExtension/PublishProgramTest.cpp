#include <chrono>
#include <csignal>
#include <ctime>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>

#include "BuildIdentity.h"
#include "Eventually.h"
#include "Files.h"
#include "LockHolder.h"
#include "RunningProgram.h"
#include "ShareImportRules.h"
#include "TemporaryDirectory.h"
#include "Traced.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;

namespace plumo {
namespace {

using testing::eventually;
using testing::readFile;
using testing::runProgram;

pid_t parentOf(pid_t pid) {
  std::istringstream stat(readFile("/proc/" + std::to_string(pid) + "/stat"));
  std::string number, name, state;
  pid_t parent = 0;
  stat >> number >> name >> state >> parent;  // the program's name holds no space here
  return parent;
}

// The child of `parent` (the traced program, under strace) that holds an flock
// on the file, exclusive or shared, from /proc/locks; 0 when none does.
pid_t flockHolder(const fs::path& file, bool exclusive, pid_t parent) {
  struct stat status {};
  if (::stat(file.c_str(), &status) != 0) return 0;
  char lockedFile[64];
  std::snprintf(lockedFile, sizeof lockedFile, "%02x:%02x:%lu", major(status.st_dev), minor(status.st_dev),
                static_cast<unsigned long>(status.st_ino));
  std::istringstream locks(readFile("/proc/locks"));
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string number, kind, advisory, access, device;
    pid_t pid = 0;
    fields >> number >> kind >> advisory >> access >> pid >> device;
    if (kind == "FLOCK" && access == (exclusive ? "WRITE" : "READ") && device == lockedFile &&
        parentOf(pid) == parent) {
      return pid;
    }
  }
  return 0;
}

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
            {"G_MESSAGES_DEBUG", PLUMO_HOST_BUNDLE_ID ".share"}};  // our own info lines
  }

  // plumo-share --no-ui ARGUMENTS, under strace with the given options.
  static std::vector<std::string> tracedShare(const std::vector<std::string>& options,
                                              const std::vector<std::string>& arguments) {
    std::vector<std::string> command = {testing::strace, "-f", "-qq"};
    command.insert(command.end(), options.begin(), options.end());
    command.insert(command.end(), {PLUMO_SHARE_PROGRAM, "--no-ui"});
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
  }

  testing::ProgramResult shareTraced(const std::vector<std::string>& options, const std::string& text) {
    return runProgram(tracedShare(options, {"--text", text}), testing::traceable(environment()));
  }

  std::unique_ptr<testing::RunningProgram> startTraced(const std::vector<std::string>& options,
                                                       const std::vector<std::string>& arguments) const {
    return std::make_unique<testing::RunningProgram>(tracedShare(options, arguments),
                                                     testing::traceable(environment()));
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

// A dismiss that comes once the publish holds the inbox lock, while a slow
// disk keeps it in its first sync, still ends the share before the move.
TEST_F(PublishProgramTest, ADismissAfterTheLockIsTakenPublishesNothing) {
  for (const auto& folder : {root / "staging", root / "inbox"}) fs::create_directories(folder);  // no sync before the lock
  const fs::path lock = root / "inbox" / ".publish-lock";
  testing::writeFile(lock, "");
  const auto program =
      startTraced({"-o", "/dev/null", "-e", "trace=fsync", "-e", "inject=fsync:delay_enter=1000000"}, {"--text", "x"});
  pid_t publisher = 0;
  ASSERT_TRUE(eventually([&] { return (publisher = flockHolder(lock, true, program->pid())) != 0; }))
      << program->standardErrorSoFar();

  ::kill(publisher, SIGINT);
  const auto result = program->wait();

  EXPECT_EQ(result.exitStatus, 130) << result.standardError;
  EXPECT_EQ(testing::countEntries(root / "inbox"), 1u) << "the lock file alone";
  EXPECT_TRUE(fs::is_empty(root / "staging"));
}

// The move into the inbox is held on its way back: a dismiss that comes once the share is
// there lets the import finish, its line and the hand-off included.
TEST_F(PublishProgramTest, ADismissAfterTheMoveStillFinishesTheImport) {
  const auto program = startTraced(
      {"-f", "-o", "/dev/null", "-e", "trace=renameat2", "-e", "inject=renameat2:delay_exit=1000000"}, {"--text", "x"});
  ASSERT_TRUE(eventually([&] { return fs::exists(root / "inbox") && !inboxShares().empty(); }))
      << program->standardErrorSoFar();
  const pid_t publisher = flockHolder(root / "inbox" / ".publish-lock", true, program->pid());  // still moving
  ASSERT_NE(publisher, 0);

  ::kill(publisher, SIGINT);
  const auto result = program->wait();

  EXPECT_EQ(result.exitStatus, 3) << result.standardError;
  EXPECT_THAT(result.standardError, HasSubstr("publish complete attachmentCount=0"));
  EXPECT_THAT(result.standardError, HasSubstr("import failed stage=wake category=launchFailed"));
  EXPECT_EQ(result.standardOutput, inboxShares().front().string() + "\n");
}

// Each chunk of the copy is slowed down, so that the whole file would take
// some ten seconds: a dismiss ends the share after the chunk under way.
TEST_F(PublishProgramTest, ADismissNeverWaitsForACopy) {
  const fs::path large = home / "large.bin";
  testing::writeFile(large, std::string(ShareImportRules::fileLimit, 'l'));
  const auto program = startTraced(
      {"-o", "/dev/null", "-e", "trace=copy_file_range", "-e", "inject=copy_file_range:delay_enter=100000"},
      {large.string()});
  fs::path staged;
  ASSERT_TRUE(eventually([&] {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(root / "staging", ignored)) {
      if (fs::exists(entry.path() / "1-large.bin")) staged = entry.path();
    }
    return !staged.empty();
  })) << program->standardErrorSoFar();

  const auto dismissed = std::chrono::steady_clock::now();
  const pid_t copier = flockHolder(staged, false, program->pid());
  ASSERT_NE(copier, 0);
  ::kill(copier, SIGINT);
  const auto result = program->wait();
  const auto ended = std::chrono::steady_clock::now() - dismissed;

  EXPECT_EQ(result.exitStatus, 130) << result.standardError;
  EXPECT_LT(ended, std::chrono::seconds(3)) << "the copy waited for";
  EXPECT_TRUE(fs::is_empty(root / "staging"));
  EXPECT_FALSE(fs::exists(root / "inbox"));
  RecordProperty("endedAfterMilliseconds",
                 static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(ended).count()));
}

// A staging folder's age is looked at before its lock: a young one (its
// share may be between making it and locking it) is never locked by another
// share, which could leave that share unlocked; and a share waits for its own
// lock rather than going on without it.
TEST_F(PublishProgramTest, AShareNeverLocksAYoungStagingFolderAndWaitsForItsOwnLock) {
  const fs::path young = root / "staging" / "aaaaaaaa-0000-4000-8000-000000000001";
  const fs::path old = root / "staging" / "aaaaaaaa-0000-4000-8000-000000000002";
  fs::create_directories(young);
  fs::create_directories(old);
  const std::time_t elevenMinutesAgo = std::time(nullptr) - 11 * 60;
  const timespec times[2] = {{elevenMinutesAgo, 0}, {elevenMinutesAgo, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, old.c_str(), times, 0), 0);
  const fs::path trace = home / "trace";

  const auto result = shareTraced({"-y", "-o", trace.string(), "-e", "trace=flock"}, "swept");

  ASSERT_EQ(result.exitStatus, 3) << result.standardError;
  const std::string id = fs::path(result.standardOutput.substr(0, result.standardOutput.find('\n'))).filename();
  const std::string calls = readFile(trace);
  EXPECT_THAT(calls, ::testing::Not(HasSubstr(young.string()))) << calls;
  EXPECT_THAT(calls, HasSubstr(old.string() + ">, LOCK_EX|LOCK_NB)")) << calls;
  EXPECT_THAT(calls, HasSubstr((root / "staging" / id).string() + ">, LOCK_SH)")) << calls;
  EXPECT_TRUE(fs::exists(young));
  EXPECT_FALSE(fs::exists(old));
}

}  // namespace
}  // namespace plumo
