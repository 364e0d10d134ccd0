#include "SharedFileCopy.h"

#include <algorithm>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "ErrorDomain.h"
#include "Errors.h"
#include "FileDescriptor.h"
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

// A regular file that grows by a mebibyte just before each read of it, up to
// a cap: its reader never finds its end before the cap. Needs fanotify's
// permission events (CAP_SYS_ADMIN).
class GrowingFile {
 public:
  static constexpr std::int64_t step = 1 << 20;

  GrowingFile(const fs::path& path, std::int64_t cap)
      : cap_(cap), writer_(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600)),
        reads_(::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_CLOEXEC)) {
    int stop[2];
    if (!writer_.isOpen() || !reads_.isOpen() || ::pipe2(stop, O_CLOEXEC) != 0) return;
    stopReader_ = FileDescriptor(stop[0]);
    stopWriter_ = FileDescriptor(stop[1]);
    if (::fanotify_mark(reads_.get(), FAN_MARK_ADD, FAN_ACCESS_PERM, AT_FDCWD, path.c_str()) != 0) return;
    listener_ = std::thread([this] { growBeforeEachRead(); });
  }
  GrowingFile(const GrowingFile&) = delete;
  GrowingFile& operator=(const GrowingFile&) = delete;
  ~GrowingFile() {
    stopWriter_.close();
    if (listener_.joinable()) listener_.join();
  }

  bool grows() const { return listener_.joinable(); }

 private:
  void growBeforeEachRead() {
    pollfd watched[] = {{reads_.get(), POLLIN, 0}, {stopReader_.get(), POLLIN, 0}};
    while (::poll(watched, 2, -1) > 0 && watched[1].revents == 0) {
      alignas(fanotify_event_metadata) char events[4096];
      const ssize_t length = ::read(reads_.get(), events, sizeof events);
      auto* event = reinterpret_cast<fanotify_event_metadata*>(events);
      for (ssize_t left = length; FAN_EVENT_OK(event, left); event = FAN_EVENT_NEXT(event, left)) {
        struct stat status {};
        ::fstat(writer_.get(), &status);
        if (status.st_size < cap_) (void)::ftruncate(writer_.get(), std::min(status.st_size + step, cap_));
        const fanotify_response allow{event->fd, FAN_ALLOW};
        (void)::write(reads_.get(), &allow, sizeof allow);
        ::close(event->fd);
      }
    }
  }

  std::int64_t cap_;
  FileDescriptor writer_;
  FileDescriptor reads_;
  FileDescriptor stopReader_;
  FileDescriptor stopWriter_;
  std::thread listener_;
};

// The bytes this process has read so far, by any means of reading.
std::int64_t bytesReadByThisProcess() {
  std::ifstream accounting("/proc/self/io");
  std::string field;
  std::int64_t value = -1;
  while (accounting >> field >> value) {
    if (field == "rchar:") return value;
  }
  return -1;
}

class SharedFileCopyTest : public ::testing::Test {
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
    return testing::errorOf([&] { SharedFileCopy::copy(url, folder, suggested, total, count); });
  }
};

TEST_F(SharedFileCopyTest, CopiesUnderTheNumberedSafeName) {
  const auto result = SharedFileCopy::copy(source("report.pdf", "%PDF-1.7"), folder, std::nullopt, 0, 3);
  EXPECT_EQ(result.name, "4-report.pdf");
  EXPECT_EQ(result.size, 8);
  EXPECT_EQ(readFile(folder / "4-report.pdf"), "%PDF-1.7");
  EXPECT_TRUE(fs::exists(sources / "report.pdf")) << "the source is never touched";

  const auto empty = SharedFileCopy::copy(source("empty", ""), folder, "../../escape/../x", 0, 0);
  EXPECT_EQ(empty.name, "1-x");
  EXPECT_EQ(empty.size, 0);
  EXPECT_EQ(countEntries(folder), 2u) << "nothing lands outside the staging folder";
  EXPECT_EQ(countEntries(temporary.path()), 2u);
}

TEST_F(SharedFileCopyTest, TheFileLimitIsInclusiveAndCheckedBeforeReading) {
  const auto largest = SharedFileCopy::copy(source("largest", std::string(ShareImportRules::fileLimit, 'x')), folder,
                                      std::nullopt, 0, 0);
  EXPECT_EQ(largest.size, ShareImportRules::fileLimit);

  const Url tooLarge = source("too-large", std::string(ShareImportRules::fileLimit + 1, 'x'));
  ::chmod((sources / "too-large").c_str(), 0);  // root still reads it; the size alone must refuse it
  EXPECT_EQ(failureOf(tooLarge), ShareImportFailure::tooLarge);
  EXPECT_EQ(countEntries(folder), 1u);
}

TEST_F(SharedFileCopyTest, CountAndTotalLimitsRefuseBeforeOpeningOrWhileReading) {
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
TEST_F(SharedFileCopyTest, AFileLongerThanItsAnnouncedSizeIsStillBounded) {
  const Url status = Url::fileUrl("/proc/self/status");
  const auto copied = SharedFileCopy::copy(status, folder, "status", 0, 0);
  EXPECT_GT(copied.size, 100);
  EXPECT_EQ(fs::file_size(folder / copied.name), static_cast<std::uintmax_t>(copied.size));
  EXPECT_EQ(failureOf(status, ShareImportRules::totalLimit - 10, 1), ShareImportFailure::tooLarge);
  EXPECT_EQ(countEntries(folder), 1u);
}

// A file that keeps growing is refused once it passes the limit, not read to its end.
TEST_F(SharedFileCopyTest, AFileThatKeepsGrowingIsRefusedWhileItIsRead) {
  constexpr std::int64_t cap = 2 * ShareImportRules::fileLimit;
  const GrowingFile growing(sources / "growing.log", cap);
  if (!growing.grows()) GTEST_SKIP() << "fanotify permission events are not available here (they need CAP_SYS_ADMIN)";

  const std::int64_t readBefore = bytesReadByThisProcess();
  if (readBefore < 0) GTEST_SKIP() << "this kernel does not count the bytes a process reads (/proc/self/io)";
  EXPECT_EQ(failureOf(Url::fileUrl(sources / "growing.log")), ShareImportFailure::tooLarge);
  const std::int64_t read = bytesReadByThisProcess() - readBefore;

  EXPECT_LE(read, ShareImportRules::fileLimit + 2 * GrowingFile::step) << "not much further than the limit";
  EXPECT_EQ(countEntries(folder), 0u) << "no partial copy is left";
}

// /proc/self/pagemap announces 0 bytes and reads on far past the file limit:
// the copy stops at the limit and leaves nothing behind.
TEST_F(SharedFileCopyTest, AFileThatGrowsPastTheLimitWhileCopiedIsRefused) {
  EXPECT_EQ(failureOf(Url::fileUrl("/proc/self/pagemap")), ShareImportFailure::tooLarge);
  EXPECT_EQ(countEntries(folder), 0u) << "the partial copy is removed";
}

// A sysfs file announces a whole page and reads a few bytes, as a file cut
// short while it is read does: a torn prefix is never staged.
TEST_F(SharedFileCopyTest, AFileThatEndsShortOfItsSizeAtTheOpenIsReadFailed) {
  const fs::path cutShort = "/sys/devices/system/cpu/online";
  if (!fs::exists(cutShort)) GTEST_SKIP() << "no sysfs";
  ASSERT_GT(fs::file_size(cutShort), readFile(cutShort).size());
  EXPECT_EQ(failureOf(Url::fileUrl(cutShort)), ShareImportFailure::readFailed);
  EXPECT_EQ(countEntries(folder), 0u) << "the partial copy is removed";
}

TEST_F(SharedFileCopyTest, OnlyRegularFilesAreRead) {
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

TEST_F(SharedFileCopyTest, AnExistingTargetIsNeverOverwritten) {
  writeFile(folder / "1-note.txt", "first");
  EXPECT_EQ(failureOf(source("note.txt", "second")), posixError(EEXIST));
  EXPECT_EQ(readFile(folder / "1-note.txt"), "first");

  fs::create_symlink(temporary / "outside", folder / "1-other.txt");
  EXPECT_EQ(failureOf(source("other.txt", "data")), posixError(EEXIST)) << "a planted link is not followed";
  EXPECT_FALSE(fs::exists(temporary / "outside"));
}

}  // namespace
}  // namespace plumo
