// plumo-share-native-host: the browser extension's way into the share. The
// browser starts it and sends share requests over native messaging; each
// runs through the same flow as plumo-share and gets one reply.
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "BuildIdentity.h"
#include "ExitStatus.h"
#include "InstalledFiles.h"
#include "NativeHostManifests.h"
#include "NativeMessageChannel.h"
#include "OptionParser.h"
#include "ProcessStart.h"
#include "ShareFrontEnd.h"
#include "ShareReply.h"
#include "ShareRequest.h"
#include "UsageError.h"
#include "Utf8.h"

namespace {

constexpr const char* usage =
    "usage: plumo-share-native-host [--register-user]\n"
    "Browsers start this program to share with Plumo from their extension.\n"
    "  --register-user  make it known to Chromium, Google Chrome and Firefox for this user\n"
    "  --version        print the version and exit\n"
    "  --help           print this help and exit\n";

int registerUser() {
  try {
    for (const auto& manifest : plumo::NativeHostManifests::registerUser(plumo::InstalledFiles::bundle())) {
      std::printf("%s\n", manifest.c_str());
    }
    return plumo::ExitStatus::success;
  } catch (const std::filesystem::filesystem_error& error) {
    std::fprintf(stderr, "plumo-share-native-host: %s\n", error.what());
    return plumo::ExitStatus::failure;
  }
}

// Standard output is the protocol's alone: the replies get a descriptor of their
// own, and whatever else would write to standard output (a library, a child)
// writes to standard error.
// -1 when it cannot: a request whose reply could not reach the browser must not be shared.
int takeStandardOutput() {
  const int replies = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (replies == -1 || ::dup2(STDERR_FILENO, STDOUT_FILENO) == -1) {
    std::fprintf(stderr, "plumo-share-native-host: standard output: %s\n", std::strerror(errno));
    if (replies != -1) ::close(replies);
    return -1;
  }
  return replies;
}

// One reply for one request; `signalled` learns whether SIGINT or SIGTERM came during it.
// No card: the browser tells the outcome, and a window of ours would open behind it.
std::string answer(const plumo::ShareFrontEnd& frontEnd, std::string message, bool& signalled) {
  using plumo::ShareReply;
  try {
    auto request = plumo::ShareRequest::parse(message);
    message = {};
    frontEnd.useLanguage(request.language);
    const auto ended = frontEnd.run({std::move(request.item)}, nullptr);
    signalled = ended.signalled;
    return ShareReply::to(ended);
  } catch (const plumo::ShareRequest::Invalid& invalid) {
    return ShareReply::invalid(invalid.what());
  } catch (const std::exception& error) {  // nothing a request holds may end the host without a reply
    return ShareReply::invalid(error.what());
  }
}

// Every request gets one reply, until the browser closes our standard input or reads
// no more, or a signal ends the host: between two requests at once, during one once
// it is answered.
int serve(const plumo::ShareFrontEnd& frontEnd, plumo::NativeMessageChannel& channel) try {
  while (true) {
    std::optional<std::string> message;
    try {
      message = channel.read();
    } catch (const plumo::NativeMessageChannel::BrokenFrame& broken) {
      std::fprintf(stderr, "plumo-share-native-host: %s\n", broken.what());
      channel.write(plumo::ShareReply::invalid(broken.what()));
      return plumo::ExitStatus::failure;
    }
    if (!message) return plumo::ExitStatus::success;
    bool signalled = false;
    const std::string reply = answer(frontEnd, std::move(*message), signalled);
    channel.write(reply);
    if (signalled) return plumo::ExtensionHost::dismissed;
  }
} catch (const std::system_error&) {  // the browser reads no more
  return plumo::ExitStatus::failure;
}

}  // namespace

int main(int argc, char** argv) {
  plumo::ShareFrontEnd frontEnd("plumo-share-native-host");
  bool help = false;
  bool version = false;
  bool registering = false;
  try {
    // A browser's arguments (the extension's origin, the manifest's path; later ones
    // perhaps flags of its own) name nothing to do: options come first, from a person.
    if (argc > 1 && argv[1][0] == '-') {
      plumo::OptionParser()
          .flag("--help", help)
          .flag("--version", version)
          .flag("--register-user", registering)
          .parse({argv, argv + argc});
    }
  } catch (const plumo::UsageError& error) {
    std::fprintf(stderr, "plumo-share-native-host: %s (see plumo-share-native-host --help)\n",
                 plumo::Utf8::escaped(error.what()).c_str());
    return plumo::ExitStatus::usageError;
  }
  if (help) return plumo::OptionParser::printed(usage);
  if (version) return plumo::OptionParser::printed("plumo-share-native-host " PLUMO_VERSION "\n");
  if (registering) return registerUser();

  const int replies = takeStandardOutput();
  if (replies == -1) return plumo::ExitStatus::failure;
  // An image arrives as megabytes of base64: a wider pipe hands it over in fewer turns.
  (void)::fcntl(STDIN_FILENO, F_SETPIPE_SZ, 1 << 20);
  // SIGINT and SIGTERM end the wait between two requests; during one they dismiss it.
  plumo::NativeMessageChannel channel(STDIN_FILENO, replies, plumo::ProcessStart::terminationSignalFile());
  frontEnd.useBundle(plumo::InstalledFiles::bundle());
  return serve(frontEnd, channel);
}
