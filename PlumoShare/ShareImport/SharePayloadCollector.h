#pragma once

#include <cstdint>
#include <filesystem>
#include <stop_token>
#include <string>
#include <vector>

#include "ExtensionItem.h"
#include "ShareFileResult.h"
#include "SharePayload.h"
#include "ShareStagingStore.h"

namespace plumo {

// Turns the shared items of one import into a payload: files and data are
// staged into the store's folder, texts and links become the message, folders
// are recorded by path. Runs on a worker thread and loads one attachment at a
// time; the first failure ends the collection. Once collect() has returned
// or thrown, nothing writes into the store's folder for it any more, not even
// a provider's handler that answers late. Each collection gathers into a
// collector of its own, which is why none can be made outside.
class SharePayloadCollector {
 public:
  static constexpr std::size_t attachmentLimit = 32;

  static SharePayload collect(const std::vector<ExtensionItem>& items, const ShareStagingStore& store,
                              const std::stop_token& stop = {});

 private:
  SharePayloadCollector() = default;
  SharePayload collectAll(const std::vector<ExtensionItem>& items, const ShareStagingStore& store,
                          const std::stop_token& stop);
  void collectAttachment(ItemProvider& provider, const std::string& contentText, const ShareStagingStore& store,
                         const std::stop_token& stop);
  void collectFileUrl(ItemProvider& provider, const ShareStagingStore& store, const std::stop_token& stop);
  void append(std::string text);
  void appendDirectory(const Url& url);
  void record(ShareFileResult result);
  std::string joinedMessages() const;

  // The attachment staged as a file: from its file representation, or from its data when that fails.
  ShareFileResult representation(ItemProvider& provider, const std::string& type,
                                 const std::filesystem::path& folder, const std::stop_token& stop) const;
  ShareFileResult stageData(ItemProvider& provider, const std::string& type, const std::filesystem::path& folder,
                            const std::optional<std::string>& suggested, std::int64_t total, std::int64_t count,
                            const std::stop_token& stop) const;
  static Item load(ItemProvider& provider, std::string_view type, const std::stop_token& stop);

  std::vector<std::string> messages_;
  std::vector<std::string> files_;
  std::vector<std::string> directories_;
  std::int64_t total_ = 0;
};

}  // namespace plumo
