// Publishing an empty share: alone, and with eight processes publishing into one inbox.
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

#include "ShareStagingStore.h"

namespace fs = std::filesystem;

namespace {

// On the disk that holds the working folder, not a RAM-backed /tmp, so that syncs cost what they cost.
fs::path freshRoot() {
  std::string pattern = (fs::current_path() / "plumo-bench-XXXXXX").string();
  return fs::path(::mkdtemp(pattern.data())) / "PlumoShare";
}

// Takes the share out of the inbox as a host would, so the queue never fills.
void publishAndConsume(const fs::path& root, const fs::path& consumed) {
  plumo::ShareStagingStore store(root);
  store.publish(plumo::SharePayload(store.id(), "", {}, {}, 0));
  fs::rename(root / "inbox" / store.id(), consumed / store.id());
}

void BM_PublishEmptyShare(benchmark::State& state) {
  const fs::path root = freshRoot();
  const fs::path consumed = root / "consumed";
  fs::create_directories(consumed);
  for (auto _ : state) publishAndConsume(root, consumed);
  fs::remove_all(root.parent_path());
}
BENCHMARK(BM_PublishEmptyShare)->Unit(benchmark::kMicrosecond)->MinTime(1.0);

// Each iteration: eight processes publish 25 shares each at the same time.
void BM_PublishEmptyShareEightProcesses(benchmark::State& state) {
  constexpr int processes = 8;
  constexpr int sharesEach = 25;
  const fs::path root = freshRoot();
  const fs::path consumed = root / "consumed";
  fs::create_directories(consumed);
  for (auto _ : state) {
    std::vector<pid_t> children;
    for (int child = 0; child < processes; ++child) {
      const pid_t pid = ::fork();
      if (pid == 0) {
        for (int share = 0; share < sharesEach; ++share) publishAndConsume(root, consumed);
        ::_exit(0);
      }
      children.push_back(pid);
    }
    for (const pid_t pid : children) ::waitpid(pid, nullptr, 0);
  }
  state.SetItemsProcessed(state.iterations() * processes * sharesEach);
  fs::remove_all(root.parent_path());
}
BENCHMARK(BM_PublishEmptyShareEightProcesses)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
