#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ExtensionHost.h"
#include "ExtensionItem.h"
#include "ShareImportFailure.h"

namespace plumo {

// What every front end of the share does around the one flow: the process's
// first steps, the texts of the bundle, the card, and one request run on the
// main loop to its end. The front ends differ only in how they build the items
// and how they tell the outcome.
class ShareFrontEnd {
 public:
  // How a request ended, from the flow's end state.
  struct Ended {
    ExtensionHost::ExitStatus status;
    std::string shareId;  // of a share that was published
    std::optional<ShareImportFailure> failure;
    std::string statusText;
    bool signalled;  // SIGINT or SIGTERM came during the request: the process is to end
  };

  // First thing in main, before any library opens a descriptor, starts a thread
  // or logs: closed standard streams are reopened, a closed pipe fails a write,
  // log lines get our writer. SIGINT and SIGTERM are blocked from the program's
  // first code (a preinit function of this unit) in every thread, for good: they
  // are taken from a signalfd where the program waits for them.
  // `program` names the program in the lines it writes on standard error.
  explicit ShareFrontEnd(std::string program);

  // Info.plist and the catalogs; once, before the first request.
  void useBundle(std::filesystem::path bundle);
  // The texts of the next requests in `language` (a language tag), then English;
  // in the user's language again when it is empty.
  void useLanguage(const std::string& language) const;

  // The card's window where a display is present; none otherwise, or when the
  // card's module cannot be loaded (logged).
  static std::unique_ptr<CardWindow> openCard();

  // Runs one request with the card, headless without one. `published` gets the
  // share's folder in the inbox as soon as it is published.
  Ended run(std::vector<ExtensionItem> items, std::unique_ptr<CardWindow> card,
            const ExtensionHost::Published& published = {}) const;
  // An item that cannot be shared, told on the card: `statusText` until the
  // user dismisses it, no import; the run ends as a usage error.
  ExtensionHost::ExitStatus refuse(CardWindow& card, const std::string& statusText) const;

 private:
  std::string program_;
  std::vector<std::string> callerEnvironment_;
  std::filesystem::path bundle_;
};

}  // namespace plumo
