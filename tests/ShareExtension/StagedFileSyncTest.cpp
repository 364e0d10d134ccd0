// Each staged file reaches the disk through exactly one sync, before its share
// moves into the inbox: the copy only starts the writeback, the publish syncs.
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <sstream>

#include "Files.h"
#include "RunningProgram.h"
#include "TemporaryDirectory.h"
#include "Traced.h"

namespace fs = std::filesystem;

namespace plumo {
namespace {

TEST(StagedFileSyncTest, EachStagedFileIsSyncedOnceBeforeTheMove) {
  if (!testing::straceIsInstalled()) GTEST_SKIP() << "strace is not installed (scripts/install-deps)";
  testing::TemporaryDirectory home;
  testing::writeFile(home / "a.txt", std::string(300'000, 'a'));
  testing::writeFile(home / "b.txt", "b");
  const fs::path trace = home / "trace";
  const auto result = testing::runProgram(
      {testing::strace, "-f", "-y", "-qq", "-e", "trace=fsync,fdatasync,renameat2,rename", "-o", trace.string(),
       PLUMO_SHARE_PROGRAM, "--no-ui", (home / "a.txt").string(), (home / "b.txt").string(), "--type",
       "application/octet-stream", "-"},
      testing::traceable({{"XDG_DATA_HOME", (home / "data").string()}, {"XDG_CONFIG_HOME", (home / "config").string()}}),
      "a text from standard input");
  ASSERT_EQ(result.exitStatus, 3) << result.standardError;

  // fsync(5</…/staging/<id>/1-a.txt>): the syncs of staged files, counted before the share's move.
  const std::regex stagedSync(R"(f(?:data)?sync\(\d+</[^>]*/staging/[^/>]+/([^/>]+)>\))");
  const std::regex move(R"(rename(?:at2?)?\(.*/staging[/>].*/inbox[/>])");
  std::map<std::string, int> syncs;
  bool moved = false;
  std::istringstream lines(testing::readFile(trace));
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    if (std::regex_search(line, match, stagedSync)) {
      EXPECT_FALSE(moved) << "synced after the move: " << line;
      ++syncs[match[1]];
    }
    moved = moved || std::regex_search(line, move);
  }
  EXPECT_TRUE(moved);
  for (const char* file : {"1-a.txt", "2-b.txt", "3-stdin.bin"}) EXPECT_EQ(syncs[file], 1) << file;
}

}  // namespace
}  // namespace plumo
