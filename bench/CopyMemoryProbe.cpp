// Peak resident memory of one 12 MiB SharedFileCopy::copy above the process's baseline,
// in a fresh process, so that no earlier allocation hides the copy's own peak.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "SharedFileCopy.h"

namespace fs = std::filesystem;

namespace {

long statusKilobytes(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(field.size()));
  }
  return -1;
}

}  // namespace

int main() {
  std::string pattern = (fs::current_path() / "plumo-memory-XXXXXX").string();
  const fs::path root = ::mkdtemp(pattern.data());
  {
    std::ofstream source(root / "source.bin", std::ios::binary);
    const std::string chunk(65'536, 'x');
    for (int index = 0; index < 192; ++index) source << chunk;  // 12 MiB without holding it
  }
  std::ofstream("/proc/self/clear_refs") << "5";  // resets the high-water mark to the current size
  const long baseline = statusKilobytes("VmRSS:");
  plumo::SharedFileCopy::copy(plumo::Url::fileUrl(root / "source.bin"), root, std::nullopt, 0, 0);
  const long peak = statusKilobytes("VmHWM:");
  fs::remove_all(root);
  std::printf("SharedFileCopy::copy of 12 MiB: peak %.2f MiB above a baseline of %.2f MiB\n", (peak - baseline) / 1024.0,
              baseline / 1024.0);
  return 0;
}
