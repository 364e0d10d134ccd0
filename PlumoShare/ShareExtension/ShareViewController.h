#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "BuildIdentity.h"
#include "Button.h"
#include "ExtensionContext.h"
#include "Image.h"
#include "ImageView.h"
#include "Label.h"
#include "Logger.h"
#include "ShareBundle.h"
#include "ShareImportFailure.h"
#include "SharePayload.h"
#include "ShareStagingStore.h"
#include "View.h"
#include "Workspace.h"

namespace plumo {

// Drives one share request on the main thread: from the card's first
// appearance through staging, collecting and publishing the share to waking
// the host application, and the card's one button, which dismisses it.
class ShareViewController : public std::enable_shared_from_this<ShareViewController> {
 public:
  struct Size {
    double width;
    double height;
  };
  static constexpr Size cardSize{236, 124};

  // Where the request stands, for the host that shows it.
  enum class Phase { created, importing, published, handedOff, failed, handOffFailed };

  // `bundle` holds Info.plist; `context` is absent when no extension host runs the controller.
  ShareViewController(std::filesystem::path bundle, ExtensionContext* context, Workspace& workspace);
  ShareViewController(const ShareViewController&) = delete;
  ShareViewController& operator=(const ShareViewController&) = delete;

  const std::shared_ptr<Label> status = Label::labelWithString("");
  const std::shared_ptr<Button> dismiss = std::make_shared<Button>();

  // From Info.plist, read once when the controller is made.
  const ShareBundle& bundle() const { return bundle_; }

  // Builds the card: the content's symbol, an arrow and the host's icon over
  // the status line, and the dismiss button in the lower right corner.
  void loadView();
  const std::shared_ptr<View>& view() const { return view_; }
  // Only a card that is shown looks up the host's icon: a headless share never
  // asks the desktop for it.
  void viewWillAppear();
  void viewDidAppear();

  // The symbol of the first shared type that names a kind of content; "doc" when none does.
  std::optional<Image> sourceSymbol() const;
  static std::optional<Image> symbol(const std::string& name);
  static std::shared_ptr<ImageView> iconView(std::optional<Image> image);
  static std::shared_ptr<ImageView> arrowView();

  // The request is over (its host returns): steps posted earlier do nothing when they
  // come, and the context is not called again.
  void endRequest();

  Phase phase() const { return phase_; }
  void setPhaseObserver(std::function<void(Phase)> observer) { phaseObserver_ = std::move(observer); }
  const std::shared_ptr<ShareStagingStore>& staged() const { return staged_; }
  // What the system said about the last failure ("No space left on device"), where it said anything.
  const std::optional<std::string>& failureReason() const { return failureReason_; }
  // The category of the failure shown, once the request has failed.
  const std::optional<ShareImportFailure>& failure() const { return failure_; }

 private:
  struct ImportTask {
    std::stop_source cancellation;
    std::jthread collection;
  };

  // Runs `step` on a later turn of the main loop, unless the request has ended by then.
  void post(std::function<void()> step);
  void startImport();
  void runImport();
  void collect(std::vector<ExtensionItem> items);
  void finishImport(std::size_t attachmentCount, std::error_code unsynced);
  void failImport(const std::string& stage, const std::exception_ptr& failure);
  void cancelShare();
  void stopCollection();
  void openPlumo(const std::string& shareId);
  std::optional<Image> hostAppIcon() const;
  void enter(Phase phase);
  bool cancelled() const { return task_ && task_->cancellation.stop_requested(); }

  std::unique_ptr<ImportTask> task_;
  bool started_ = false;
  bool ended_ = false;
  // Dismissed once the share was published: the import finishes first (its line, the hand-off).
  bool dismissedAfterPublish_ = false;
  std::shared_ptr<ShareStagingStore> staged_;
  const Logger logger_{PLUMO_HOST_BUNDLE_ID ".share", "import"};
  // Faults that would otherwise pass unseen, apart from the import's fixed lines.
  const Logger diagnostics_{PLUMO_HOST_BUNDLE_ID ".share", "diagnostics"};

  ShareBundle bundle_;
  ExtensionContext* context_;
  Workspace& workspace_;
  std::shared_ptr<View> view_;
  std::shared_ptr<ImageView> hostIcon_;
  Phase phase_ = Phase::created;
  std::optional<std::string> failureReason_;
  std::optional<ShareImportFailure> failure_;
  std::function<void(Phase)> phaseObserver_;
};

}  // namespace plumo
