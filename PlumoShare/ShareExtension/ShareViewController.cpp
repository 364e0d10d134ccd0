#include "ShareViewController.h"

#include <cinttypes>
#include <cstdio>

#include "Cancellation.h"
#include "ErrorDomain.h"
#include "GroupContainer.h"
#include "Localization.h"
#include "MainThread.h"
#include "ShareImportFailure.h"
#include "SharePayloadCollector.h"
#include "Url.h"

namespace plumo {

namespace {

std::string text(const std::string& key) { return Localization::text(key); }

template <class... Arguments>
std::string formatted(const char* format, Arguments... arguments) {
  const int length = std::snprintf(nullptr, 0, format, arguments...);
  std::string line(static_cast<std::size_t>(length) + 1, '\0');
  std::snprintf(line.data(), line.size(), format, arguments...);
  line.pop_back();
  return line;
}

}  // namespace

ShareViewController::ShareViewController(std::filesystem::path bundle, ExtensionContext* context,
                                         Workspace& workspace)
    : info_(std::move(bundle) / "Info.plist"), context_(context), workspace_(workspace) {
  confirm->action = [this] { cancelShare(); };
}

std::string ShareViewController::group() const { return info_.string("PlumoAppGroup").value_or(""); }

std::string ShareViewController::scheme() const { return info_.string("PlumoScheme").value_or("plumo"); }

std::string ShareViewController::hostBundleId() const {
  return info_.string("PlumoHostBundleId").value_or(PLUMO_HOST_BUNDLE_ID);
}

void ShareViewController::viewDidAppear() {
  if (started_) return;
  started_ = true;
  startImport();
}

void ShareViewController::startImport() {
  if (task_) return;
  enter(Phase::importing);
  status->setStringValue(text("preparing"));
  task_ = std::make_unique<ImportTask>();
  MainThread::post([self = shared_from_this()] { self->runImport(); });
}

// Steps up to the collection, which goes on on a worker thread.
void ShareViewController::runImport() {
  std::string stage = "container";
  try {
    const auto container = GroupContainer::path(group());
    if (!container) throw std::system_error(ShareImportFailure::unavailable);
    staged_ = std::make_shared<ShareStagingStore>(*container / "PlumoShare");
    stage = "provider";
    std::vector<ExtensionItem> items = context_ ? context_->inputItems() : std::vector<ExtensionItem>{};
    std::size_t providers = 0;
    for (const auto& item : items) providers += item.attachmentCount();
    logger_.info(formatted("collect start itemCount=%" PRId64 " providerCount=%" PRId64,
                           static_cast<std::int64_t>(items.size()), static_cast<std::int64_t>(providers)));
    collect(std::move(items));
  } catch (...) {
    failImport(stage, std::current_exception());
    task_.reset();
  }
}

void ShareViewController::collect(std::vector<ExtensionItem> items) {
  task_->collection = std::jthread([self = shared_from_this(), items = std::move(items), store = staged_,
                                    stop = task_->cancellation.get_token()] {
    try {
      SharePayload payload = SharePayloadCollector().collect(items, *store, stop);
      MainThread::post([self, payload = std::move(payload)] { self->finishImport(payload, nullptr); });
    } catch (...) {
      MainThread::post([self, failure = std::current_exception()] { self->finishImport(std::nullopt, failure); });
    }
  });
}

// Back on the main thread once the collection has ended.
void ShareViewController::finishImport(std::optional<SharePayload> payload, std::exception_ptr failure) {
  std::string stage = "provider";
  try {
    if (failure) std::rethrow_exception(failure);
    checkCancellation(task_->cancellation.get_token());
    stage = "publish";
    staged_->publish(*payload, task_->cancellation.get_token());
    logger_.info(formatted("publish complete attachmentCount=%" PRId64,
                           static_cast<std::int64_t>(payload->files.size())));
    enter(Phase::published);
    openPlumo(staged_->id());
  } catch (...) {
    failImport(stage, std::current_exception());
  }
  task_.reset();
}

void ShareViewController::failImport(const std::string& stage, const std::exception_ptr& failure) {
  if (staged_) staged_->discardUnpublished();
  if (cancelled()) return;
  const std::error_code error = errorCodeOf(failure);
  const ShareImportFailure category = ShareImportFailure::category(error);
  logger_.error(formatted("import failed stage=%s category=%s domain=%s code=%" PRId64, stage.c_str(),
                          std::string(category.rawValue()).c_str(), error.category().name(),
                          static_cast<std::int64_t>(error.value())));
  enter(Phase::failed);
  status->setStringValue(text("error." + std::string(category.rawValue())));
}

void ShareViewController::cancelShare() {
  if (task_) task_->cancellation.request_stop();
  if (staged_) staged_->discardUnpublished();
  if (context_) context_->cancelRequest({userCancelledCode, cocoaErrorDomain()});
}

void ShareViewController::openPlumo(const std::string& shareId) {
  const std::string url = scheme() + "://bot-share?id=" + shareId;
  if (!Url::parse(url)) return;
  if (workspace_.openUrl(url)) {
    enter(Phase::handedOff);
    if (context_) context_->completeRequest();
    return;
  }
  logger_.error("import failed stage=wake category=launchFailed");
  enter(Phase::handOffFailed);
  status->setStringValue(text("openPlumo"));
}

std::optional<Image> ShareViewController::hostAppIcon() const { return workspace_.applicationIcon(hostBundleId()); }

void ShareViewController::enter(Phase phase) {
  phase_ = phase;
  if (phaseObserver_) phaseObserver_(phase);
}

}  // namespace plumo
