#include "ShareFrontEnd.h"

#include "CardModule.h"
#include "GioWorkspace.h"
#include "InstalledFiles.h"
#include "Localization.h"
#include "Logger.h"
#include "ProcessStart.h"
#include "ShareViewController.h"

namespace plumo {

namespace {

// The first code of ours to run in every front end: the dynamic loader calls the program's
// preinit functions before the initializers of any library, so SIGINT and SIGTERM wait, held,
// for the main loop from here on instead of ending the process.
[[gnu::used, gnu::section(".preinit_array")]] constexpr void (*holdSignalsBeforeLibraries)() =
    &ProcessStart::holdTerminationSignals;

// The caller's environment is taken once the standard streams are sound and
// before anything of ours changes it.
std::vector<std::string> startProcess() {
  ProcessStart::openClosedStandardStreams();
  ProcessStart::failWritesToClosedPipes();
  Logger::installWriter();
  return ProcessStart::callerEnvironment();
}

}  // namespace

ShareFrontEnd::ShareFrontEnd(std::string program)
    : program_(std::move(program)), callerEnvironment_(startProcess()) {}

void ShareFrontEnd::useBundle(std::filesystem::path bundle) {
  bundle_ = std::move(bundle);
  Localization::setUp(bundle_);
}

void ShareFrontEnd::useLanguage(const std::string& language) const { Localization::setUp(bundle_, language); }

std::unique_ptr<CardWindow> ShareFrontEnd::openCard() {
  return CardModule::openWindow(CardModule::installedIn(InstalledFiles::prefix()));
}

// The card's window goes with the request.
ShareFrontEnd::Ended ShareFrontEnd::run(std::vector<ExtensionItem> items, std::unique_ptr<CardWindow> card,
                                        const ExtensionHost::Published& published) const {
  ExtensionHost host(std::move(items), program_, published);
  GioWorkspace workspace(callerEnvironment_);
  const auto controller = std::make_shared<ShareViewController>(bundle_, &host, workspace);
  const auto status = static_cast<ExtensionHost::ExitStatus>(host.run(controller, card.get()));
  const bool inInbox = status == ExtensionHost::handedOff || status == ExtensionHost::notOpened;
  return {status, inInbox ? controller->staged()->id() : "", controller->failure(), controller->status->stringValue(),
          host.signalled()};
}

ExtensionHost::ExitStatus ShareFrontEnd::refuse(CardWindow& card, const std::string& statusText) const {
  ExtensionHost host({}, program_);
  GioWorkspace workspace(callerEnvironment_);
  const auto controller = std::make_shared<ShareViewController>(bundle_, &host, workspace);
  return static_cast<ExtensionHost::ExitStatus>(host.refuse(controller, card, statusText));
}

}  // namespace plumo
