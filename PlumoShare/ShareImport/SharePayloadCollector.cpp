#include "SharePayloadCollector.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <sys/stat.h>

#include "Cancellation.h"
#include "DurableFiles.h"
#include "ErrorDomain.h"
#include "OneShot.h"
#include "ShareImportFailure.h"
#include "ShareImportRules.h"
#include "UTType.h"
#include "Utf8.h"
#include "SharedFileCopy.h"

namespace plumo {

namespace {

constexpr const char* messageSeparator = "\n\n";

const std::error_code& noItemDelivered() {
  static const std::error_code error = ShareImportFailure::unsupported;
  return error;
}

// The first registered identifier whose type conforms to one of the given types.
std::optional<std::string> firstConforming(const ItemProvider& provider, std::initializer_list<UTType> types) {
  for (const auto& identifier : provider.registeredTypeIdentifiers()) {
    for (const auto& type : types) {
      if (UTType::identifierConformsTo(identifier, type)) return identifier;
    }
  }
  return std::nullopt;
}

struct LinkStatus {
  bool isDirectory = false;
  bool isSymbolicLink = false;
};

// What the path itself is; a link is not followed.
LinkStatus linkStatus(const Url& url) {
  struct stat status {};
  if (::lstat(url.path().c_str(), &status) != 0) throwPosixError(errno);
  return {S_ISDIR(status.st_mode), S_ISLNK(status.st_mode)};
}

// Lets a provider's handler write into the staging folder only while the
// collection still waits for it: closing waits for a write under way and
// refuses every later one, so that a stopped collection leaves no writer behind.
class StagingWriteGate {
 public:
  template <class Write>
  void pass(const Write& write) {
    std::lock_guard lock(mutex_);
    if (!closed_) write();
  }
  void close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }

 private:
  std::mutex mutex_;
  bool closed_ = false;
};

double millisecondsSince1970() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double, std::milli>(now).count();
}

}  // namespace

SharePayload SharePayloadCollector::collect(const std::vector<ExtensionItem>& items, const ShareStagingStore& store,
                                            const std::stop_token& stop) {
  return SharePayloadCollector().collectAll(items, store, stop);
}

SharePayload SharePayloadCollector::collectAll(const std::vector<ExtensionItem>& items, const ShareStagingStore& store,
                                               const std::stop_token& stop) {
  std::size_t attachments = 0;
  for (const auto& item : items) attachments += item.attachmentCount();
  if (attachments > attachmentLimit) throw std::system_error(ShareImportFailure::tooLarge);

  for (const auto& item : items) {
    const std::string contentText = item.attributedContentText ? item.attributedContentText->string : "";
    if (!contentText.empty()) append(contentText);
    if (!item.attachments) continue;
    for (const auto& provider : *item.attachments) {
      checkCancellation(stop);
      collectAttachment(*provider, contentText, store, stop);
    }
  }

  std::string message = joinedMessages();
  if (message.empty() && files_.empty() && directories_.empty()) throw std::system_error(ShareImportFailure::empty);
  ShareImportRules::check({.text = message, .files = static_cast<std::int64_t>(files_.size()), .total = total_});
  return {store.id(), std::move(message), files_, directories_, millisecondsSince1970()};
}

// The first kind that matches decides: folder, file URL, image or PDF, link, plain text, data.
void SharePayloadCollector::collectAttachment(ItemProvider& provider, const std::string& contentText,
                                              const ShareStagingStore& store, const std::stop_token& stop) {
  if (provider.hasItemConformingTo(UTType::folder.identifier())) {
    appendDirectory(ShareImportRules::url(load(provider, UTType::fileURL.identifier(), stop), true));
  } else if (provider.hasItemConformingTo(UTType::fileURL.identifier())) {
    collectFileUrl(provider, store, stop);
  } else if (const auto imageType = firstConforming(provider, {UTType::image, UTType::pdf})) {
    record(representation(provider, *imageType, store.folder(), stop));
  } else if (provider.hasItemConformingTo(UTType::url.identifier())) {
    // The content text repeats the link only when it is that very string: a link's case may matter.
    const Url link = ShareImportRules::url(load(provider, UTType::url.identifier(), stop), false);
    if (link.absoluteString() != contentText) append(link.absoluteString());
  } else if (provider.hasItemConformingTo(UTType::plainText.identifier())) {
    std::string text = ShareImportRules::text(load(provider, UTType::plainText.identifier(), stop));
    if (!Utf8::canonicallyEqual(text, contentText)) append(std::move(text));
  } else if (const auto dataType = firstConforming(provider, {UTType::data})) {
    record(representation(provider, *dataType, store.folder(), stop));
  } else {
    throw std::system_error(ShareImportFailure::unsupported);
  }
}

void SharePayloadCollector::collectFileUrl(ItemProvider& provider, const ShareStagingStore& store,
                                           const std::stop_token& stop) {
  const Url url = ShareImportRules::url(load(provider, UTType::fileURL.identifier(), stop), true);
  if (linkStatus(url).isDirectory) {
    appendDirectory(url);
  } else {
    record(SharedFileCopy::copy(url, store.folder(), provider.suggestedName(), total_,
                          static_cast<std::int64_t>(files_.size()), stop));
  }
}

// The manifest is JSON, which carries Unicode text only.
void SharePayloadCollector::append(std::string text) {
  if (!Utf8::isValid(text)) throw std::system_error(ShareImportFailure::unsupported);
  messages_.push_back(std::move(text));
  ShareImportRules::check({.text = joinedMessages(), .files = static_cast<std::int64_t>(files_.size())});
}

void SharePayloadCollector::appendDirectory(const Url& url) {
  const std::string& path = url.path();
  if (static_cast<std::int64_t>(directories_.size()) >= ShareImportRules::directoryLimit) {
    throw std::system_error(ShareImportFailure::tooLarge);
  }
  if (!path.starts_with('/') || !Utf8::isValid(path)) throw std::system_error(ShareImportFailure::unsupported);
  const LinkStatus status = linkStatus(url);
  if (!status.isDirectory || status.isSymbolicLink) throw std::system_error(ShareImportFailure::unsupported);
  if (std::find(directories_.begin(), directories_.end(), path) == directories_.end()) directories_.push_back(path);
}

void SharePayloadCollector::record(ShareFileResult result) {
  total_ += result.size;
  files_.push_back(std::move(result.name));
}

std::string SharePayloadCollector::joinedMessages() const {
  std::string joined;
  for (std::size_t index = 0; index < messages_.size(); ++index) {
    if (index > 0) joined += messageSeparator;
    joined += messages_[index];
  }
  return joined;
}

ShareFileResult SharePayloadCollector::representation(ItemProvider& provider, const std::string& type,
                                                      const std::filesystem::path& folder,
                                                      const std::stop_token& stop) const {
  const std::int64_t total = total_;
  const auto count = static_cast<std::int64_t>(files_.size());
  const std::optional<std::string> suggested = provider.suggestedName();

  // The temporary file exists only while the handler runs, so the copy happens inside it.
  OneShot<ShareFileResult> fileAttempt(noItemDelivered());
  const auto gate = std::make_shared<StagingWriteGate>();
  provider.loadFileRepresentation(
      type, [deliver = fileAttempt.deliverer(), gate, folder, suggested, total, count, stop](
                const std::optional<Url>& temporary, std::error_code error) {
        if (error) return deliver(error);
        if (!temporary) return deliver(noItemDelivered());
        gate->pass([&] {
          try {
            deliver(SharedFileCopy::copy(*temporary, folder, suggested, total, count, stop));
          } catch (...) {
            deliver(errorCodeOf(std::current_exception()));
          }
        });
      });
  std::optional<ShareFileResult> staged;
  std::error_code failure;
  try {
    staged = fileAttempt.wait(stop);
  } catch (const std::system_error& error) {
    failure = error.code();
  }
  gate->close();
  if (staged) return std::move(*staged);
  // A limit is final; any other failure of the file may still succeed as data.
  if (isCancellation(failure) || ShareImportFailure::category(failure) == ShareImportFailure::tooLarge) {
    throw std::system_error(failure);
  }
  return stageData(provider, type, folder, suggested, total, count, stop);
}

ShareFileResult SharePayloadCollector::stageData(ItemProvider& provider, const std::string& type,
                                                 const std::filesystem::path& folder,
                                                 const std::optional<std::string>& suggested, std::int64_t total,
                                                 std::int64_t count, const std::stop_token& stop) const {
  OneShot<Data> dataAttempt(noItemDelivered());
  provider.loadDataRepresentation(type, [deliver = dataAttempt.deliverer()](std::optional<Data> data,
                                                                            std::error_code error) {
    if (error) return deliver(error);
    if (!data) return deliver(noItemDelivered());
    deliver(std::move(*data));
  });
  const Data data = dataAttempt.wait(stop);
  const auto size = static_cast<std::int64_t>(data.size());
  ShareImportRules::check({.files = count + 1, .fileSize = size, .total = total + size});

  const auto declared = UTType::withIdentifier(type);
  const auto extension = declared ? declared->preferredFilenameExtension() : std::nullopt;
  std::string name = ShareImportRules::filename(suggested, "Attachment." + extension.value_or("bin"), count);
  writeNewFile(folder / name, std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
  return {std::move(name), size};
}

Item SharePayloadCollector::load(ItemProvider& provider, std::string_view type, const std::stop_token& stop) {
  OneShot<Item> itemLoad(noItemDelivered());
  provider.loadItem(std::string(type), [deliver = itemLoad.deliverer()](std::optional<Item> item, std::error_code error) {
    if (error) return deliver(error);
    if (!item) return deliver(noItemDelivered());
    deliver(std::move(*item));
  });
  return itemLoad.wait(stop);
}

}  // namespace plumo
