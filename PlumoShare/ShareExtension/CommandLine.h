#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "ClipboardContents.h"
#include "ExtensionItem.h"
#include "UsageError.h"

namespace plumo {

// plumo-share [--text TEXT] [--type TYPE] [--bundle DIR] [--no-ui] [--clipboard] [ITEM ...]
struct CommandLine {
  // An item that cannot be shared: a path that does not exist, an address
  // without a local file, a scheme we do not take. The card says so in the
  // words of the status text under `statusKey`.
  struct UnshareableItem : UsageError {
    UnshareableItem(const std::string& message, std::string key) : UsageError(message), statusKey(std::move(key)) {}
    std::string statusKey;
  };

  static constexpr const char* usage =
      "usage: plumo-share [--text TEXT] [--type TYPE] [--bundle DIR] [--no-ui] [--clipboard] [ITEM ...]\n"
      "Shares files, folders, web links (http, https) and standard input (-) with Plumo.\n"
      "  --text TEXT    a message to go with the share\n"
      "  --type TYPE    the type of standard input: a type identifier or a MIME type\n"
      "                 (default public.plain-text)\n"
      "  --bundle DIR   read Info.plist and the translations from DIR\n"
      "  --no-ui        show no window, even when a display is available\n"
      "  --clipboard    share what the clipboard holds: text, files or an image\n"
      "                 (needs a display)\n"
      "  --version      print the version and exit\n"
      "  --help         print this help and exit\n"
      "On success, standard output gets the path of the share in Plumo's inbox.\n"
      "Exit status:\n"
      "  0    shared, and Plumo was opened\n"
      "  1    the share failed (the reason is on standard error), or it named nothing\n"
      "  2    usage error: nothing was shared\n"
      "  3    shared, but no application opened Plumo: the share waits in its inbox\n"
      "  130  dismissed or interrupted (SIGINT, SIGTERM) before the share was saved\n";

  // Throws UsageError for a command line that names nothing that can be shared;
  // nothing is staged then.
  static CommandLine parse(const std::vector<std::string>& arguments);

  // One extension item with an attachment per ITEM, in order, then those of
  // what the clipboard held. Throws UnshareableItem for an item that cannot be
  // shared, UsageError for an unknown type.
  ExtensionItem extensionItem(const std::optional<ClipboardContents>& clipboardContents = std::nullopt) const;

  std::optional<std::string> text;
  std::string type = "public.plain-text";
  std::optional<std::filesystem::path> bundle;
  bool noUi = false;
  bool clipboard = false;
  bool help = false;
  bool version = false;
  std::vector<std::string> items;
};

}  // namespace plumo
