#include "ExtensionHost.h"

#include <csignal>
#include <cstdio>
#include <glib-unix.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "FileDescriptor.h"
#include "Localization.h"
#include "MainThread.h"
#include "ProcessStart.h"
#include "ShareInbox.h"

namespace plumo {

using Phase = ShareViewController::Phase;

ExtensionHost::ExtensionHost(std::vector<ExtensionItem> items, std::string program, Published published)
    : items_(std::move(items)),
      program_(std::move(program)),
      published_(std::move(published)),
      loop_(g_main_loop_new(nullptr, FALSE)) {}

void ExtensionHost::completeRequest() { end(handedOff); }

// A dismiss keeps what already happened: a failure, or a share that no application opened.
// No default: a new phase must be given its status here.
void ExtensionHost::cancelRequest() {
  switch (phase_) {
    case Phase::created:
      return end(refused_ ? usageError : dismissed);
    case Phase::importing:
    case Phase::handedOff:
      return end(dismissed);
    case Phase::failed:
      return end(importFailed);
    case Phase::published:
    case Phase::handOffFailed:
      return end(notOpened);
  }
}

void ExtensionHost::end(int status) {
  exitStatus_ = status;
  g_main_loop_quit(loop_.get());
}

int ExtensionHost::run(const std::shared_ptr<ShareViewController>& controller, CardWindow* card) {
  controller->loadView();
  // A signal that came before the share began is a dismiss before anything is staged, whatever
  // the order in which the main loop would see it and the start of the import.
  if (ProcessStart::takeHeldTerminationSignals()) {
    signalled_ = true;
    return dismissed;
  }
  observePhases(controller, card != nullptr);
  if (card) {
    showCard(controller, *card, [controller] { controller->viewDidAppear(); });
  } else {
    reportOnTerminal(*controller);
    MainThread::post([controller] { controller->viewDidAppear(); });
  }
  const int status = runUntilTheRequestEnds(*controller);
  controller->endRequest();
  // The card showed the failure; whoever started the share (a file manager's plugin) learns it here.
  if (card && status == importFailed) printStatus(*controller, controller->status->stringValue());
  return status;
}

int ExtensionHost::refuse(const std::shared_ptr<ShareViewController>& controller, CardWindow& card,
                          const std::string& statusText) {
  refused_ = true;
  controller->loadView();
  controller->status->setStringValue(statusText);
  showCard(controller, card, [] {});
  const int status = runUntilTheRequestEnds(*controller);
  controller->endRequest();
  return status;
}

// SIGINT and SIGTERM press the dismiss button: read from a signalfd in the main
// loop, as they stay blocked in every thread.
int ExtensionHost::runUntilTheRequestEnds(ShareViewController& controller) {
  dismissButton_ = controller.dismiss.get();
  const FileDescriptor signals(ProcessStart::terminationSignalFile());
  const auto pressDismiss = +[](int file, GIOCondition, gpointer data) -> gboolean {
    signalfd_siginfo taken{};
    while (::read(file, &taken, sizeof taken) == sizeof taken) {
    }
    auto* host = static_cast<ExtensionHost*>(data);
    host->signalled_ = true;
    host->dismissButton_->performClick();
    return G_SOURCE_CONTINUE;
  };
  const guint watch = signals.isOpen() ? g_unix_fd_add(signals.get(), G_IO_IN, pressDismiss, this) : 0;
  g_main_loop_run(loop_.get());
  if (watch != 0) g_source_remove(watch);
  return exitStatus_;
}

void ExtensionHost::showCard(const std::shared_ptr<ShareViewController>& controller, CardWindow& card,
                             std::function<void()> appeared) {
  controller->viewWillAppear();
  card.show(Localization::text("title"), controller->view(), controller->dismiss, std::move(appeared));
}

void ExtensionHost::reportOnTerminal(ShareViewController& controller) {
  controller.status->setObserver([this, &controller](const std::string& text) { printStatus(controller, text); });
}

// A failure's line adds the system's reason, where there is one.
void ExtensionHost::printStatus(const ShareViewController& controller, const std::string& text) const {
  const auto reason = controller.phase() == Phase::failed ? controller.failureReason() : std::nullopt;
  std::fprintf(stderr, "%s: %s%s\n", program_.c_str(), text.c_str(), reason ? (" (" + *reason + ")").c_str() : "");
}

// The posted click holds the controller weakly: it may come after the request has ended.
void ExtensionHost::observePhases(const std::shared_ptr<ShareViewController>& controller, bool windowed) {
  controller->setPhaseObserver([this, weak = std::weak_ptr(controller), windowed](Phase phase) {
    phase_ = phase;
    const auto shown = weak.lock();
    if (phase == Phase::published && published_) {
      published_(ShareInbox(shown->staged()->root()).shareFolder(shown->staged()->id()));
    }
    if (!windowed && (phase == Phase::failed || phase == Phase::handOffFailed)) {
      MainThread::post([weak] {
        if (const auto alive = weak.lock()) alive->dismiss->performClick();
      });
    }
  });
}

}  // namespace plumo
