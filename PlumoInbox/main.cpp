// plumo-inbox: the host application's side of the inbox that plumo-share publishes into.
#include <cstdio>
#include <optional>
#include <system_error>

#include "BuildIdentity.h"
#include "Cancellation.h"
#include "ExitStatus.h"
#include "InboxCommandLine.h"
#include "InboxCommands.h"
#include "InstalledFiles.h"
#include "OptionParser.h"
#include "ProcessStart.h"
#include "ShareBundle.h"
#include "SignalStop.h"
#include "Utf8.h"

namespace {

using plumo::InboxCommandLine;

using plumo::ExitStatus;

// Reasons echo arguments and the names of shares, which anybody may have chosen: one line, shown as it is.
int fail(const std::string& reason) {
  std::fprintf(stderr, "plumo-inbox: %s\n", plumo::Utf8::escaped(reason).c_str());
  return ExitStatus::failure;
}

// Only the commands that wait (for the lock, for new shares) turn SIGINT and SIGTERM into a stop.
bool waits(InboxCommandLine::Command command) {
  using Command = InboxCommandLine::Command;
  return command == Command::take || command == Command::remove || command == Command::watch;
}

void run(const InboxCommandLine& commandLine, const plumo::InboxCommands& commands, const std::stop_token& stop) {
  using Command = InboxCommandLine::Command;
  const auto& operands = commandLine.operands;
  switch (commandLine.command) {
    case Command::list: return commands.list(commandLine.json);
    case Command::show: return commands.show(operands[0]);
    case Command::take: return commands.take(operands[0], operands[1], stop);
    case Command::remove: return commands.remove(operands[0], stop);
    case Command::watch: return commands.watch(stop);
    case Command::open: return commands.open(operands[0]);
  }
}

}  // namespace

int main(int argc, char** argv) {
  InboxCommandLine commandLine;
  try {
    commandLine = InboxCommandLine::parse({argv, argv + argc});
  } catch (const plumo::UsageError& error) {
    std::fprintf(stderr, "plumo-inbox: %s\nTry 'plumo-inbox --help'.\n", plumo::Utf8::escaped(error.what()).c_str());
    return ExitStatus::usageError;
  }
  if (commandLine.help) return plumo::OptionParser::printed(InboxCommandLine::usage);
  if (commandLine.version) return plumo::OptionParser::printed("plumo-inbox " PLUMO_VERSION "\n");

  // A reader that went away is a failed write, reported, not a silent death.
  plumo::ProcessStart::failWritesToClosedPipes();
  std::optional<plumo::SignalStop> signalStop;
  if (waits(commandLine.command)) signalStop.emplace();

  const plumo::ShareBundle bundle(commandLine.bundle.value_or(plumo::InstalledFiles::bundle()));
  const auto root = bundle.storeRoot();
  if (!root) return fail("the bundle names no usable group container");
  try {
    const plumo::InboxCommands commands(plumo::ShareInbox(*root), bundle.scheme(), stdout);
    run(commandLine, commands, signalStop ? signalStop->token() : std::stop_token());
  } catch (const std::system_error& error) {
    if (plumo::isCancellation(error.code())) {
      std::fputs("plumo-inbox: interrupted\n", stderr);
      return ExitStatus::interrupted;
    }
    return fail(error.what());
  } catch (const std::exception& error) {
    return fail(error.what());
  }
  return ExitStatus::success;
}
