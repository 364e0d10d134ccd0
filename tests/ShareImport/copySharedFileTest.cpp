#include "copySharedFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "ErrorDomain.h"
#include "Files.h"
#include "ShareImportFailure.h"
#include "ShareImportRules.h"
#include "TemporaryDirectory.h"

namespace fs = std::filesystem;

namespace plumo {
namespace {

using testing::countEntries;
using testing::readFile;
using testing::writeFile;

class CopySharedFileTest : public ::testing::Test {
 protected:
  testing::TemporaryDirectory temporary;
  fs::path folder = temporary / "staging";
  fs::path sources = temporary / "sources";

  void SetUp() override {
    fs::create_directories(folder);
    fs::create_directories(sources);
  }

  Url source(const std::string& name, const std::string& contents) {
    writeFile(sources / name, contents);
    return Url::fileUrl(sources / name);
  }

  std::error_code failureOf(const Url& url, std::int64_t total = 0, std::int64_t count = 0,
                            const std::optional<std::string>& suggested = std::nullopt) {
    try {
      copySharedFile(url, folder, suggested, total, count);
    } catch (const std::system_error& error) {
      return error.code();
    }
    return {};
  }
};

TEST_F(CopySharedFileTest, CopiesUnderTheNumberedSafeName) {
  const auto result = copySharedFile(source("report.pdf", "%PDF-1.7"), folder, std::nullopt, 0, 3);
  EXPECT_EQ(result.name, "4-report.pdf");
  EXPECT_EQ(result.size, 8);
  EXPECT_EQ(readFile(folder / "4-report.pdf"), "%PDF-1.7");
  EXPECT_TRUE(fs::exists(sources / "report.pdf")) << "the source is never touched";

  const auto empty = copySharedFile(source("empty", ""), folder, "../../escape/../x", 0, 0);
  EXPECT_EQ(empty.name, "1-x");
  EXPECT_EQ(empty.size, 0);
  EXPECT_EQ(countEntries(folder), 2u) << "nothing lands outside the staging folder";
  EXPECT_EQ(countEntries(temporary.path()), 2u);
}

TEST_F(CopySharedFileTest, TheFileLimitIsInclusiveAndCheckedBeforeReading) {
  const auto largest = copySharedFile(source("largest", std::string(ShareImportRules::fileLimit, 'x')), folder,
                                      std::nullopt, 0, 0);
  EXPECT_EQ(largest.size, ShareImportRules::fileLimit);

  const Url tooLarge = source("too-large", std::string(ShareImportRules::fileLimit + 1, 'x'));
  ::chmod((sources / "too-large").c_str(), 0);  // root still reads it; the size alone must refuse it
  EXPECT_EQ(failureOf(tooLarge), ShareImportFailure::tooLarge);
  EXPECT_EQ(countEntries(folder), 1u);
}

TEST_F(CopySharedFileTest, CountAndTotalLimitsRefuseBeforeOpeningOrWhileReading) {
  const Url missing = Url::fileUrl(sources / "missing");
  EXPECT_EQ(failureOf(missing, 0, 10), ShareImportFailure::tooLarge) << "refused before the open";
  EXPECT_EQ(failureOf(missing, ShareImportRules::totalLimit + 1, 0), ShareImportFailure::tooLarge);
  EXPECT_EQ(failureOf(missing), posixError(ENOENT));

  const Url crossing = source("crossing", std::string(200'000, 'x'));
  EXPECT_EQ(failureOf(crossing, ShareImportRules::totalLimit - 100'000, 9), ShareImportFailure::tooLarge);
  EXPECT_EQ(failureOf(crossing, ShareImportRules::totalLimit - 200'000, 9), std::error_code()) << "lands exactly";
  EXPECT_EQ(countEntries(folder), 1u);
}

// /proc files announce a size of 0 and read longer, as a file growing while it is read does.
TEST_F(CopySharedFileTest, AFileLongerThanItsAnnouncedSizeIsStillBounded) {
  const Url status = Url::fileUrl("/proc/self/status");
  const auto copied = copySharedFile(status, folder, "status", 0, 0);
  EXPECT_GT(copied.size, 100);
  EXPECT_EQ(fs::file_size(folder / copied.name), static_cast<std::uintmax_t>(copied.size));
  EXPECT_EQ(failureOf(status, ShareImportRules::totalLimit - 10, 1), ShareImportFailure::tooLarge);
  EXPECT_EQ(countEntries(folder), 1u);
}

// /proc/self/pagemap announces 0 bytes and reads on far past the file limit:
// the copy stops at the limit and leaves nothing behind.
TEST_F(CopySharedFileTest, AFileThatGrowsPastTheLimitWhileCopiedIsRefused) {
  EXPECT_EQ(failureOf(Url::fileUrl("/proc/self/pagemap")), ShareImportFailure::tooLarge);
  EXPECT_EQ(countEntries(folder), 0u) << "the partial copy is removed";
}

// A sysfs file announces a whole page and reads a few bytes, as a file cut
// short while it is read does: a torn prefix is never staged.
TEST_F(CopySharedFileTest, AFileThatEndsShortOfItsSizeAtTheOpenIsReadFailed) {
  const fs::path cutShort = "/sys/devices/system/cpu/online";
  if (!fs::exists(cutShort)) GTEST_SKIP() << "no sysfs";
  ASSERT_GT(fs::file_size(cutShort), readFile(cutShort).size());
  EXPECT_EQ(failureOf(Url::fileUrl(cutShort)), ShareImportFailure::readFailed);
  EXPECT_EQ(countEntries(folder), 0u) << "the partial copy is removed";
}

TEST_F(CopySharedFileTest, OnlyRegularFilesAreRead) {
  writeFile(sources / "target", "secret");
  fs::create_symlink(sources / "target", sources / "link");
  fs::create_directories(sources / "folder");
  ASSERT_EQ(::mkfifo((sources / "fifo").c_str(), 0600), 0);

  EXPECT_EQ(failureOf(Url::fileUrl(sources / "link")), posixError(ELOOP));
  EXPECT_EQ(failureOf(Url::fileUrl(sources / "folder")), ShareImportFailure::unsupported);
  EXPECT_EQ(failureOf(Url::fileUrl(sources / "fifo")), ShareImportFailure::unsupported) << "and does not hang";
  EXPECT_EQ(failureOf(Url::fileUrl("/dev/null")), ShareImportFailure::unsupported);
  EXPECT_EQ(countEntries(folder), 0u);
}

TEST_F(CopySharedFileTest, AnExistingTargetIsNeverOverwritten) {
  writeFile(folder / "1-note.txt", "first");
  EXPECT_EQ(failureOf(source("note.txt", "second")), posixError(EEXIST));
  EXPECT_EQ(readFile(folder / "1-note.txt"), "first");

  fs::create_symlink(temporary / "outside", folder / "1-other.txt");
  EXPECT_EQ(failureOf(source("other.txt", "data")), posixError(EEXIST)) << "a planted link is not followed";
  EXPECT_FALSE(fs::exists(temporary / "outside"));
}

}  // namespace
}  // namespace plumo
