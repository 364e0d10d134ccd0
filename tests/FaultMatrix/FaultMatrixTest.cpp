// The real plumo-share under faults: killed at its file-system calls, failed by
// the file system, dismissed at random moments, and raced by other shares. Each
// matrix prints its figures; PLUMO_FAULT_SWEEP=full runs every point instead of
// an even sample.
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <thread>

#include "OutcomeTally.h"
#include "RunningProgram.h"
#include "ShareHome.h"
#include "SystemCallTrace.h"
#include "Traced.h"

namespace fs = std::filesystem;

namespace plumo {
namespace {

using testing::InjectionPoint;
using testing::OutcomeTally;
using testing::ProgramResult;
using testing::ShareHome;

bool fullSweep() {
  const char* sweep = std::getenv("PLUMO_FAULT_SWEEP");
  return sweep != nullptr && std::string(sweep) == "full";
}

// How many points the sample in `make test` takes; the full sweep takes all.
#ifdef PLUMO_SANITIZED_BUILD
constexpr std::size_t sampledKillPoints = 12;
constexpr std::size_t sampledErrorPoints = 20;
#else
constexpr std::size_t sampledKillPoints = 30;
constexpr std::size_t sampledErrorPoints = 50;
#endif

bool isMove(const std::string& call) { return call.starts_with("rename") || call.starts_with("link"); }

bool published(int status) { return status == 0 || status == 3; }

std::string importFailure(const ProgramResult& result) {
  const auto at = result.standardError.find("import failed");
  if (at == std::string::npos) return "";
  return " (" + result.standardError.substr(at, result.standardError.find('\n', at) - at) + ")";
}

// The three-file share under inject-fault, which counts the calls touching the home.
ProgramResult shareUnderInjector(const ShareHome& home, const std::vector<std::string>& injectorOptions) {
  std::vector<std::string> command{PLUMO_INJECT_FAULT, "--under", home.path().string()};
  command.insert(command.end(), injectorOptions.begin(), injectorOptions.end());
  command.push_back("--");
  const auto share = home.shareOfThreeFiles();
  command.insert(command.end(), share.begin(), share.end());
  return testing::runProgram(command, testing::traceable(home.environment()));
}

ProgramResult shareWithInjection(const ShareHome& home, const InjectionPoint& point,
                                 const std::vector<std::string>& fault) {
  std::vector<std::string> options{"--nth", std::to_string(point.nth)};
  options.insert(options.end(), fault.begin(), fault.end());
  return shareUnderInjector(home, options);
}

// The call inject-fault struck, as "call path" with the share's folders
// shortened, or "" when the share ended before the nth call.
std::string struckCall(const ProgramResult& result, const ShareHome& home) {
  const std::string mark = "inject-fault: struck ";
  const auto at = result.standardError.find(mark);
  if (at == std::string::npos) return "";
  std::string line = result.standardError.substr(at + mark.size(), result.standardError.find('\n', at) - at - mark.size());
  line = line.substr(line.find(' ') + 1);
  for (const auto& [folder, shortName] : {std::pair{home.root().string(), "ROOT"}, {home.path().string(), "HOME"}}) {
    for (std::size_t found; (found = line.find(folder)) != std::string::npos;) line.replace(found, folder.size(), shortName);
  }
  return line;
}

// The file-system calls of one ordinary three-file share, to choose the points from.
testing::SystemCallTrace recordShare() {
  ShareHome home;
  testing::TemporaryDirectory output;
  const auto result = shareUnderInjector(home, {"--list", (output / "calls").string()});
  EXPECT_EQ(result.exitStatus, 3) << result.standardError;
  testing::SystemCallTrace trace(testing::readFile(output / "calls"));
  EXPECT_GT(trace.points().size(), 20u) << "inject-fault saw no share: " << result.standardError;
  return trace;
}

// Every inbox entry must be a complete share of the three files.
void checkInbox(const ShareHome& home, OutcomeTally& tally, const std::string& example) {
  for (const auto& entry : home.inboxEntries()) {
    if (const auto defect = ShareHome::defectOf(entry, home.sharedFiles())) {
      tally.violation("torn inbox entry: " + *defect, example);
    }
  }
}

void checkNoTemporaryFiles(const ShareHome& home, OutcomeTally& tally, const std::string& example) {
  if (!home.temporaryLeftovers().empty()) tally.violation("a temporary file was left", example);
}

// A matrix whose faults never came would pass and prove nothing.
void countStruck(const ProgramResult& result, std::size_t& struck) {
  if (result.standardError.find("inject-fault: struck ") != std::string::npos) ++struck;
}

void report(const OutcomeTally& tally) {
  tally.print();
  EXPECT_EQ(tally.violations(), 0u) << "the outcomes that break a property are in the figures above";
}

// A file server that dies as it answers may have moved the share into the inbox and
// still report an error: the share is published, once, and says so.
TEST(FaultMatrix, AMoveThatTookEffectButReportedAnErrorIsPublished) {
  ShareHome home;
  const auto result = shareUnderInjector(home, {"--call", "renameat2", "--nth", "1", "--error", "EIO", "--after"});
  ASSERT_NE(struckCall(result, home).find("/staging/"), std::string::npos) << result.standardError;
  EXPECT_EQ(result.exitStatus, 3) << result.standardError;
  ASSERT_EQ(home.inboxEntries().size(), 1u);
  EXPECT_EQ(ShareHome::defectOf(home.inboxEntries().front(), home.sharedFiles()), std::nullopt);
  EXPECT_EQ(result.standardOutput, home.inboxEntries().front().string() + "\n");
}

// Whichever sync fails before the move (a staged file's, the manifest's, a folder's), the
// share fails and nothing reaches the inbox; only the inbox's own sync, after the move,
// leaves the share published.
TEST(FaultMatrix, EverySyncBeforeTheMoveIsRequired) {
  std::size_t syncs = 0;
  {
    ShareHome home;
    testing::TemporaryDirectory output;
    shareUnderInjector(home, {"--call", "fsync", "--list", (output / "syncs").string()});
    std::ifstream list(output / "syncs");
    for (std::string line; std::getline(list, line);) ++syncs;
  }
  ASSERT_GE(syncs, 6u) << "three files, the manifest, the share's folder and the inbox";
  for (std::size_t nth = 1; nth <= syncs; ++nth) {
    ShareHome home;
    const auto result = shareUnderInjector(home, {"--call", "fsync", "--nth", std::to_string(nth), "--error", "EIO"});
    const bool afterTheMove = nth == syncs;
    EXPECT_EQ(result.exitStatus, afterTheMove ? 3 : 1) << "sync " << nth << ": " << result.standardError;
    EXPECT_EQ(home.inboxEntries().size(), afterTheMove ? 1u : 0u) << "sync " << nth;
  }
}

// A share killed at any system call never leaves a torn entry in the inbox, and
// the next share, once the orphan is older than the grace period, sweeps it.
TEST(FaultMatrix, CrashAtEveryStep) {
  const auto trace = recordShare();
  const auto points = fullSweep() ? trace.points() : testing::sample(trace.points(), sampledKillPoints);
  OutcomeTally tally("crash at every step: SIGKILL at the nth file-system call of a three-file share");
  tally.figure("file-system calls touching the share's folders and files (all threads)", trace.points().size());
  tally.figure("kill points tried", points.size());
  tally.figure("kill points by call", testing::pointsPerCall(points));
  tally.figure("runs (killed share + the next share)", 2 * points.size());

  std::size_t struck = 0;
  for (const auto& point : points) {
    ShareHome home;
    const auto killed = shareWithInjection(home, point, {"--kill"});
    countStruck(killed, struck);
    const std::string example = point.name() + " (" + struckCall(killed, home) + ") -> status " +
                                std::to_string(killed.exitStatus);
    const bool orphan = !home.stagingLeftovers().empty();
    const auto entriesAfterKill = home.inboxEntries().size();
    if (killed.endingSignal == SIGKILL) {
      tally.allowed(orphan ? "killed, staging folder left for the sweep"
                           : entriesAfterKill ? "killed after publishing" : "killed before anything was staged");
    } else if (published(killed.exitStatus)) {
      tally.allowed("finished before the point came");
    } else {
      tally.violation("ended with status " + std::to_string(killed.exitStatus), example + importFailure(killed));
    }
    checkInbox(home, tally, example);

    home.ageStaging();
    const auto next = testing::runProgram(home.shareOfThreeFiles(), home.environment());
    if (!published(next.exitStatus)) {
      tally.violation("the next share failed", example + ", next share status " + std::to_string(next.exitStatus) +
                                                   importFailure(next));
    }
    if (orphan && !home.stagingLeftovers().empty()) tally.violation("the next share did not sweep the orphan", example);
    if (!orphan && !home.stagingLeftovers().empty()) tally.violation("the next share left staging behind", example);
    if (home.inboxEntries().size() != entriesAfterKill + 1) {
      tally.violation("the next share is not in the inbox", example);
    }
    checkInbox(home, tally, example + ", after the next share");
  }
  tally.figure("runs in which the nth call came and was struck", struck);
  EXPECT_GT(struck * 2, points.size());
  report(tally);
}

// With any file-system call failing, a share either fails cleanly (status 1,
// nothing published, nothing staged) or is published whole (status 0 or 3).
// A file system without RENAME_NOREPLACE (EINVAL) must still take the share.
TEST(FaultMatrix, ErrorAtEveryStep) {
  const std::vector<std::string> errors{"EIO", "ENOSPC", "EMFILE", "EXDEV", "EINVAL"};
  const auto trace = recordShare();
  const auto& points = trace.points();
  std::vector<std::pair<InjectionPoint, std::string>> runs;
  if (fullSweep()) {
    for (const auto& point : points) {
      for (const auto& error : errors) runs.emplace_back(point, error);
    }
  } else {
    // Each sampled point gets one error, the errors taking turns; the moves
    // that publish a share get every error.
    const auto sampled = testing::sample(points, sampledErrorPoints);
    for (std::size_t index = 0; index < sampled.size(); ++index) {
      if (isMove(sampled[index].call)) {
        for (const auto& error : errors) runs.emplace_back(sampled[index], error);
      } else {
        runs.emplace_back(sampled[index], errors[index % errors.size()]);
      }
    }
  }
  OutcomeTally tally("an error at every step: EIO, ENOSPC, EMFILE, EXDEV, EINVAL at the nth call");
  tally.figure("file-system calls touching the share's folders and files (all threads)", points.size());
  tally.figure("injected faults (runs)", runs.size());
  std::vector<InjectionPoint> tried;
  for (const auto& run : runs) tried.push_back(run.first);
  tally.figure("faults by call", testing::pointsPerCall(tried));

  std::size_t struck = 0;
  for (const auto& [point, error] : runs) {
    ShareHome home;
    const auto result = shareWithInjection(home, point, {"--error", error});
    countStruck(result, struck);
    const std::string call = struckCall(result, home);
    const std::string example = point.name() + " " + error + " (" + call + ") -> status " +
                                std::to_string(result.exitStatus) + importFailure(result);
    const auto entries = home.inboxEntries();
    const bool staged = !home.stagingLeftovers().empty();
    const bool complete = entries.size() == 1 && !ShareHome::defectOf(entries[0], home.sharedFiles());
    if (result.exitStatus == 1) {
      if (call.starts_with("renameat2 ") && error == "EINVAL") {
        tally.violation("status 1 where the file system lacks RENAME_NOREPLACE (EINVAL)", example);
      } else if (!entries.empty()) {
        tally.violation("status 1 with an entry in the inbox", example);
      } else if (staged) {
        tally.violation("status 1 with a staging folder left", example);
      } else {
        tally.allowed("status 1, nothing published, nothing staged");
      }
    } else if (published(result.exitStatus)) {
      if (entries.empty()) {
        tally.violation("status 0/3 without an entry", example);
      } else if (!complete) {
        tally.violation("status 0/3 with a torn entry", example);
      } else if (staged) {
        tally.violation("status 0/3 with a staging folder left", example);
      } else {
        tally.allowed("status 0/3 with a complete entry");
      }
    } else {
      tally.violation("ended with status " + std::to_string(result.exitStatus), example);
    }
    checkNoTemporaryFiles(home, tally, example);
  }
  tally.figure("runs in which the nth call came and failed", struck);
  EXPECT_GT(struck * 2, runs.size());
  report(tally);
}

// Waits until the share says it is preparing: its signal handlers are in place.
void waitUntilPreparing(const testing::RunningProgram& program) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (program.standardErrorSoFar().find("Preparing") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
}

// How long an ordinary share takes here from "Preparing" to its entry in the
// inbox, to spread the dismisses over.
std::chrono::microseconds durationOfAShare() {
  std::chrono::microseconds longest{0};
  for (int run = 0; run < 3; ++run) {
    ShareHome home;
    testing::RunningProgram program(home.shareOfThreeFiles(), home.environment());
    waitUntilPreparing(program);
    const auto start = std::chrono::steady_clock::now();
    while (home.inboxEntries().empty() && std::chrono::steady_clock::now() < start + std::chrono::seconds(10)) {
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    longest = std::max(longest,
                       std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start));
    program.wait();
  }
  return longest;
}

// SIGINT or SIGTERM at any moment is a dismiss (status 130, nothing published)
// unless the share was already published; no staging folder survives either.
TEST(FaultMatrix, DismissAtRandomMoments) {
  const int runs = fullSweep() ? 300 : 50;
  const auto window = durationOfAShare() * 3 / 2;
  std::mt19937 random(10);
  std::uniform_int_distribution<long> delay(0, window.count());
  OutcomeTally tally("dismiss at random moments: SIGINT or SIGTERM during a three-file share");
  tally.figure("runs", static_cast<std::size_t>(runs));
  tally.figure("window for the signal after \"Preparing\" (microseconds; 1.5 times the way to the inbox)",
               static_cast<std::size_t>(window.count()));

  for (int run = 0; run < runs; ++run) {
    ShareHome home;
    const int signal = run % 2 ? SIGTERM : SIGINT;
    const auto after = std::chrono::microseconds(delay(random));
    testing::RunningProgram program(home.shareOfThreeFiles(), home.environment());
    waitUntilPreparing(program);
    std::this_thread::sleep_for(after);
    program.signal(signal);
    const auto result = program.wait();
    const std::string example = std::string(signal == SIGINT ? "SIGINT" : "SIGTERM") + " after " +
                                std::to_string(after.count()) + " us -> status " + std::to_string(result.exitStatus);
    const auto entries = home.inboxEntries();
    if (!home.stagingLeftovers().empty()) tally.violation("a staging folder was left", example);
    // A status, always: a signal that comes once the share has ended must not kill it.
    if (result.endingSignal != 0) {
      tally.violation("ended by the signal instead of a status", example);
    } else if (result.exitStatus == 130) {
      if (!entries.empty()) tally.violation("status 130 but published", example);
      else tally.allowed("dismissed: status 130, nothing published");
    } else if (published(result.exitStatus)) {
      if (entries.size() != 1) tally.violation("status 0/3 without an entry", example);
      else tally.allowed("published before the dismiss: status 0/3");
    } else {
      tally.violation("ended with status " + std::to_string(result.exitStatus), example + importFailure(result));
    }
    checkInbox(home, tally, example);
    checkNoTemporaryFiles(home, tally, example);
  }
  report(tally);
}

std::string randomShareId(std::mt19937& random) {
  static const char digits[] = "0123456789abcdef";
  std::string id = "xxxxxxxx-xxxx-4xxx-8xxx-xxxxxxxxxxxx";
  for (auto& character : id) {
    if (character == 'x') character = digits[random() % 16];
  }
  return id;
}

// A data folder whose inbox holds `pending` shares: one made by plumo-share,
// the others copies of it under ids of their own.
void fillInbox(const ShareHome& home, int pending) {
  const auto seed = testing::runProgram({PLUMO_SHARE_PROGRAM, "--no-ui", "--text", "seed"}, home.environment());
  ASSERT_EQ(seed.exitStatus, 3) << seed.standardError;
  const auto entries = home.inboxEntries();
  ASSERT_EQ(entries.size(), 1u);
  std::mt19937 random(45);
  for (int copy = 1; copy < pending; ++copy) {
    const auto id = randomShareId(random);
    fs::copy(entries[0], home.inbox() / id, fs::copy_options::recursive);
    auto manifest = nlohmann::json::parse(testing::readFile(home.inbox() / id / "payload.json"));
    manifest["id"] = id;
    testing::writeFile(home.inbox() / id / "payload.json", manifest.dump());
  }
}

// Sixteen shares race for the last five places of the inbox: exactly five are
// published, the others fail as a full queue, and the inbox holds fifty whole shares.
TEST(FaultMatrix, RacersForTheLastPlaces) {
  constexpr int limit = 50;
  constexpr int places = 5;
  constexpr int racers = 16;
  const int rounds = fullSweep() ? 10 : 2;
  ShareHome seed;
  ASSERT_NO_FATAL_FAILURE(fillInbox(seed, limit - places));
  OutcomeTally tally("racers: 16 shares for the last 5 places of an inbox holding 45");
  tally.figure("rounds", static_cast<std::size_t>(rounds));
  tally.figure("racing shares", static_cast<std::size_t>(rounds * racers));

  for (int round = 0; round < rounds; ++round) {
    ShareHome home;
    fs::copy(seed.path() / "data", home.path() / "data", fs::copy_options::recursive);
    std::vector<std::unique_ptr<testing::RunningProgram>> programs;
    for (int racer = 0; racer < racers; ++racer) {
      programs.push_back(std::make_unique<testing::RunningProgram>(
          std::vector<std::string>{PLUMO_SHARE_PROGRAM, "--no-ui", "--text", "racer " + std::to_string(racer)},
          home.environment()));
    }
    int publishedShares = 0;
    for (auto& program : programs) {
      const auto result = program->wait();
      const std::string example = "round " + std::to_string(round) + " -> status " +
                                  std::to_string(result.exitStatus) + importFailure(result);
      if (published(result.exitStatus)) {
        ++publishedShares;
        tally.allowed("published");
      } else if (result.exitStatus == 1 && result.standardError.find("category=queueFull") != std::string::npos) {
        tally.allowed("refused: the queue is full (status 1)");
      } else {
        tally.violation("ended otherwise", example);
      }
    }
    const std::string roundName = "round " + std::to_string(round);
    if (publishedShares != places) {
      tally.violation("a round did not publish exactly 5", roundName + ": " + std::to_string(publishedShares));
    }
    const auto entries = home.inboxEntries();
    if (entries.size() != static_cast<std::size_t>(limit)) {
      tally.violation("the inbox does not hold 50 shares", roundName + ": " + std::to_string(entries.size()));
    }
    for (const auto& entry : entries) {
      if (const auto defect = ShareHome::defectOf(entry, std::nullopt)) tally.violation("torn inbox entry: " + *defect, roundName);
    }
    if (!home.stagingLeftovers().empty()) tally.violation("a staging folder was left", roundName);
  }
  report(tally);
}

}  // namespace
}  // namespace plumo
