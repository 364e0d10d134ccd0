// plumo-share: shares files, folders, links and text with the Plumo host application.
#include <cstdio>
#include <filesystem>

#include "CardModule.h"
#include "CommandLine.h"
#include "ExtensionHost.h"
#include "GioWorkspace.h"
#include "InstalledFiles.h"
#include "Localization.h"
#include "Logger.h"
#include "ProcessStart.h"
#include "Utf8.h"

namespace {

int printed(const char* text) {
  std::fputs(text, stdout);
  return 0;
}

// The first code of ours to run: the dynamic loader calls the program's preinit functions
// before the initializers of any library, so SIGINT and SIGTERM wait, held, for the main loop
// from here on instead of ending the process.
[[gnu::used, gnu::section(".preinit_array")]] constexpr void (*holdSignalsBeforeLibraries)() =
    &plumo::ProcessStart::holdTerminationSignals;

}  // namespace

int main(int argc, char** argv) {
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
    // An argument may hold a line break or a terminal's escape sequence: the line shows it escaped.
    std::fprintf(stderr, "plumo-share: %s (see plumo-share --help)\n", plumo::Utf8::escaped(error.what()).c_str());
    return plumo::ExtensionHost::usageError;
  }

  const auto bundle = commandLine.bundle.value_or(plumo::InstalledFiles::bundle());
  plumo::Localization::setUp(bundle);

  plumo::ExtensionHost host({item});
  plumo::GioWorkspace workspace(callerEnvironment);
  const auto controller = std::make_shared<plumo::ShareViewController>(bundle, &host, workspace);
  const auto card =
      commandLine.noUi ? nullptr : plumo::CardModule::openWindow(plumo::CardModule::installedIn(plumo::InstalledFiles::prefix()));
  return host.run(controller, card.get());
}
