#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "UsageError.h"

namespace plumo {

// plumo-inbox [--bundle DIR] COMMAND [ARGUMENT ...]
struct InboxCommandLine {
  enum class Command { list, show, take, remove, watch, open };

  static constexpr const char* usage =
      "usage: plumo-inbox [--bundle DIR] COMMAND\n"
      "Reads the Plumo inbox: the shares that plumo-share published for the host application.\n"
      "  list [--json]   one line per pending share, oldest first\n"
      "  show ID         the share's manifest and the paths of its files\n"
      "  take ID DEST    moves the share to DEST/ID and prints that path\n"
      "  remove ID       deletes the share\n"
      "  watch           prints the id of each pending share, then of each new one\n"
      "  open URL        prints the path of the share a hand-off URL names\n"
      "  --bundle DIR    read Info.plist from DIR\n"
      "  --help          this text; --version: the program's version\n"
      "Exit status: 0 done, 1 failed (the reason is on standard error), 2 usage error,\n"
      "130 interrupted while waiting for the inbox lock.\n";

  // Throws UsageError for a command line that names no command this program
  // knows, or gives it the wrong arguments.
  static InboxCommandLine parse(const std::vector<std::string>& arguments);

  Command command = Command::list;
  std::vector<std::string> operands;  // ID, DEST or URL, as the command takes them
  bool json = false;
  std::optional<std::filesystem::path> bundle;
  bool help = false;
  bool version = false;
};

}  // namespace plumo
