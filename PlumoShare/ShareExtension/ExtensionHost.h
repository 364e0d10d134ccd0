#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CardWindow.h"
#include "ExitStatus.h"
#include "ExtensionContext.h"
#include "GOwned.h"
#include "ShareViewController.h"

namespace plumo {

// Runs one share request in this process: hands the controller its input
// items, shows its card, runs the main loop until the request ends, and tells
// how it ended. Without a window the status text goes to standard error, after
// the program's name, and a failure ends the request as if the user had
// dismissed the card; with one, a failure's status text goes there once the
// card is dismissed.
class ExtensionHost : public ExtensionContext {
 public:
  enum ExitStatus {
    handedOff = plumo::ExitStatus::success,
    importFailed = plumo::ExitStatus::failure,
    usageError = plumo::ExitStatus::usageError,
    notOpened = plumo::ExitStatus::savedNotOpened,
    dismissed = plumo::ExitStatus::interrupted,
  };

  using Published = std::function<void(const std::filesystem::path& share)>;

  // `published` learns the share's folder in the inbox once it is there.
  ExtensionHost(std::vector<ExtensionItem> items, std::string program, Published published = {});
  ExtensionHost(const ExtensionHost&) = delete;
  ExtensionHost& operator=(const ExtensionHost&) = delete;

  const std::vector<ExtensionItem>& inputItems() const override { return items_; }
  void completeRequest() override;
  void cancelRequest() override;

  // SIGINT and SIGTERM press the dismiss button. Without a card the request runs headless.
  int run(const std::shared_ptr<ShareViewController>& controller, CardWindow* card);
  // An item that could not even be handed to the controller, told where the
  // user is looking: the card shows `statusText`, no import starts, and the
  // dismiss ends the run as the usage error it is.
  int refuse(const std::shared_ptr<ShareViewController>& controller, CardWindow& card, const std::string& statusText);
  // Whether SIGINT or SIGTERM came during the run.
  bool signalled() const { return signalled_; }

 private:
  // The card appears; `appeared` runs once it is on the screen.
  void showCard(const std::shared_ptr<ShareViewController>& controller, CardWindow& card,
                std::function<void()> appeared);
  void reportOnTerminal(ShareViewController& controller);
  void printStatus(const ShareViewController& controller, const std::string& text) const;
  void observePhases(const std::shared_ptr<ShareViewController>& controller, bool windowed);
  void end(int status);
  int runUntilTheRequestEnds(ShareViewController& controller);

  std::vector<ExtensionItem> items_;
  std::string program_;
  Published published_;
  GOwned<GMainLoop> loop_;
  int exitStatus_ = dismissed;
  bool refused_ = false;
  bool signalled_ = false;
  Button* dismissButton_ = nullptr;  // the running request's, which a signal presses
  ShareViewController::Phase phase_ = ShareViewController::Phase::created;
};

}  // namespace plumo
