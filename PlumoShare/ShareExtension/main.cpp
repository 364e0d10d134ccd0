// plumo-share: shares files, folders, links and text with the Plumo host application.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "CommandLine.h"
#include "InstalledFiles.h"
#include "ShareFrontEnd.h"
#include "Utf8.h"

namespace {

int printed(const char* text) {
  std::fputs(text, stdout);
  return 0;
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

  frontEnd.useBundle(commandLine.bundle.value_or(plumo::InstalledFiles::bundle()));
  return frontEnd.run({item}, !commandLine.noUi, printSharePath).status;
}
