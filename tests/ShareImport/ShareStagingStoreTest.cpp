#include "ShareStagingStore.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <cstddef>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <regex>
#include <set>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <type_traits>
#include <unistd.h>

#include "Cancellation.h"
#include "ErrorDomain.h"
#include "Errors.h"
#include "Files.h"
#include "LockHolder.h"
#include "ShareImportFailure.h"
#include "TemporaryDirectory.h"

namespace fs = std::filesystem;

namespace plumo {
namespace {

using testing::modeOf;
using testing::readFile;
using testing::writeFile;

// A payload is a value: moved without copying its texts, and assignable.
static_assert(std::is_nothrow_move_constructible_v<SharePayload> && std::is_copy_assignable_v<SharePayload>);

SharePayload emptyPayload(const ShareStagingStore& store) { return {store.id(), "", {}, {}, 0}; }

std::error_code publishError(ShareStagingStore& store, const std::stop_token& stop = {}) {
  return testing::errorOf([&] { store.publish(emptyPayload(store), stop); });
}

void addPendingShare(const fs::path& inbox, const std::string& name) {
  fs::create_directories(inbox / name);
  writeFile(inbox / name / "payload.json", "{}");
}

std::string uuidNumbered(int number, bool upperCase = false) {
  char text[37];
  std::snprintf(text, sizeof text, upperCase ? "%08X-AAAA-4BBB-8CCC-DDDDDDDDDDDD" : "%08x-aaaa-4bbb-8ccc-dddddddddddd",
                number);
  return text;
}

std::size_t countManifests(const fs::path& inbox) {
  std::size_t count = 0;
  for (const auto& entry : fs::directory_iterator(inbox)) count += fs::exists(entry.path() / "payload.json");
  return count;
}

void makeAged(const fs::path& path, std::chrono::minutes age) {
  const std::time_t then = std::time(nullptr) - std::chrono::seconds(age).count();
  const timespec times[2] = {{then, 0}, {then, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// Runs the action in a child process and returns its exit status.
int inChild(const std::function<int()>& action) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(action());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// As on NFS, eCryptfs and some FUSE servers: renameat2 with any flag fails
// with EINVAL, for the rest of the calling process.
bool refuseRenameFlags() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_renameat2, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args) + 4 * sizeof(std::uint64_t)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EINVAL),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

class ShareStagingStoreTest : public ::testing::Test {
 protected:
  testing::TemporaryDirectory container;
  fs::path root = container / "PlumoShare";
  fs::path inbox = root / "inbox";
};

TEST_F(ShareStagingStoreTest, EachStoreGetsItsOwnLowerCaseIdAndStagingFolder) {
  ShareStagingStore first(root);
  ShareStagingStore second(root);  // "staging" exists by now

  const std::regex lowerCaseUuid("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  EXPECT_TRUE(std::regex_match(first.id(), lowerCaseUuid)) << first.id();
  EXPECT_NE(first.id(), second.id());
  EXPECT_EQ(first.folder(), root / "staging" / first.id());
  EXPECT_EQ(first.root(), root);
  EXPECT_TRUE(fs::is_directory(first.folder()));
  EXPECT_TRUE(fs::is_directory(second.folder()));
  EXPECT_FALSE(first.published());
}

TEST_F(ShareStagingStoreTest, CreationFailsWithThePosixErrorWhenTheRootIsAFile) {
  writeFile(container / "file", "");
  EXPECT_EQ(testing::errorOf([&] { ShareStagingStore store(container / "file" / "PlumoShare"); }),
            posixError(ENOTDIR));
}

TEST_F(ShareStagingStoreTest, PublishMovesTheShareWithItsManifestIntoTheInbox) {
  ShareStagingStore store(root);
  writeFile(store.folder() / "1-report.pdf", "%PDF");
  const SharePayload payload(store.id(), "see \"this\"\n\u00e9", {"1-report.pdf"}, {"/home/u/a/b", "/srv"},
                             1733650000123.4567);

  EXPECT_EQ(store.publish(payload), std::error_code());

  EXPECT_TRUE(store.published());
  EXPECT_FALSE(fs::exists(store.folder()));
  const fs::path share = inbox / store.id();
  EXPECT_EQ(readFile(share / "1-report.pdf"), "%PDF");
  struct stat lock {};
  ASSERT_EQ(::lstat((inbox / ".publish-lock").c_str(), &lock), 0);
  EXPECT_TRUE(S_ISREG(lock.st_mode));
  EXPECT_EQ(lock.st_mode & 0777, 0600u);
  EXPECT_EQ(lock.st_size, 0);
  for (const auto& folder : {root, root / "staging", inbox, share}) EXPECT_EQ(modeOf(folder), 0700u) << folder;
  EXPECT_EQ(modeOf(share / "payload.json"), 0600u);

  const std::string text = readFile(share / "payload.json");
  EXPECT_EQ(text.find('\n'), std::string::npos) << "compact output";
  const auto manifest = nlohmann::ordered_json::parse(text);
  std::vector<std::string> members;
  for (const auto& member : manifest.items()) members.push_back(member.key());
  EXPECT_THAT(members, ::testing::ElementsAre("schemaVersion", "id", "message", "files", "directories", "createdAt"));
  EXPECT_TRUE(manifest["schemaVersion"].is_number_integer());
  EXPECT_EQ(manifest["schemaVersion"], 2);
  EXPECT_EQ(manifest["id"], store.id());
  EXPECT_EQ(manifest["message"], payload.message);
  EXPECT_EQ(manifest["files"], nlohmann::json({"1-report.pdf"}));
  EXPECT_EQ(manifest["directories"], nlohmann::json({"/home/u/a/b", "/srv"}));
  EXPECT_EQ(manifest["createdAt"].get<double>(), 1733650000123.4567) << "reads back to the same double";

  store.discardUnpublished();
  EXPECT_TRUE(fs::exists(share / "payload.json")) << "a published share is never discarded";
  EXPECT_EQ(testing::countEntries(root / "staging"), 0u);
}

TEST_F(ShareStagingStoreTest, AnEmptyShareHasAnEmptyMessageAndEmptyLists) {
  ShareStagingStore store(root);
  store.publish(emptyPayload(store));
  const auto manifest = nlohmann::json::parse(readFile(inbox / store.id() / "payload.json"));
  EXPECT_TRUE(manifest["message"].is_string());
  EXPECT_EQ(manifest["message"], "");
  EXPECT_TRUE(manifest["files"].is_array());
  EXPECT_TRUE(manifest["files"].empty());
  EXPECT_TRUE(manifest["directories"].is_array());
  EXPECT_TRUE(manifest["directories"].empty());
}

TEST_F(ShareStagingStoreTest, OnlyUuidNamedEntriesWithAManifestArePending) {
  for (int number = 0; number < 48; ++number) addPendingShare(inbox, uuidNumbered(number));
  addPendingShare(inbox, uuidNumbered(48, true));                 // upper case counts
  fs::create_directories(inbox / "notes");                         // not a UUID
  addPendingShare(inbox, "notes-" + uuidNumbered(49));             // not a UUID either
  fs::create_directories(inbox / uuidNumbered(50));                // no manifest
  fs::create_symlink(inbox / "nowhere", inbox / uuidNumbered(51)); // dangling: no manifest
  writeFile(inbox / ".publish-lock", "");

  ShareStagingStore fiftieth(root);
  EXPECT_EQ(publishError(fiftieth), std::error_code());
  EXPECT_EQ(countManifests(inbox), 51u);  // 50 pending and the one named "notes-..."

  ShareStagingStore fiftyFirst(root);
  const auto inboxBefore = testing::countEntries(inbox);
  EXPECT_EQ(publishError(fiftyFirst), ShareImportFailure::queueFull);
  EXPECT_EQ(testing::countEntries(inbox), inboxBefore);
  EXPECT_TRUE(fs::is_directory(fiftyFirst.folder()));
  EXPECT_FALSE(fs::exists(fiftyFirst.folder() / "payload.json"));
  EXPECT_FALSE(fiftyFirst.published());

  fiftyFirst.discardUnpublished();
  EXPECT_FALSE(fs::exists(fiftyFirst.folder()));
}

TEST_F(ShareStagingStoreTest, ALockFileThatIsALinkOrNotARegularFileRefusesEveryPublish) {
  fs::create_directories(inbox);
  writeFile(container / "elsewhere", "");
  const fs::path lock = inbox / ".publish-lock";
  const std::vector<std::pair<std::string, std::function<void()>>> plants = {
      {"a symbolic link", [&] { fs::create_symlink(container / "elsewhere", lock); }},
      {"a FIFO", [&] { ASSERT_EQ(::mkfifo(lock.c_str(), 0600), 0); }},
      {"a folder", [&] { fs::create_directory(lock); }},
  };
  for (const auto& [kind, plant] : plants) {
    plant();
    ShareStagingStore store(root);
    EXPECT_EQ(publishError(store), ShareImportFailure::permission) << kind;
    EXPECT_EQ(testing::countEntries(inbox), 1u) << kind;
    EXPECT_FALSE(fs::exists(store.folder() / "payload.json")) << kind;
    EXPECT_FALSE(store.published()) << kind;
    store.discardUnpublished();
    fs::remove(lock);
  }
}

TEST_F(ShareStagingStoreTest, AnExistingInboxEntryIsNeverReplaced) {
  ShareStagingStore intoEmptyFolder(root);
  fs::create_directories(inbox / intoEmptyFolder.id());
  ShareStagingStore intoFullFolder(root);
  addPendingShare(inbox, intoFullFolder.id());

  for (ShareStagingStore* store : {&intoEmptyFolder, &intoFullFolder}) {
    const std::error_code error = publishError(*store);
    EXPECT_EQ(error.category(), posixErrorDomain());
    EXPECT_EQ(error.value(), EEXIST);
    EXPECT_FALSE(store->published());
    EXPECT_TRUE(fs::exists(store->folder() / "payload.json")) << "stays in staging with its manifest";
  }
  EXPECT_TRUE(fs::is_empty(inbox / intoEmptyFolder.id()));
  EXPECT_EQ(readFile(inbox / intoFullFolder.id() / "payload.json"), "{}");
}

TEST_F(ShareStagingStoreTest, ACancelledPublishTouchesNothing) {
  ShareStagingStore store(root);
  std::stop_source stop;
  stop.request_stop();
  EXPECT_TRUE(isCancellation(publishError(store, stop.get_token())));
  EXPECT_FALSE(fs::exists(inbox));
  EXPECT_TRUE(fs::is_directory(store.folder()));
}

// The staging folder's descriptor still names the share once it is in the
// inbox, which is the host's from then on.
TEST_F(ShareStagingStoreTest, APublishAfterADiscardOrAPublishIsRefusedUpFront) {
  ShareStagingStore discarded(root);
  writeFile(discarded.folder() / "1-report.pdf", "%PDF");  // a share discarded halfway holds its copies
  writeFile(discarded.folder() / ".payload.json.0123456789abcdef", "{");
  discarded.discardUnpublished();
  discarded.discardUnpublished();
  EXPECT_FALSE(fs::exists(discarded.folder()));
  EXPECT_EQ(publishError(discarded), posixError(ENOENT));
  EXPECT_FALSE(fs::exists(inbox)) << "nothing made, nothing locked";
  EXPECT_FALSE(discarded.published());

  ShareStagingStore published(root);
  ASSERT_EQ(publishError(published), std::error_code());
  const fs::path share = inbox / published.id();
  const std::string manifest = readFile(share / "payload.json");
  EXPECT_EQ(testing::errorOf([&] { published.publish({published.id(), "a second time", {}, {}, 1}); }),
            posixError(ENOENT));
  EXPECT_EQ(readFile(share / "payload.json"), manifest);
  EXPECT_EQ(testing::countEntries(share), 1u);
  EXPECT_EQ(testing::countEntries(inbox), 2u) << "the share and the lock file";
  EXPECT_TRUE(published.published());
}

// Publishers in separate processes race for the last five places of the queue.
TEST_F(ShareStagingStoreTest, ConcurrentPublishersNeverOverrunTheQueue) {
  constexpr int alreadyPending = 45;
  constexpr int publishers = 8;
  for (int number = 0; number < alreadyPending; ++number) addPendingShare(inbox, uuidNumbered(number));

  int startGate[2];
  ASSERT_EQ(::pipe(startGate), 0);
  std::vector<pid_t> children;
  for (int child = 0; child < publishers; ++child) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(startGate[1]);
      ShareStagingStore store(root);
      char ignored;
      (void)::read(startGate[0], &ignored, 1);  // returns when the parent closes the gate
      const std::error_code error = publishError(store);
      ::_exit(!error ? 0 : error == ShareImportFailure::queueFull && fs::is_directory(store.folder()) ? 4 : 1);
    }
    children.push_back(pid);
  }
  ::close(startGate[0]);
  ::close(startGate[1]);

  int published = 0;
  int refused = 0;
  for (const pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    published += WEXITSTATUS(status) == 0;
    refused += WEXITSTATUS(status) == 4;
  }
  EXPECT_EQ(published, 5);
  EXPECT_EQ(refused, 3);
  EXPECT_EQ(countManifests(inbox), 50u);
  for (const auto& entry : fs::directory_iterator(inbox)) {
    if (entry.path().filename() == ".publish-lock") continue;
    EXPECT_TRUE(nlohmann::json::accept(readFile(entry.path() / "payload.json"))) << entry.path();
  }
  EXPECT_EQ(testing::countEntries(root / "staging"), 3u) << "every loser keeps its staging folder";
}

TEST_F(ShareStagingStoreTest, LinksPlantedInThePrivateTreeRedirectNothing) {
  const fs::path attacker = container / "attacker";
  fs::create_directories(attacker);

  ShareStagingStore store(root);
  writeFile(store.folder() / "1-secret.txt", "secret");
  fs::create_directory_symlink(attacker, inbox);  // planted after the store was made
  EXPECT_EQ(publishError(store), ShareImportFailure::permission);
  EXPECT_FALSE(store.published());
  EXPECT_TRUE(fs::is_empty(attacker));
  EXPECT_FALSE(fs::exists(store.folder() / "payload.json")) << "nothing written";
  store.discardUnpublished();

  fs::remove_all(root / "staging");
  fs::create_directory_symlink(attacker, root / "staging");
  EXPECT_EQ(testing::errorOf([&] { ShareStagingStore refused(root); }), ShareImportFailure::permission)
      << "staged through a link";
  EXPECT_TRUE(fs::is_empty(attacker));
}

// The inbox's lock waits for another process; a stop ends the wait, and the share stays staged.
TEST_F(ShareStagingStoreTest, ADismissEndsTheWaitForALockHeldByAnotherProcess) {
  ShareStagingStore store(root);
  fs::create_directories(inbox);
  testing::LockHolder holder(inbox / ".publish-lock");

  std::stop_source dismiss;
  std::jthread dismisser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    dismiss.request_stop();
  });
  EXPECT_TRUE(isCancellation(publishError(store, dismiss.get_token())));
  holder.release();

  EXPECT_FALSE(store.published());
  EXPECT_EQ(testing::countEntries(inbox), 1u) << "the lock file alone";
  EXPECT_FALSE(fs::exists(store.folder() / "payload.json"));
  EXPECT_EQ(testing::errorOf([&] { ShareInbox(root).lock({}); }), std::error_code()) << "free once released";
}

// Where renameat2 refuses RENAME_NOREPLACE, the move still never replaces an entry (that
// the share still moves there, the program's test of the same refusal shows).
TEST_F(ShareStagingStoreTest, WithoutRenameNoReplaceTheShareStillMovesAndNeverReplaces) {
  EXPECT_EQ(inChild([&] {
              if (!refuseRenameFlags()) return 10;
              ShareStagingStore store(root);
              fs::create_directories(inbox / store.id());
              if (publishError(store) != posixError(EEXIST)) return 11;
              return fs::is_empty(inbox / store.id()) && !store.published() ? 0 : 12;
            }),
            0);
  EXPECT_EQ(inChild([&] {
              if (!refuseRenameFlags()) return 10;
              ShareStagingStore store(root);
              fs::create_symlink(container / "nowhere", inbox / store.id());
              if (publishError(store) != posixError(EEXIST)) return 11;
              return fs::is_symlink(inbox / store.id()) && !store.published() ? 0 : 12;
            }),
            0)
      << "a dangling link";
}

TEST_F(ShareStagingStoreTest, OrphanedStagingIsSweptButNeverALiveOrYoungOne) {
  const fs::path outside = container / "outside.txt";
  writeFile(outside, "keep me");
  // A share whose process died, `age` ago: its folder holds a file and a link out.
  std::set<fs::path> abandoned;
  const auto abandonShare = [&](std::chrono::minutes age) {
    EXPECT_EQ(inChild([&] {
                ShareStagingStore store(root);
                writeFile(store.folder() / "1-a.txt", "a");
                fs::create_symlink(outside, store.folder() / "2-link");
                return 0;
              }),
              0);
    fs::path folder;
    for (const auto& entry : fs::directory_iterator(root / "staging")) {
      if (abandoned.insert(entry.path()).second) folder = entry.path();
    }
    makeAged(folder, age);
    return folder;
  };
  const fs::path orphan = abandonShare(std::chrono::minutes(11));
  const fs::path youngOrphan = abandonShare(std::chrono::minutes(9));
  ShareStagingStore live(root);
  makeAged(live.folder(), std::chrono::minutes(60));
  const fs::path oldFolderOutside = container / "old-folder";
  fs::create_directories(oldFolderOutside);
  writeFile(oldFolderOutside / "file", "keep me too");
  makeAged(oldFolderOutside, std::chrono::minutes(60));
  fs::create_directory_symlink(oldFolderOutside, root / "staging" / "aaaaaaaa-0000-4000-8000-000000000001");

  ShareStagingStore sweeper(root);

  EXPECT_FALSE(fs::exists(orphan)) << "dead, and older than the grace period";
  EXPECT_TRUE(fs::is_directory(youngOrphan)) << "dead, but within the grace period";
  EXPECT_TRUE(fs::is_directory(live.folder())) << "alive, whatever its age";
  EXPECT_TRUE(fs::is_directory(sweeper.folder()));
  EXPECT_EQ(testing::countEntries(root / "staging"), 4u) << "the young orphan, the live, the sweeper's, the link";
  EXPECT_EQ(readFile(outside), "keep me");
  EXPECT_EQ(readFile(oldFolderOutside / "file"), "keep me too");
}

}  // namespace
}  // namespace plumo
