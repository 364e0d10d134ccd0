// plumo-share: shares files, folders, links and text with the Plumo host application.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "BuildIdentity.h"
#include "CardModule.h"
#include "CommandLine.h"
#include "FileDescriptor.h"
#include "InstalledFiles.h"
#include "OptionParser.h"
#include "Localization.h"
#include "ProcessStart.h"
#include "ShareFrontEnd.h"
#include "ShareImportRules.h"
#include "Utf8.h"

namespace {

// An argument may hold a line break or a terminal's escape sequence: the line shows it escaped.
int usageError(const std::string& message) {
  std::fprintf(stderr, "plumo-share: %s (see plumo-share --help)\n", plumo::Utf8::escaped(message).c_str());
  return plumo::ExtensionHost::usageError;
}

// The share is published whatever becomes of standard output: the hand-off goes on.
void printSharePath(const std::filesystem::path& share) {
  if (std::printf("%s\n", share.c_str()) < 0 || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "plumo-share: the share's path could not be written: %s\n", std::strerror(errno));
  }
}

}  // namespace

int main(int argc, char** argv) {
  plumo::ShareFrontEnd frontEnd("plumo-share");

  using plumo::CommandLine;
  CommandLine commandLine;
  try {
    commandLine = CommandLine::parse({argv, argv + argc});
  } catch (const plumo::UsageError& error) {
    return usageError(error.what());
  }
  if (commandLine.help) return plumo::OptionParser::printed(CommandLine::usage);
  if (commandLine.version) return plumo::OptionParser::printed("plumo-share " PLUMO_VERSION "\n");
  frontEnd.useBundle(commandLine.bundle.value_or(plumo::InstalledFiles::bundle()));

  // The card's module also reads the clipboard, which it shares a display with.
  auto card = commandLine.noUi && !commandLine.clipboard ? nullptr : plumo::ShareFrontEnd::openCard();
  std::optional<plumo::ClipboardContents> clipboardContents;
  if (commandLine.clipboard) {
    if (!card && !plumo::CardModule::displayPresent()) return usageError("--clipboard needs a display");
    if (!card) {
      std::fputs("plumo-share: the clipboard is read through the card's module, which could not be loaded\n", stderr);
      return plumo::ExtensionHost::importFailed;
    }
    // A dismiss ends the wait; the signal stays for the share to take.
    const plumo::FileDescriptor dismiss(plumo::ProcessStart::terminationSignalFile());
    clipboardContents =
        card->readClipboard(static_cast<std::size_t>(plumo::ShareImportRules::fileLimit) + 1, dismiss.get());
  }
  if (commandLine.noUi) card.reset();

  plumo::ExtensionItem item;
  try {
    item = commandLine.extensionItem(clipboardContents);
  } catch (const CommandLine::UnshareableItem& error) {
    usageError(error.what());
    return card ? frontEnd.refuse(*card, plumo::Localization::text(error.statusKey)) : plumo::ExtensionHost::usageError;
  } catch (const plumo::UsageError& error) {
    return usageError(error.what());
  }
  return frontEnd.run({item}, std::move(card), printSharePath).status;
}
