#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "BuildIdentity.h"
#include "Eventually.h"
#include "Files.h"
#include "LockHolder.h"
#include "RunningProgram.h"
#include "TemporaryDirectory.h"
#include "Traced.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using Json = nlohmann::json;

namespace plumo {
namespace {

using testing::eventually;
using testing::LockHolder;
using testing::eventually;
using testing::readFile;
using testing::RunningProgram;
using testing::writeFile;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) result.push_back(line);
  return result;
}

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> result;
  std::size_t start = 0;
  for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
    result.push_back(line.substr(start, tab - start));
  }
  result.push_back(line.substr(start));
  return result;
}

// plumo-inbox and the real publisher, plumo-share, in a home of their own.
class PlumoInboxProgramTest : public ::testing::Test {
 protected:
  testing::TemporaryDirectory home;
  fs::path dataHome = home / "data";
  fs::path root = dataHome / "group-containers" / PLUMO_APP_GROUP / "PlumoShare";
  fs::path inbox = root / "inbox";

  std::map<std::string, std::string> environment() const {
    return {{"XDG_DATA_HOME", dataHome.string()},     {"XDG_CONFIG_HOME", (home / "config").string()},
            {"XDG_STATE_HOME", (home / "state").string()}, {"XDG_DATA_DIRS", "/usr/share"},
            {"LANGUAGE", "en"},                        {"LANG", "C.UTF-8"}};
  }

  std::vector<std::string> inboxCommand(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), PLUMO_INBOX_PROGRAM);
    return arguments;
  }

  testing::ProgramResult plumoInbox(std::vector<std::string> arguments) const {
    return testing::runProgram(inboxCommand(std::move(arguments)), environment());
  }

  std::unique_ptr<RunningProgram> startPlumoInbox(std::vector<std::string> arguments) const {
    return std::make_unique<RunningProgram>(inboxCommand(std::move(arguments)), environment());
  }

  // Publishes a share with the real program (no host handles the scheme here) and returns its id.
  std::string publish(std::vector<std::string> items, const std::string& standardInput = "") const {
    items.insert(items.begin(), {PLUMO_SHARE_PROGRAM, "--no-ui"});
    const auto result = testing::runProgram(items, environment(), standardInput);
    EXPECT_EQ(result.exitStatus, 3) << result.standardError;
    return fs::path(result.standardOutput.substr(0, result.standardOutput.find('\n'))).filename();
  }

  std::string publishText(const std::string& text) const { return publish({"-"}, text); }

  Json manifestOf(const std::string& id) const { return Json::parse(readFile(inbox / id / "payload.json")); }
};

// Milliseconds since 1970 from the list's creation time, to compare with the manifest.
double millisecondsOf(const std::string& isoTime) {
  std::tm parts{};
  const char* rest = ::strptime(isoTime.c_str(), "%Y-%m-%dT%H:%M:%S", &parts);
  return static_cast<double>(::timegm(&parts)) * 1000 + std::stod(std::string(rest).substr(1, 3));
}

TEST_F(PlumoInboxProgramTest, ListsTheSharesOfThePublisherOldestFirst) {
  writeFile(home / "notes.txt", "the notes");
  fs::create_directories(home / "photos");
  const std::string first = publish({(home / "notes.txt").string(), (home / "photos").string(), "--text",
                                     "first line\tof the message\nsecond line"});
  const std::string second = publishText("only text");

  const auto result = plumoInbox({"list"});

  EXPECT_EQ(result.exitStatus, 0) << result.standardError;
  const auto listed = lines(result.standardOutput);
  ASSERT_EQ(listed.size(), 2u) << result.standardOutput;
  const auto firstFields = fields(listed[0]);
  ASSERT_EQ(firstFields.size(), 5u) << listed[0];
  EXPECT_EQ(firstFields[0], first);
  EXPECT_THAT(firstFields[1], MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z"));
  EXPECT_NEAR(millisecondsOf(firstFields[1]), manifestOf(first)["createdAt"].get<double>(), 1.0);
  EXPECT_EQ(firstFields[2], "1");
  EXPECT_EQ(firstFields[3], "1");
  EXPECT_EQ(firstFields[4], "first line\\u0009of the message");
  EXPECT_EQ(fields(listed[1])[0], second);
  EXPECT_EQ(fields(listed[1])[4], "only text");
}

TEST_F(PlumoInboxProgramTest, ListsAsJsonAndShowsTheManifestWithThePathsOfTheFiles) {
  writeFile(home / "notes.txt", "the notes");
  const std::string id = publish({(home / "notes.txt").string(), "--text", "for Monday"});

  const auto listed = plumoInbox({"list", "--json"});
  const auto shown = plumoInbox({"show", id});

  EXPECT_EQ(listed.exitStatus, 0) << listed.standardError;
  ASSERT_EQ(lines(listed.standardOutput).size(), 1u);
  const Json line = Json::parse(lines(listed.standardOutput)[0]);
  EXPECT_EQ(line["id"], id);
  EXPECT_EQ(line["path"], (inbox / id).string());
  EXPECT_EQ(line["valid"], true);
  const Json manifest = manifestOf(id);
  for (auto member = manifest.begin(); member != manifest.end(); ++member) {
    EXPECT_EQ(line[member.key()], member.value()) << member.key();
  }
  EXPECT_FALSE(line.contains("error"));

  EXPECT_EQ(shown.exitStatus, 0) << shown.standardError;
  const std::string filePath = (inbox / id / "1-notes.txt").string();
  ASSERT_THAT(shown.standardOutput, HasSubstr("\n" + filePath + "\n"));
  EXPECT_EQ(Json::parse(shown.standardOutput.substr(0, shown.standardOutput.find("\n" + filePath))), manifestOf(id));
  EXPECT_EQ(readFile(filePath), "the notes");
}

TEST_F(PlumoInboxProgramTest, TakeMovesTheShareWholeAndNeverReplacesWhatIsThere) {
  writeFile(home / "notes.txt", "the notes");
  const std::string id = publish({(home / "notes.txt").string()});
  const std::string manifest = readFile(inbox / id / "payload.json");
  fs::create_directories(home / "taken");
  fs::create_directories(home / "occupied" / id);

  const auto refused = plumoInbox({"take", id, (home / "occupied").string()});
  const auto intoTheInbox = plumoInbox({"take", id, inbox.string()});
  const auto intoTheStore = plumoInbox({"take", id, (root / "staging").string()});
  const auto taken = plumoInbox({"take", id, (home / "taken").string()});
  const auto again = plumoInbox({"take", id, (home / "taken").string()});
  const auto elsewhere = plumoInbox({"take", id, (home / "occupied").string()});

  EXPECT_EQ(refused.exitStatus, 1);
  EXPECT_THAT(refused.standardError, HasSubstr((home / "occupied" / id).string() + ": File exists"));
  EXPECT_TRUE(fs::is_empty(home / "occupied" / id));
  for (const auto& inside : {intoTheInbox, intoTheStore}) {
    EXPECT_EQ(inside.exitStatus, 1);
    EXPECT_THAT(inside.standardError, HasSubstr("inside the share store"));
  }
  EXPECT_EQ(taken.exitStatus, 0) << taken.standardError;
  EXPECT_EQ(taken.standardOutput, (home / "taken" / id).string() + "\n");
  EXPECT_EQ(readFile(home / "taken" / id / "payload.json"), manifest);
  EXPECT_EQ(readFile(home / "taken" / id / "1-notes.txt"), "the notes");
  EXPECT_FALSE(fs::exists(inbox / id));
  // Taken already, as a take cut short after the move would have left it: said so again.
  EXPECT_EQ(again.exitStatus, 0) << again.standardError;
  EXPECT_EQ(again.standardOutput, taken.standardOutput);
  EXPECT_EQ(elsewhere.exitStatus, 1);
  EXPECT_THAT(elsewhere.standardError, HasSubstr(id + ": "));
  EXPECT_EQ(plumoInbox({"list"}).standardOutput, "");
}

// A take killed after its copy arrived and before the share left the inbox:
// the share is whole in both places, and the next take only finishes the removal.
TEST_F(PlumoInboxProgramTest, TakeFinishesATakeCutShortButNeverTakesOverAnotherFolder) {
  writeFile(home / "notes.txt", "the notes");
  const std::string id = publish({(home / "notes.txt").string()});
  const std::string other = publish({(home / "notes.txt").string()});
  fs::create_directories(home / "taken");
  fs::copy(inbox / id, home / "taken" / id);
  fs::copy(inbox / other, home / "taken" / other);
  writeFile(home / "taken" / other / "1-notes.txt", "the note");  // not the share's file

  const auto finished = plumoInbox({"take", id, (home / "taken").string()});
  const auto refused = plumoInbox({"take", other, (home / "taken").string()});

  EXPECT_EQ(finished.exitStatus, 0) << finished.standardError;
  EXPECT_EQ(finished.standardOutput, (home / "taken" / id).string() + "\n");
  EXPECT_FALSE(fs::exists(inbox / id));
  EXPECT_EQ(readFile(home / "taken" / id / "1-notes.txt"), "the notes");
  EXPECT_EQ(refused.exitStatus, 1);
  EXPECT_THAT(refused.standardError, HasSubstr((home / "taken" / other).string() + ": File exists"));
  EXPECT_TRUE(fs::exists(inbox / other / "1-notes.txt"));
}

// As on NFS or eCryptfs, renameat2 refuses RENAME_NOREPLACE.
TEST_F(PlumoInboxProgramTest, TakeMovesTheShareWhereRenameNoReplaceIsRefused) {
  if (!testing::straceIsInstalled()) GTEST_SKIP() << "strace is not installed (scripts/install-deps installs it)";
  const std::string id = publishText("over NFS");
  fs::create_directories(home / "taken");

  const auto taken = testing::runProgram(
      {testing::strace, "-f", "-qq", "-o", "/dev/null", "-e", "trace=renameat2", "-e",
       "inject=renameat2:error=EINVAL", PLUMO_INBOX_PROGRAM, "take", id, (home / "taken").string()},
      testing::traceable(environment()));

  EXPECT_EQ(taken.exitStatus, 0) << taken.standardError;
  EXPECT_THAT(readFile(home / "taken" / id / "payload.json"), HasSubstr("over NFS"));
  EXPECT_FALSE(fs::exists(inbox / id));
}

TEST_F(PlumoInboxProgramTest, OpenAnswersOnlyTheHandOffUrlOfAPendingShare) {
  const std::string id = publishText("a text");
  const std::string url = PLUMO_SCHEME "://bot-share?id=" + id;

  const auto opened = plumoInbox({"open", url});
  const auto openedWithItsPath = plumoInbox({"open", PLUMO_SCHEME "://bot-share/?id=" + id});  // as GIO passes it on

  EXPECT_EQ(opened.exitStatus, 0) << opened.standardError;
  EXPECT_EQ(opened.standardOutput, (inbox / id).string() + "\n");
  EXPECT_EQ(openedWithItsPath.standardOutput, opened.standardOutput) << openedWithItsPath.standardError;
  for (const std::string& other : std::vector<std::string>{
           "other://bot-share?id=" + id, PLUMO_SCHEME "://share?id=" + id, PLUMO_SCHEME "://bot-share?id=",
        PLUMO_SCHEME "://bot-share?id=../../x", PLUMO_SCHEME "://bot-share?id=00000000-0000-4000-8000-000000000000",
        url + "&more", "x" + url, "not a url"}) {
    const auto refused = plumoInbox({"open", other});
    EXPECT_EQ(refused.exitStatus, 1) << other;
    EXPECT_EQ(refused.standardOutput, "") << other;
    EXPECT_THAT(refused.standardError, HasSubstr("plumo-inbox: ")) << other;
  }
}

TEST_F(PlumoInboxProgramTest, RemoveDeletesOneShare) {
  const std::string kept = publishText("kept");
  const std::string removed = publishText("removed");

  EXPECT_EQ(plumoInbox({"remove", removed}).exitStatus, 0);
  const auto missing = plumoInbox({"remove", removed});
  const auto notAnId = plumoInbox({"remove", ".publish-lock"});

  EXPECT_FALSE(fs::exists(inbox / removed));
  EXPECT_TRUE(fs::exists(inbox / kept / "payload.json"));
  EXPECT_EQ(missing.exitStatus, 1);
  EXPECT_THAT(missing.standardError, HasSubstr("no such share"));
  EXPECT_EQ(notAnId.exitStatus, 1);
  EXPECT_TRUE(fs::exists(inbox / ".publish-lock"));
}

TEST_F(PlumoInboxProgramTest, UsageVersionAndAMissingInbox) {
  const auto version = plumoInbox({"--version"});
  const auto help = plumoInbox({"--help"});
  const auto empty = plumoInbox({"list"});

  EXPECT_EQ(version.exitStatus, 0);
  EXPECT_EQ(version.standardOutput, "plumo-inbox " PLUMO_VERSION "\n");
  EXPECT_EQ(help.exitStatus, 0);
  EXPECT_THAT(help.standardOutput, HasSubstr("take ID DEST"));
  EXPECT_EQ(empty.exitStatus, 0) << empty.standardError;
  EXPECT_EQ(empty.standardOutput, "");
  for (const auto& wrong : std::vector<std::vector<std::string>>{{},
                                                                 {"lists"},
                                                                 {"show"},
                                                                 {"take", "id"},
                                                                 {"open", "a", "b"},
                                                                 {"list", "--yaml"},
                                                                 {"--bundle"},
                                                                 {"li\nst"},
                                                                 {"--js\non"}}) {
    const auto result = plumoInbox(wrong);
    EXPECT_EQ(result.exitStatus, 2) << ::testing::PrintToString(wrong);
    // The reason on one line, whatever the argument holds, then the pointer to the help.
    EXPECT_THAT(result.standardError, MatchesRegex("plumo-inbox: [^\n]*\nTry 'plumo-inbox --help'.\n"));
  }
  const auto failed = plumoInbox({"remove", "a\nb"});
  EXPECT_EQ(failed.exitStatus, 1);
  EXPECT_EQ(failed.standardError, "plumo-inbox: a\\u000ab: not a share id\n");
}

// Shares that another process wrote wrongly: each is reported with its reason
// and nothing outside its folder is read, moved or deleted.
class TamperedShareTest : public PlumoInboxProgramTest {
 protected:
  void SetUp() override {
    writeFile(home / "notes.txt", "the notes");
    original = publish({(home / "notes.txt").string()});
    writeFile(root / "x", "outside the share");
    writeFile(home / "secret", "never to be moved");
    fs::create_directories(home / "taken");
  }

  // A copy of the real share under `id`, its manifest changed by `change`.
  fs::path tamperedCopy(const std::string& id, const std::function<void(Json&)>& change) {
    const fs::path folder = inbox / id;
    fs::copy(inbox / original, folder);
    Json manifest = manifestOf(original);
    manifest["id"] = id;
    change(manifest);
    writeFile(folder / "payload.json", manifest.dump());
    return folder;
  }

  void expectRefusedAndHarmless(const std::string& id, const std::string& kind) {
    const auto listed = plumoInbox({"list", "--json"});
    const auto shown = plumoInbox({"show", id});
    const auto taken = plumoInbox({"take", id, (home / "taken").string()});

    bool found = false;
    for (const auto& line : lines(listed.standardOutput)) {
      const Json entry = Json::parse(line);
      if (entry["id"] != id) continue;
      found = true;
      EXPECT_EQ(entry["valid"], false) << kind;
      EXPECT_FALSE(entry["error"].get<std::string>().empty()) << kind;
      EXPECT_FALSE(entry.contains("files")) << kind;
    }
    EXPECT_TRUE(found) << kind << ": " << listed.standardOutput;
    EXPECT_EQ(shown.exitStatus, 1) << kind;
    EXPECT_THAT(shown.standardError, HasSubstr(id + ": ")) << kind;
    EXPECT_EQ(taken.exitStatus, 1) << kind;
    EXPECT_EQ(taken.standardOutput, "") << kind;
    EXPECT_TRUE(fs::is_empty(home / "taken")) << kind;
    EXPECT_TRUE(fs::exists(inbox / id / "payload.json", ignored)) << kind << ": the share must stay";

    const auto removed = plumoInbox({"remove", id});
    EXPECT_EQ(removed.exitStatus, 0) << kind << ": " << removed.standardError;
    EXPECT_FALSE(fs::exists(fs::symlink_status(inbox / id))) << kind;
    EXPECT_EQ(readFile(root / "x"), "outside the share") << kind;
    EXPECT_EQ(readFile(home / "secret"), "never to be moved") << kind;
    EXPECT_TRUE(fs::exists(inbox / original / "1-notes.txt")) << kind;
  }

  std::string original;
  std::error_code ignored;
};

// Each kind of invalid manifest is the inbox's own test; here, those that would lead a
// command out of the share, and one plain fault, leave every command harmless.
TEST_F(TamperedShareTest, EachInvalidManifestIsReportedAndNeverFollowedOut) {
  const std::vector<std::pair<std::string, std::function<void(Json&)>>> changes = {
      {"schemaVersion 1", [](Json& m) { m["schemaVersion"] = 1; }},
      {"id of another share", [this](Json& m) { m["id"] = original; }},
      {"a file that climbs out", [](Json& m) { m["files"] = {"../../x"}; }},
      {"a file in a folder", [](Json& m) { m["files"] = {"sub/1-notes.txt"}; }},
      {"a file that is missing", [](Json& m) { m["files"] = {"2-gone.txt"}; }},
  };
  int number = 0;
  for (const auto& [kind, change] : changes) {
    const std::string id = "00000000-0000-4000-8000-0000000000" + std::to_string(10 + number++);
    tamperedCopy(id, change);
    expectRefusedAndHarmless(id, kind);
  }
}

TEST_F(TamperedShareTest, ManifestsThatAreNoJsonObjectAreReported) {
  int number = 0;
  for (const std::string manifest : {"{", "[]", "\"text\"", ""}) {
    const std::string id = "00000000-0000-4000-8000-0000000001" + std::to_string(10 + number++);
    tamperedCopy(id, [](Json&) {});
    writeFile(inbox / id / "payload.json", manifest);
    expectRefusedAndHarmless(id, "manifest '" + manifest + "'");
  }
}

// Names and messages are anybody's: shown, they are escaped (a line break, a terminal's escape
// sequence or a bidirectional override would forge what the reader sees); as JSON they stay exact.
TEST_F(TamperedShareTest, WhatAShareHoldsIsShownEscapedAndListedExactlyAsJson) {
  const std::string id = "00000000-0000-4000-8000-000000000201";
  const std::string name = "evil\nname\u202etxt.exe";
  const std::string message = "\u009b31m red \u202etxt.exe \x1b]0;title\x07";
  const fs::path folder = tamperedCopy(id, [&](Json& manifest) {
    manifest["files"] = {name};
    manifest["message"] = message;
  });
  fs::rename(folder / "1-notes.txt", folder / name);

  const auto listed = plumoInbox({"list"});
  const auto listedAsJson = plumoInbox({"list", "--json"});
  const auto shown = plumoInbox({"show", id});

  for (const auto& line : lines(listed.standardOutput)) {
    if (!line.starts_with(id)) continue;
    EXPECT_EQ(fields(line)[4], "\\u009b31m red \\u202etxt.exe \\u001b]0;title\\u0007");
  }
  for (const auto& line : lines(listedAsJson.standardOutput)) {
    const Json entry = Json::parse(line);
    if (entry["id"] != id) continue;
    EXPECT_EQ(entry["message"], message);
    EXPECT_EQ(entry["files"], Json({name}));
  }
  EXPECT_EQ(shown.exitStatus, 0) << shown.standardError;
  const std::string shownPath = (folder / "evil\\u000aname\\u202etxt.exe").string() + "\n";
  ASSERT_TRUE(shown.standardOutput.ends_with("\n" + shownPath)) << shown.standardOutput;
  EXPECT_EQ(Json::parse(shown.standardOutput.substr(0, shown.standardOutput.size() - shownPath.size())),
            manifestOf(id));
  for (const std::string raw : {"\u202e", "\u009b", "\x1b"}) {
    EXPECT_THAT(listed.standardOutput + shown.standardOutput, ::testing::Not(HasSubstr(raw)));
  }
}

TEST_F(TamperedShareTest, LinksInsideAShareAreNeitherFollowedNorMoved) {
  const std::string fileLink = "00000000-0000-4000-8000-000000000201";
  tamperedCopy(fileLink, [](Json&) {});
  fs::remove(inbox / fileLink / "1-notes.txt");
  fs::create_symlink(home / "secret", inbox / fileLink / "1-notes.txt");
  expectRefusedAndHarmless(fileLink, "a file that is a link");

  const std::string folderFile = "00000000-0000-4000-8000-000000000202";
  tamperedCopy(folderFile, [](Json&) {});
  fs::remove(inbox / folderFile / "1-notes.txt");
  fs::create_directory(inbox / folderFile / "1-notes.txt");
  fs::create_symlink(home / "secret", inbox / folderFile / "1-notes.txt" / "inner-link");
  expectRefusedAndHarmless(folderFile, "a file that is a folder holding a link");

  const std::string manifestLink = "00000000-0000-4000-8000-000000000203";
  tamperedCopy(manifestLink, [](Json&) {});
  fs::rename(inbox / manifestLink / "payload.json", home / "manifest.json");
  fs::create_symlink(home / "manifest.json", inbox / manifestLink / "payload.json");
  expectRefusedAndHarmless(manifestLink, "payload.json that is a link");
  EXPECT_TRUE(fs::exists(home / "manifest.json"));
}

// True once the program has the inbox's lock file open, that is, waits for the lock.
bool hasOpen(pid_t pid, const fs::path& file) {
  std::error_code error;
  for (fs::directory_iterator entry("/proc/" + std::to_string(pid) + "/fd", error), end; !error && entry != end;
       entry.increment(error)) {
    std::error_code linkError;
    if (fs::read_symlink(entry->path(), linkError) == file) return true;
  }
  return false;
}

TEST_F(PlumoInboxProgramTest, TakeWaitsForTheLockAndHonoursAnInterrupt) {
  const std::string id = publishText("locked");
  fs::create_directories(home / "taken");
  {
    LockHolder holder(inbox / ".publish-lock");
    const auto take = startPlumoInbox({"take", id, (home / "taken").string()});
    ASSERT_TRUE(eventually([&] { return hasOpen(take->pid(), inbox / ".publish-lock"); }));
    EXPECT_FALSE(take->ended());
    take->signal(SIGINT);
    const auto result = take->wait();
    EXPECT_EQ(result.exitStatus, 130);
    EXPECT_THAT(result.standardError, HasSubstr("interrupted"));
    EXPECT_TRUE(fs::exists(inbox / id / "payload.json"));
    EXPECT_TRUE(fs::is_empty(home / "taken"));
  }

  LockHolder holder(inbox / ".publish-lock");
  const auto take = startPlumoInbox({"take", id, (home / "taken").string()});
  ASSERT_TRUE(eventually([&] { return hasOpen(take->pid(), inbox / ".publish-lock"); }));
  EXPECT_TRUE(fs::exists(inbox / id / "payload.json"));
  holder.release();
  const auto result = take->wait();
  EXPECT_EQ(result.exitStatus, 0) << result.standardError;
  EXPECT_TRUE(fs::exists(home / "taken" / id / "payload.json"));
}

TEST_F(PlumoInboxProgramTest, WatchReportsEachShareAsAnotherProcessPublishesIt) {
  const std::string waiting = publishText("already waiting");
  const auto watch = startPlumoInbox({"watch"});
  ASSERT_TRUE(eventually([&] { return watch->standardOutputSoFar() == waiting + "\n"; }))
      << watch->standardOutputSoFar() << watch->standardErrorSoFar();

  const std::string published = publishText("published while watched");
  ASSERT_TRUE(eventually([&] { return lines(watch->standardOutputSoFar()).size() == 2; }))
      << watch->standardOutputSoFar() << watch->standardErrorSoFar();
  EXPECT_EQ(watch->standardOutputSoFar(), waiting + "\n" + published + "\n");

  watch->signal(SIGTERM);
  const auto result = watch->wait();
  EXPECT_EQ(result.exitStatus, 0) << result.standardError;
}

TEST_F(PlumoInboxProgramTest, WatchEndsCleanlyOnAnInterrupt) {
  const auto watch = startPlumoInbox({"watch"});
  ASSERT_TRUE(eventually([&] { return fs::exists(inbox); }));
  watch->signal(SIGINT);
  const auto result = watch->wait();
  EXPECT_EQ(result.exitStatus, 0) << result.standardError;
  EXPECT_EQ(result.standardOutput, "");
}

// A tmpfs mounted for the test, so that the destination lies on another file system.
class OtherFileSystem {
 public:
  explicit OtherFileSystem(const fs::path& mountPoint) : mountPoint_(mountPoint) {
    fs::create_directories(mountPoint_);
    if (::mount("tmpfs", mountPoint_.c_str(), "tmpfs", 0, "size=16m,mode=0700") != 0) {
      failure_ = std::strerror(errno);
    }
  }
  OtherFileSystem(const OtherFileSystem&) = delete;
  OtherFileSystem& operator=(const OtherFileSystem&) = delete;
  ~OtherFileSystem() {
    if (failure_.empty()) ::umount2(mountPoint_.c_str(), MNT_DETACH);
  }

  const std::string& failure() const { return failure_; }

 private:
  fs::path mountPoint_;
  std::string failure_;
};

TEST_F(PlumoInboxProgramTest, TakeCopiesAcrossFileSystemsAndThenRemovesTheShare) {
  writeFile(home / "big.bin", std::string(3 << 20, 'b'));
  writeFile(home / "notes.txt", "the notes");
  const std::string id = publish({(home / "big.bin").string(), (home / "notes.txt").string()});
  const std::string manifest = readFile(inbox / id / "payload.json");
  const OtherFileSystem other(home / "other");
  if (!other.failure().empty()) GTEST_SKIP() << "cannot mount a tmpfs here: " << other.failure();
  struct stat inboxStatus {};
  struct stat otherStatus {};
  ::stat(inbox.c_str(), &inboxStatus);
  ::stat((home / "other").c_str(), &otherStatus);
  if (inboxStatus.st_dev == otherStatus.st_dev) GTEST_SKIP() << "the tmpfs shares the inbox's device";

  // What a take killed during its copy left.
  fs::create_directories(home / "other" / ("." + id + ".part"));
  writeFile(home / "other" / ("." + id + ".part") / "1-big.bin", "bbb");

  const auto taken = plumoInbox({"take", id, (home / "other").string()});

  EXPECT_EQ(taken.exitStatus, 0) << taken.standardError;
  EXPECT_EQ(taken.standardOutput, (home / "other" / id).string() + "\n");
  EXPECT_EQ(readFile(home / "other" / id / "payload.json"), manifest);
  EXPECT_EQ(readFile(home / "other" / id / "1-big.bin"), std::string(3 << 20, 'b'));
  EXPECT_EQ(readFile(home / "other" / id / "2-notes.txt"), "the notes");
  EXPECT_EQ(testing::countEntries(home / "other"), 1u);
  EXPECT_FALSE(fs::exists(inbox / id));
}

// The stand-in host's desktop entry, registered for the scheme, is woken by a share.
TEST_F(PlumoInboxProgramTest, TheStandInHostReceivesTheShare) {
  fs::create_directories(dataHome / "applications");
  fs::copy_file(PLUMO_STAND_IN_HOST_ENTRY, dataHome / "applications" / "plumo-inbox-stand-in-host.desktop");
  fs::create_directories(home / "config");
  writeFile(home / "config" / "mimeapps.list",
            "[Default Applications]\nx-scheme-handler/" PLUMO_SCHEME "=plumo-inbox-stand-in-host.desktop\n");

  const auto shared = testing::runProgram({PLUMO_SHARE_PROGRAM, "--no-ui", "-"}, environment(), "to the host");

  EXPECT_EQ(shared.exitStatus, 0) << shared.standardError;
  const fs::path log = home / "state" / "plumo-inbox-stand-in-host.log";
  ASSERT_TRUE(eventually([&] { return readFile(log).find('\n') != std::string::npos; })) << shared.standardError;
  EXPECT_EQ(readFile(log), shared.standardOutput);
}

}  // namespace
}  // namespace plumo
