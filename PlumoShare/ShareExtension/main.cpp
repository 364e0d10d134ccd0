// plumo-share: shares files, folders, links and text with the Plumo host application.
#include <cstdio>
#include <filesystem>

#include "CommandLine.h"
#include "ExtensionHost.h"
#include "GioWorkspace.h"
#include "GtkViewRealization.h"
#include "Localization.h"
#include "Logger.h"

namespace {

// Info.plist and the translations: <prefix>/share/plumo-share beside <prefix>/bin,
// in the build tree as once installed.
std::filesystem::path installedBundle() {
  std::error_code error;
  const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
  return program.parent_path().parent_path() / "share" / "plumo-share";
}

}  // namespace

int main(int argc, char** argv) {
  using plumo::CommandLine;
  plumo::ExtensionItem item;
  CommandLine commandLine;
  try {
    commandLine = CommandLine::parse({argv, argv + argc});
    if (commandLine.help) {
      std::fputs(CommandLine::usage, stdout);
      return 0;
    }
    item = commandLine.extensionItem();
  } catch (const CommandLine::UsageError& error) {
    std::fprintf(stderr, "plumo-share: %s\n%s", error.what(), CommandLine::usage);
    return plumo::ExtensionHost::usageError;
  }

  plumo::Logger::installWriter();
  const auto bundle = commandLine.bundle.value_or(installedBundle());
  plumo::Localization::setUp(bundle);

  plumo::ExtensionHost host({item});
  plumo::GioWorkspace workspace;
  const auto controller = std::make_shared<plumo::ShareViewController>(bundle, &host, workspace);
  return host.run(controller, !commandLine.noUi && plumo::GtkViewRealization::initialize());
}
