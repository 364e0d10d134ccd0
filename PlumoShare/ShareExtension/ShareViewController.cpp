#include "ShareViewController.h"

#include <cinttypes>
#include <cstdio>

#include "Cancellation.h"
#include "ErrorDomain.h"
#include "HandOffUrl.h"
#include "Localization.h"
#include "MainThread.h"
#include "ShareImportFailure.h"
#include "SharePayloadCollector.h"
#include "StackView.h"
#include "SymbolImage.h"
#include "UTType.h"
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

using Attribute = LayoutConstraint::Attribute;

// The kinds of content, most specific first, each with its symbol.
const std::vector<std::pair<std::vector<UTType>, const char*>>& contentSymbols() {
  static const std::vector<std::pair<std::vector<UTType>, const char*>> rows = {
      {{UTType::folder}, "folder"},
      {{UTType::image}, "photo"},
      {{UTType::movie, UTType::video}, "film"},
      {{UTType::audio}, "waveform"},
      {{UTType::spreadsheet}, "tablecells"},
      {{UTType::presentation}, "rectangle.on.rectangle"},
      {{UTType::pdf}, "doc.richtext"},
      {{UTType::archive}, "doc.zipper"},
      {{UTType::url}, "link"},
      {{UTType::plainText, UTType::text}, "text.alignleft"},
      {{UTType::data}, "doc"},
  };
  return rows;
}

std::optional<const char*> contentSymbolName(const std::string& identifier) {
  const auto type = UTType::withIdentifier(identifier);
  if (!type) return std::nullopt;
  for (const auto& [types, name] : contentSymbols()) {
    for (const auto& kind : types) {
      if (type->conformsTo(kind)) return name;
    }
  }
  return std::nullopt;
}

}  // namespace

ShareViewController::ShareViewController(std::filesystem::path bundle, ExtensionContext* context,
                                         Workspace& workspace)
    : bundle_(bundle), context_(context), workspace_(workspace) {
  dismiss->action = [this] {
    if (!ended_) cancelShare();
  };
}

void ShareViewController::endRequest() {
  ended_ = true;
  context_ = nullptr;
}

void ShareViewController::post(std::function<void()> step) {
  MainThread::post([self = shared_from_this(), step = std::move(step)] {
    if (!self->ended_) step();
  });
}

void ShareViewController::loadView() {
  view_ = std::make_shared<View>(View::Rect{0, 0, cardSize.width, cardSize.height});

  status->setStringValue(text("preparing"));
  status->alignment = Label::Alignment::center;
  status->textColor = Color::secondaryLabel;
  status->lineBreakMode = Label::LineBreakMode::truncatingTail;

  const auto source = iconView(sourceSymbol());
  source->accessibilityLabel = text("accessibility.content");
  const auto arrow = arrowView();
  arrow->accessibilityLabel = text("accessibility.arrow");
  hostIcon_ = iconView(std::nullopt);
  hostIcon_->accessibilityLabel = text("accessibility.destination");
  const auto row = std::make_shared<StackView>(std::vector<std::shared_ptr<View>>{source, arrow, hostIcon_},
                                               StackView::Orientation::horizontal);
  row->alignment = StackView::Alignment::centerY;
  row->spacing = 10;

  dismiss->title = text("dismiss");
  dismiss->bezelStyle = Button::BezelStyle::rounded;
  dismiss->translatesAutoresizingMaskIntoConstraints = false;

  const auto column =
      std::make_shared<StackView>(std::vector<std::shared_ptr<View>>{row, status}, StackView::Orientation::vertical);
  column->alignment = StackView::Alignment::centerX;
  column->spacing = 12;
  column->translatesAutoresizingMaskIntoConstraints = false;

  view_->addSubview(column);
  view_->addSubview(dismiss);
  view_->activate({
      LayoutConstraint::equal(*column, Attribute::centerX, *view_, Attribute::centerX),
      LayoutConstraint::equal(*column, Attribute::top, *view_, Attribute::top, 16),
      LayoutConstraint::atMost(*status, Attribute::width, 204),
      LayoutConstraint::equal(*dismiss, Attribute::trailing, *view_, Attribute::trailing, -16),
      LayoutConstraint::equal(*dismiss, Attribute::top, *column, Attribute::bottom, 12),
  });
}

std::optional<Image> ShareViewController::sourceSymbol() const {
  if (context_) {
    for (const auto& item : context_->inputItems()) {
      if (!item.attachments) continue;
      for (const auto& provider : *item.attachments) {
        for (const auto& identifier : provider->registeredTypeIdentifiers()) {
          if (const auto name = contentSymbolName(identifier)) return symbol(*name);
        }
      }
    }
  }
  return symbol("doc");
}

std::optional<Image> ShareViewController::symbol(const std::string& name) { return SymbolImage::named(name, 20); }

std::shared_ptr<ImageView> ShareViewController::iconView(std::optional<Image> image) {
  auto view = std::make_shared<ImageView>();
  view->image = std::move(image);
  view->imageScaling = ImageView::Scaling::proportionallyUpOrDown;
  view->translatesAutoresizingMaskIntoConstraints = false;
  view->activate({LayoutConstraint::equal(*view, Attribute::width, 30),
                  LayoutConstraint::equal(*view, Attribute::height, 30)});
  return view;
}

std::shared_ptr<ImageView> ShareViewController::arrowView() {
  auto view = std::make_shared<ImageView>();
  view->image = SymbolImage::named("chevron.right", 0);
  view->contentTintColor = Color::tertiaryLabel;
  view->imageScaling = ImageView::Scaling::proportionallyUpOrDown;
  view->translatesAutoresizingMaskIntoConstraints = false;
  view->activate({LayoutConstraint::equal(*view, Attribute::width, 12),
                  LayoutConstraint::equal(*view, Attribute::height, 12)});
  return view;
}

void ShareViewController::viewWillAppear() {
  if (hostIcon_) hostIcon_->image = hostAppIcon();
}

void ShareViewController::viewDidAppear() {
  if (started_ || ended_) return;
  started_ = true;
  startImport();
}

void ShareViewController::startImport() {
  if (task_) return;
  enter(Phase::importing);
  status->setStringValue(text("preparing"));
  task_ = std::make_unique<ImportTask>();
  post([this] { runImport(); });
}

// Steps up to the collection, which goes on on a worker thread.
void ShareViewController::runImport() {
  // Dismissed before it began (a signal handled in the same turn of the main loop): nothing is staged.
  if (cancelled()) return task_.reset();
  std::string stage = "container";
  try {
    const auto root = bundle_.storeRoot();
    if (!root) throw std::system_error(ShareImportFailure::unavailable);
    staged_ = std::make_shared<ShareStagingStore>(*root);
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

// The collection and the publish run on a worker thread, so that waiting for
// the inbox lock never blocks the main loop; the outcome is reported back there.
void ShareViewController::collect(std::vector<ExtensionItem> items) {
  task_->collection = std::jthread([self = shared_from_this(), items = std::move(items), store = staged_,
                                    stop = task_->cancellation.get_token()] {
    std::string stage = "provider";
    try {
      const SharePayload payload = SharePayloadCollector::collect(items, *store, stop);
      stage = "publish";
      const std::error_code unsynced = store->publish(payload, stop);
      self->post([self, files = payload.files.size(), unsynced] { self->finishImport(files, unsynced); });
    } catch (...) {
      self->post([self, stage, failure = std::current_exception()] {
        self->failImport(stage, failure);
        self->task_.reset();
      });
    }
  });
}

// Back on the main thread once the share is in the inbox.
void ShareViewController::finishImport(std::size_t attachmentCount, std::error_code unsynced) {
  task_.reset();
  if (unsynced) {
    diagnostics_.error(formatted("publish sync failed domain=%s code=%" PRId64, unsynced.category().name(),
                            static_cast<std::int64_t>(unsynced.value())));
  }
  logger_.info(formatted("publish complete attachmentCount=%" PRId64, static_cast<std::int64_t>(attachmentCount)));
  enter(Phase::published);
  openPlumo(staged_->id());
  if (dismissedAfterPublish_ && phase_ == Phase::handOffFailed && context_) {
    context_->cancelRequest();
  }
}

void ShareViewController::failImport(const std::string& stage, const std::exception_ptr& failure) {
  if (staged_) staged_->discardUnpublished();
  if (cancelled()) return;
  const std::error_code error = errorCodeOf(failure);
  const ShareImportFailure category = ShareImportFailure::category(error);
  logger_.error(formatted("import failed stage=%s category=%s domain=%s code=%" PRId64, stage.c_str(),
                          std::string(category.rawValue()).c_str(), error.category().name(),
                          static_cast<std::int64_t>(error.value())));
  failureReason_ = systemReasonOf(failure);
  failure_ = category;
  enter(Phase::failed);
  status->setStringValue(text("error." + std::string(category.rawValue())));
}

void ShareViewController::cancelShare() {
  stopCollection();
  if (staged_) staged_->discardUnpublished();
  // The worker may have published before the stop, and has posted finishImport by now:
  // a published share is finished (its line, the hand-off) before the dismiss ends the request.
  if (phase_ == Phase::importing && staged_ && staged_->published()) {
    dismissedAfterPublish_ = true;
    return;
  }
  if (context_) context_->cancelRequest();
}

// Waits for the collection thread, so that nothing writes into the staging
// folder once this returns and no thread of the share outlives the request.
// A load that never answers ends the collection at the stop request.
void ShareViewController::stopCollection() {
  if (!task_) return;
  task_->cancellation.request_stop();
  if (task_->collection.joinable()) task_->collection.join();
}

// The share is published by now: no failure here may report it as not saved.
void ShareViewController::openPlumo(const std::string& shareId) {
  const std::string url = HandOffUrl::forShare(bundle_.scheme(), shareId);
  // Silent, and the card stays open; the host still learns that nothing was opened.
  if (!Url::parse(url)) return enter(Phase::handOffFailed);
  if (workspace_.openUrl(url)) {
    enter(Phase::handedOff);
    if (context_) context_->completeRequest();
    return;
  }
  logger_.error("import failed stage=wake category=launchFailed");
  enter(Phase::handOffFailed);
  status->setStringValue(text("openPlumo"));
}

std::optional<Image> ShareViewController::hostAppIcon() const {
  return workspace_.applicationIcon(bundle_.hostBundleId());
}

void ShareViewController::enter(Phase phase) {
  phase_ = phase;
  if (phaseObserver_) phaseObserver_(phase);
}

}  // namespace plumo
