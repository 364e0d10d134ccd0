#include "ShareInbox.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <cstring>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ErrorDomain.h"
#include "Errors.h"
#include "Files.h"
#include "ShareImportFailure.h"
#include "ShareStagingStore.h"
#include "TemporaryDirectory.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;

namespace plumo {
namespace {

using testing::errorOf;
using testing::modeOf;
using testing::readFile;
using testing::writeFile;

constexpr const char* shareId = "0f8b5a8e-9c1d-4e4e-8d1a-2b3c4d5e6f70";

void setModificationTime(const fs::path& path, std::time_t seconds) {
  const timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

class ShareInboxTest : public ::testing::Test {
 protected:
  testing::TemporaryDirectory container;
  fs::path root = container / "PlumoShare";
  ShareInbox inbox{root};

  fs::path share(const std::string& id = shareId) const { return root / "inbox" / id; }

  // A share with one file, written by hand, with a manifest given as text.
  void plantShare(const std::string& manifest, const std::string& id = shareId) const {
    fs::create_directories(share(id));
    writeFile(share(id) / "1-a.txt", "a");
    writeFile(share(id) / "payload.json", manifest);
  }

  static nlohmann::ordered_json wellFormed() {
    return nlohmann::ordered_json::parse(SharePayload(shareId, "hi", {"1-a.txt"}, {"/srv"}, 1).manifest());
  }
  static std::string manifestWith(const std::string& member, const std::string& value) {
    auto json = wellFormed();
    json[member] = nlohmann::ordered_json::parse(value);
    return json.dump();
  }
  static std::string manifestWithout(const std::string& member) {
    auto json = wellFormed();
    json.erase(member);
    return json.dump();
  }
};

TEST_F(ShareInboxTest, TheLayoutAndTheShareIds) {
  EXPECT_EQ(inbox.root(), root);
  EXPECT_EQ(inbox.stagingFolder(), root / "staging");
  EXPECT_EQ(inbox.inboxFolder(), root / "inbox");
  EXPECT_EQ(inbox.shareFolder(shareId), root / "inbox" / shareId);

  EXPECT_TRUE(ShareInbox::isShareId(shareId));
  EXPECT_TRUE(ShareInbox::isShareId("0F8B5A8E-9C1D-4E4E-8D1A-2B3C4D5E6F70"));
  for (const char* name : {"", ".publish-lock", "0f8b5a8e-9c1d-4e4e-8d1a-2b3c4d5e6f7", "0f8b5a8e-9c1d-4e4e-8d1a-2b3c4d5e6f700",
                           "0f8b5a8e9c1d-4e4e-8d1a-2b3c4d5e6f70-", "0f8b5a8e-9c1d-4e4e-8d1a-2b3c4d5e6f7g",
                           "{f8b5a8e-9c1d-4e4e-8d1a-2b3c4d5e6f7}", "../../../../../../../../../../../x"}) {
    EXPECT_FALSE(ShareInbox::isShareId(name)) << name;
  }
}

TEST_F(ShareInboxTest, TheTreeIsMadePrivateAndTheContainerMayBeALink) {
  fs::create_directories(container / "real");
  fs::create_symlink(container / "real", container / "linked");
  const ShareInbox throughLink(container / "linked" / "PlumoShare");

  EXPECT_TRUE(throughLink.openInbox(true).isOpen());
  EXPECT_TRUE(throughLink.openStaging(true).isOpen());

  for (const char* folder : {"PlumoShare", "PlumoShare/inbox", "PlumoShare/staging"}) {
    EXPECT_EQ(modeOf(container / "real" / folder), 0700u) << folder;
  }
  EXPECT_EQ(errorOf([&] { inbox.openInbox(false); }), posixError(ENOENT)) << "never made without create";
  EXPECT_FALSE(fs::exists(root));

  // As earlier releases made it, under the user's umask: any mode of a folder of the user's own is reset.
  const std::vector<fs::path> tree = {root, root / "inbox", root / "staging"};
  for (const auto& folder : tree) fs::create_directories(folder);
  for (const mode_t mode : {0775, 0777, 0755, 0711, 0750, 0702}) {
    for (const auto& folder : tree) ASSERT_EQ(::chmod(folder.c_str(), mode), 0);
    EXPECT_TRUE(inbox.openInbox(false).isOpen()) << mode;
    EXPECT_EQ(modeOf(root / "inbox"), mode) << "a reader changes nothing";
    EXPECT_TRUE(inbox.openInbox(true).isOpen()) << mode;
    EXPECT_TRUE(inbox.openStaging(true).isOpen()) << mode;
    for (const auto& folder : tree) EXPECT_EQ(modeOf(folder), 0700u) << mode << folder;
  }
}

TEST_F(ShareInboxTest, LinksAndFoldersOfOthersAreRefusedWithNothingWritten) {
  const fs::path attacker = container / "attacker";
  fs::create_directories(attacker);
  const auto refuses = [&](const std::string& situation) {
    EXPECT_EQ(errorOf([&] { inbox.openInbox(true); }), ShareImportFailure::permission) << situation;
    EXPECT_EQ(errorOf([&] { inbox.lock({}); }), ShareImportFailure::permission) << situation;
    EXPECT_EQ(errorOf([&] {
                ShareStagingStore store(root);
                try {
                  (void)store.publish({store.id(), "", {}, {}, 0});
                } catch (...) {
                  store.discardUnpublished();
                  throw;
                }
              }),
              ShareImportFailure::permission)
        << situation;
    EXPECT_TRUE(fs::is_empty(attacker)) << situation;
  };

  fs::create_directories(root / "staging");
  fs::create_directory_symlink(attacker, root / "inbox");
  refuses("the inbox is a link");
  fs::remove(root / "inbox");

  fs::rename(root, container / "moved");
  fs::create_directory_symlink(container / "moved", root);
  refuses("the root is a link");
  fs::remove(root);
  fs::rename(container / "moved", root);

  writeFile(root / "inbox", "");
  refuses("the inbox is a file");
  fs::remove(root / "inbox");

  fs::create_directory(root / "inbox");
  if (::geteuid() == 0) {  // only root can give a folder away
    ASSERT_EQ(::chown((root / "inbox").c_str(), 65534, 65534), 0);
    refuses("an inbox owned by someone else");
    ASSERT_EQ(::chown((root / "inbox").c_str(), 0, 0), 0);
  }
  EXPECT_TRUE(inbox.openInbox(true).isOpen()) << "a private tree again";
}

TEST_F(ShareInboxTest, PendingSharesAreFoldersWithAManifestAsLinksLeadOldestFirst) {
  const std::string older = "aaaaaaaa-0000-4000-8000-000000000002";
  const std::string oldest = "BBBBBBBB-0000-4000-8000-000000000001";
  const std::string newest = "cccccccc-0000-4000-8000-000000000003";
  const std::string linked = "eeeeeeee-0000-4000-8000-000000000005";
  for (const auto& id : {newest, oldest, older}) plantShare("not even JSON", id);
  fs::create_directories(container / "elsewhere");
  writeFile(container / "elsewhere" / "payload.json", "{}");
  fs::create_directory_symlink(container / "elsewhere", share(linked));
  setModificationTime(share(oldest) / "payload.json", 1'000'000);
  setModificationTime(share(older) / "payload.json", 2'000'000);
  setModificationTime(container / "elsewhere" / "payload.json", 2'500'000);
  setModificationTime(share(newest) / "payload.json", 3'000'000);
  fs::create_directories(share("dddddddd-0000-4000-8000-000000000004"));  // no manifest yet
  const std::string dangling = "ffffffff-0000-4000-8000-000000000006";
  fs::create_directories(share(dangling));
  fs::create_symlink(container / "gone", share(dangling) / "payload.json");
  plantShare("{}", "notes");

  EXPECT_THAT(inbox.pendingIds(), ::testing::ElementsAre(oldest, older, linked, newest));
  EXPECT_TRUE(ShareInbox("/nonexistent/PlumoShare").pendingIds().empty());
}

TEST_F(ShareInboxTest, AShareOfTheRealPublisherReadsBackWhole) {
  ShareStagingStore store(root);
  writeFile(store.folder() / "1-report.pdf", "%PDF");
  const SharePayload published(store.id(), "see\nthis", {"1-report.pdf"}, {"/home/u/a"}, 1733650000123.5);
  ASSERT_EQ(store.publish(published), std::error_code());

  const InboxShare read = inbox.read(store.id());
  ASSERT_TRUE(read.valid()) << read.error;
  EXPECT_EQ(read.id, store.id());
  EXPECT_EQ(read.folder, root / "inbox" / store.id());
  EXPECT_EQ(read.payload->manifest(), published.manifest());
  EXPECT_EQ(read.error, "");
  EXPECT_THAT(inbox.pendingIds(), ::testing::ElementsAre(store.id()));
}

// The inbox is written by other processes: each kind of bad share is reported,
// and nothing outside its folder is read, moved or deleted because of it.
TEST_F(ShareInboxTest, EachKindOfInvalidShareIsReportedWithItsReason) {
  const fs::path outside = container / "x";
  writeFile(outside, "keep me");
  fs::create_directories(container / "folder");
  plantShare(wellFormed().dump());
  ASSERT_TRUE(inbox.read(shareId).valid()) << inbox.read(shareId).error;
  inbox.remove(shareId);

  const std::vector<std::pair<std::string, std::string>> cases = {
      {"not JSON", "{\"schemaVersion\":"},
      {"not a JSON object", "[2]"},
      {"schemaVersion is not 2", manifestWith("schemaVersion", "1")},
      {"schemaVersion is not 2", manifestWith("schemaVersion", "\"2\"")},
      {"schemaVersion is not 2", manifestWith("schemaVersion", "2.5")},
      {"id is not a string", manifestWith("id", "7")},
      {"id does not match", manifestWith("id", "\"aaaaaaaa-0000-4000-8000-000000000002\"")},
      {"message is not a string", manifestWith("message", "null")},
      {"files is not an array", manifestWith("files", "\"1-a.txt\"")},
      {"files holds something other than a string", manifestWith("files", "[1]")},
      {"\"../../x\" is not a plain name", manifestWith("files", "[\"../../x\"]")},
      {"\"..\" is not a plain name", manifestWith("files", "[\"..\"]")},
      {"\".\" is not a plain name", manifestWith("files", "[\".\"]")},
      {"\"\" is not a plain name", manifestWith("files", "[\"\"]")},
      {"\"a/b\" is not a plain name", manifestWith("files", "[\"a/b\"]")},
      {"files: \"1-a.txt\" is named twice", manifestWith("files", "[\"1-a.txt\", \"1-a.txt\"]")},
      {"files: \"2-missing.txt\" is missing", manifestWith("files", "[\"1-a.txt\", \"2-missing.txt\"]")},
      {"files: \"2-link\" is not a regular file", manifestWith("files", "[\"2-link\"]")},
      {"files: \"3-folder\" is not a regular file", manifestWith("files", "[\"3-folder\"]")},
      {"directories: \"srv\" is not absolute", manifestWith("directories", "[\"srv\"]")},
      {"directories holds something other than a string", manifestWith("directories", "[{}]")},
      {"createdAt is not a number", manifestWith("createdAt", "\"today\"")},
      {"createdAt is missing", manifestWithout("createdAt")},
      {"files is missing", manifestWithout("files")},
      {"schemaVersion is missing", manifestWithout("schemaVersion")},
      {"message is missing", manifestWithout("message")},
      {"directories is not an array", manifestWith("directories", "{}")},
  };
  for (const auto& [reason, manifest] : cases) {
    plantShare(manifest);
    fs::create_symlink(outside, share() / "2-link");
    fs::create_directory(share() / "3-folder");

    const InboxShare read = inbox.read(shareId);
    EXPECT_FALSE(read.valid()) << reason;
    EXPECT_THAT(read.error, HasSubstr(reason)) << manifest;
    EXPECT_EQ(read.folder, share());

    inbox.remove(shareId);
    EXPECT_FALSE(fs::exists(share())) << reason;
  }
  EXPECT_EQ(readFile(outside), "keep me");
  EXPECT_TRUE(fs::is_directory(container / "folder"));
}

TEST_F(ShareInboxTest, AShareOrManifestThatIsNotWhatItSeemsIsInvalid) {
  const fs::path outside = container / "outside";
  fs::create_directories(outside);
  writeFile(outside / "payload.json", SharePayload(shareId, "", {}, {}, 1).manifest());
  writeFile(outside / "1-a.txt", "a");

  fs::create_directories(root / "inbox");
  fs::create_directory_symlink(outside, share());
  EXPECT_THAT(inbox.read(shareId).error, HasSubstr("is a link or not a folder"));
  inbox.remove(shareId);
  EXPECT_FALSE(fs::is_symlink(share()));
  EXPECT_TRUE(fs::exists(outside / "payload.json")) << "the link is removed, not its target";

  fs::create_directories(share());
  fs::create_symlink(outside / "payload.json", share() / "payload.json");
  EXPECT_EQ(inbox.read(shareId).error, "payload.json is a link");
  fs::remove(share() / "payload.json");
  fs::create_directory(share() / "payload.json");
  EXPECT_EQ(inbox.read(shareId).error, "payload.json is not a regular file");
  ASSERT_EQ(::mkfifo((share() / "fifo").c_str(), 0600), 0);
  fs::remove(share() / "payload.json");
  fs::rename(share() / "fifo", share() / "payload.json");
  EXPECT_EQ(inbox.read(shareId).error, "payload.json is not a regular file") << "read without hanging";
  fs::remove(share() / "payload.json");
  EXPECT_EQ(inbox.read(shareId).error, "payload.json is missing");
  writeFile(share() / "payload.json", std::string(5 << 20, ' '));
  EXPECT_EQ(inbox.read(shareId).error, "payload.json is too large");

  EXPECT_THAT(inbox.read("cccccccc-0000-4000-8000-000000000003").error, HasSubstr("is missing"));
  EXPECT_EQ(inbox.read("../outside").error, "not a share id");
  EXPECT_EQ(errorOf([&] { inbox.remove("../outside"); }), posixError(EINVAL));
  EXPECT_EQ(errorOf([&] { inbox.remove("cccccccc-0000-4000-8000-000000000003"); }), posixError(ENOENT));
  EXPECT_TRUE(fs::exists(outside / "1-a.txt"));
}

// A folder mounted inside a share (a bind mount of the same file system here)
// is another file system's: a removal never deletes what it holds. The share
// has left its id before the removal stopped, and the next removal deletes
// what is left once the mount is gone.
TEST_F(ShareInboxTest, ARemovalNeverEntersAMountAndLeavesNoPartialShare) {
  const fs::path outside = container / "outside";
  fs::create_directories(outside);
  writeFile(outside / "kept.txt", "keep me");
  plantShare(wellFormed().dump());
  fs::create_directory(share() / "sub");
  if (::mount(outside.c_str(), (share() / "sub").c_str(), nullptr, MS_BIND, nullptr) != 0) {
    GTEST_SKIP() << "cannot bind-mount here: " << std::strerror(errno);
  }
  const auto unmountWhereverItIs = [&] {
    for (const auto& entry : fs::directory_iterator(root / "inbox")) ::umount2((entry.path() / "sub").c_str(), MNT_DETACH);
  };

  const std::error_code error = errorOf([&] { inbox.remove(shareId); });
  unmountWhereverItIs();

  EXPECT_EQ(error, posixError(EXDEV));
  EXPECT_EQ(readFile(outside / "kept.txt"), "keep me");
  EXPECT_FALSE(fs::exists(share())) << "no partial share under its id";
  EXPECT_TRUE(inbox.pendingIds().empty());

  const std::string next = "aaaaaaaa-0000-4000-8000-000000000002";
  plantShare("{}", next);
  inbox.remove(next);
  EXPECT_TRUE(fs::is_empty(root / "inbox")) << "the leftover went with the next removal";
}

}  // namespace
}  // namespace plumo
