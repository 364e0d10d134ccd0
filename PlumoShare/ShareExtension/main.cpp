// plumo-share: shares files, folders, links and text with the Plumo host application.
#include <cstdio>
#include <filesystem>

#include "CommandLine.h"
#include "ExtensionHost.h"
#include "GioWorkspace.h"
#include "GtkViewRealization.h"
#include "Localization.h"
#include "Logger.h"
#include "ProcessStart.h"

namespace {

// Info.plist and the translations: <prefix>/share/plumo-share beside <prefix>/bin,
// in the build tree as once installed.
std::filesystem::path installedBundle() {
  std::error_code error;
  const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
  return program.parent_path().parent_path() / "share" / "plumo-share";
}

int printed(const char* text) {
  std::fputs(text, stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  plumo::ProcessStart::holdTerminationSignals();
  plumo::ProcessStart::openClosedStandardStreams();
  plumo::ProcessStart::failWritesToClosedPipes();
  plumo::Logger::installWriter();
  const auto callerEnvironment = plumo::ProcessStart::callerEnvironment();

  using plumo::CommandLine;
  plumo::ExtensionItem item;
  CommandLine commandLine;
  try {
    commandLine = CommandLine::parse({argv, argv + argc});
    if (commandLine.help) return printed(CommandLine::usage);
    if (commandLine.version) return printed("plumo-share " PLUMO_VERSION "\n");
    item = commandLine.extensionItem();
  } catch (const CommandLine::UsageError& error) {
    std::fprintf(stderr, "plumo-share: %s (see plumo-share --help)\n", error.what());
    return plumo::ExtensionHost::usageError;
  }

  const auto bundle = commandLine.bundle.value_or(installedBundle());
  plumo::Localization::setUp(bundle);

  plumo::ExtensionHost host({item});
  plumo::GioWorkspace workspace(callerEnvironment);
  const auto controller = std::make_shared<plumo::ShareViewController>(bundle, &host, workspace);
  return host.run(controller, !commandLine.noUi && plumo::GtkViewRealization::initialize());
}
