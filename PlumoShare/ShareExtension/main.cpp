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
#include "ShareImportRules.h"
#include "Utf8.h"

namespace {

int printed(const char* text) {
  std::fputs(text, stdout);
  return 0;
}

// An argument may hold a line break or a terminal's escape sequence: the line shows it escaped.
int usageError(const std::string& message) {
  std::fprintf(stderr, "plumo-share: %s (see plumo-share --help)\n", plumo::Utf8::escaped(message).c_str());
  return plumo::ExtensionHost::usageError;
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
  CommandLine commandLine;
  try {
    commandLine = CommandLine::parse({argv, argv + argc});
  } catch (const CommandLine::UsageError& error) {
    return usageError(error.what());
  }
  if (commandLine.help) return printed(CommandLine::usage);
  if (commandLine.version) return printed("plumo-share " PLUMO_VERSION "\n");

  const auto bundle = commandLine.bundle.value_or(plumo::InstalledFiles::bundle());
  plumo::Localization::setUp(bundle);

  // The card's module also reads the clipboard, which it shares a display with.
  auto card = commandLine.noUi && !commandLine.clipboard
                  ? nullptr
                  : plumo::CardModule::openWindow(plumo::CardModule::installedIn(plumo::InstalledFiles::prefix()));
  std::optional<plumo::ClipboardContents> clipboardContents;
  if (commandLine.clipboard) {
    if (!card) return usageError("--clipboard needs a display");
    clipboardContents = card->readClipboard(static_cast<std::size_t>(plumo::ShareImportRules::fileLimit) + 1);
  }
  if (commandLine.noUi) card.reset();

  plumo::ExtensionItem item;
  std::optional<std::string> refusal;
  try {
    item = commandLine.extensionItem(clipboardContents);
  } catch (const CommandLine::UnshareableItem& error) {
    usageError(error.what());
    if (!card) return plumo::ExtensionHost::usageError;
    refusal = plumo::Localization::text(error.statusKey);
  } catch (const CommandLine::UsageError& error) {
    return usageError(error.what());
  }

  plumo::ExtensionHost host(refusal ? std::vector<plumo::ExtensionItem>{} : std::vector{item});
  plumo::GioWorkspace workspace(callerEnvironment);
  const auto controller = std::make_shared<plumo::ShareViewController>(bundle, &host, workspace);
  return refusal ? host.refuse(controller, *card, *refusal) : host.run(controller, card.get());
}
