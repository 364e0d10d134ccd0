// Staging files against the system's own cp: one 12 MiB file, and a share of four.
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "SharePayloadCollector.h"
#include "SharedFileCopy.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t fileSize = 12 * 1024 * 1024;

// On the disk that holds the working folder, not a RAM-backed /tmp.
struct Workspace {
  Workspace() {
    std::string pattern = (fs::current_path() / "plumo-bench-XXXXXX").string();
    root = ::mkdtemp(pattern.data());
    for (int index = 0; index < 4; ++index) {
      const fs::path source = root / ("source-" + std::to_string(index) + ".bin");
      std::ofstream(source, std::ios::binary) << std::string(fileSize, static_cast<char>('a' + index));
      sources.push_back(source);
    }
  }
  ~Workspace() { fs::remove_all(root); }
  fs::path freshFolder() {
    const fs::path folder = root / ("target-" + std::to_string(++folders));
    fs::create_directories(folder);
    return folder;
  }
  fs::path root;
  std::vector<fs::path> sources;
  int folders = 0;
};

void run(const std::string& command) {
  if (std::system(command.c_str()) != 0) std::abort();
}

void BM_CopySharedFile12MiB(benchmark::State& state) {
  Workspace workspace;
  const auto source = plumo::Url::fileUrl(workspace.sources[0]);
  for (auto _ : state) {
    state.PauseTiming();
    const fs::path folder = workspace.freshFolder();
    state.ResumeTiming();
    plumo::SharedFileCopy::copy(source, folder, std::nullopt, 0, 0);
  }
}
BENCHMARK(BM_CopySharedFile12MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Cp12MiB(benchmark::State& state) {
  Workspace workspace;
  for (auto _ : state) {
    state.PauseTiming();
    const fs::path folder = workspace.freshFolder();
    state.ResumeTiming();
    run("cp " + workspace.sources[0].string() + " " + folder.string());
  }
}
BENCHMARK(BM_Cp12MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CpAndSync12MiB(benchmark::State& state) {
  Workspace workspace;
  for (auto _ : state) {
    state.PauseTiming();
    const fs::path folder = workspace.freshFolder();
    state.ResumeTiming();
    run("cp " + workspace.sources[0].string() + " " + folder.string() + " && sync " + folder.string() + "/*");
  }
}
BENCHMARK(BM_CpAndSync12MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

// Hands out its file URL at once, on the caller's thread.
class FileUrlProvider : public plumo::ItemProvider {
 public:
  explicit FileUrlProvider(const fs::path& path) : url_(plumo::Url::fileUrl(path)) {}
  std::vector<std::string> registeredTypeIdentifiers() const override { return {"public.data", "public.file-url"}; }
  std::optional<std::string> suggestedName() const override { return std::nullopt; }
  void loadFileRepresentation(const std::string&, FileCompletion completion) override { completion(url_, {}); }
  void loadDataRepresentation(const std::string&, DataCompletion completion) override { completion({}, {}); }
  void loadItem(const std::string&, ItemCompletion completion) override { completion(url_, {}); }

 private:
  plumo::Url url_;
};

void BM_CollectFourFiles(benchmark::State& state) {
  Workspace workspace;
  plumo::ExtensionItem item;
  item.attachments.emplace();
  for (const auto& source : workspace.sources) item.attachments->push_back(std::make_shared<FileUrlProvider>(source));
  for (auto _ : state) {
    state.PauseTiming();
    plumo::ShareStagingStore store(workspace.freshFolder());
    state.ResumeTiming();
    benchmark::DoNotOptimize(plumo::SharePayloadCollector::collect({item}, store));
  }
}
BENCHMARK(BM_CollectFourFiles)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CpFourFilesAndSync(benchmark::State& state) {
  Workspace workspace;
  std::string sources;
  for (const auto& source : workspace.sources) sources += source.string() + " ";
  for (auto _ : state) {
    state.PauseTiming();
    const fs::path folder = workspace.freshFolder();
    state.ResumeTiming();
    run("cp " + sources + folder.string() + " && sync " + folder.string() + "/* " + folder.string());
  }
}
BENCHMARK(BM_CpFourFilesAndSync)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
