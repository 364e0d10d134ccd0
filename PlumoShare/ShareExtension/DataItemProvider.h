#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string_view>

#include "ThreadedItemProvider.h"

namespace plumo {

// Bytes offered under one type: data piped into standard input ("-"), or what
// the clipboard held. The bytes are read once, on the first load, and at most
// one past the file limit, so that the collector refuses what is larger without
// it all being held.
class DataItemProvider : public ThreadedItemProvider {
 public:
  // Reads at most `limit` bytes; sets the error when it cannot.
  using Source = std::function<Data(std::size_t limit, std::error_code& error)>;

  // Standard input, read when first loaded; its temporary file is "stdin.<extension>".
  static std::shared_ptr<DataItemProvider> standardInput(std::string typeIdentifier);
  // Bytes at hand; the temporary file is "<stem>.<extension>".
  static std::shared_ptr<DataItemProvider> holding(std::string typeIdentifier, std::string stem, Data bytes);

  DataItemProvider(std::string typeIdentifier, std::string stem, Source source);
  // Removes the temporary files still handed out: the process may end while a handler runs.
  ~DataItemProvider() override;
  DataItemProvider(const DataItemProvider&) = delete;
  DataItemProvider& operator=(const DataItemProvider&) = delete;

  std::vector<std::string> registeredTypeIdentifiers() const override { return {typeIdentifier_}; }
  std::optional<std::string> suggestedName() const override { return std::nullopt; }
  // A temporary file holding the data, removed once the handler has returned.
  void loadFileRepresentation(const std::string&, FileCompletion completion) override;
  void loadDataRepresentation(const std::string&, DataCompletion completion) override;
  // A string for a text type that is valid UTF-8, the data otherwise.
  void loadItem(const std::string&, ItemCompletion completion) override;

 private:
  struct Input {
    explicit Input(Source from) : source(std::move(from)) {}
    Source source;
    std::once_flag read;
    Data bytes;
    std::error_code error;
  };
  static const Input& readOnce(Input& input);

  // The private folders of the temporary files handed out, each removed when
  // its handler has returned or when the provider goes, whichever comes first.
  class TemporaryFolders {
   public:
    // A new private folder holding `bytes` as `name`; absent once the provider has gone.
    std::optional<std::filesystem::path> create(const std::string& name, std::string_view bytes);
    void remove(const std::filesystem::path& folder);
    void removeAllForGood();

   private:
    std::mutex mutex_;
    bool closed_ = false;
    std::set<std::filesystem::path> live_;
  };

  std::string typeIdentifier_;
  std::string stem_;
  std::shared_ptr<Input> input_;
  std::shared_ptr<TemporaryFolders> temporaryFolders_ = std::make_shared<TemporaryFolders>();
};

}  // namespace plumo
