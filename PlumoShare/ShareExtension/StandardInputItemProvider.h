#pragma once

#include <memory>
#include <mutex>

#include "ThreadedItemProvider.h"

namespace plumo {

// Data piped into standard input ("-"), offered under one type. Standard
// input is read once, on the first load, and at most one byte past the file
// limit, so that the collector refuses what is larger without it all being held.
class StandardInputItemProvider : public ThreadedItemProvider {
 public:
  explicit StandardInputItemProvider(std::string typeIdentifier);

  std::vector<std::string> registeredTypeIdentifiers() const override { return {typeIdentifier_}; }
  std::optional<std::string> suggestedName() const override { return std::nullopt; }
  // A temporary file holding the data, removed once the handler has returned.
  void loadFileRepresentation(const std::string&, FileCompletion completion) override;
  void loadDataRepresentation(const std::string&, DataCompletion completion) override;
  // A string for a text type that is valid UTF-8, the data otherwise.
  void loadItem(const std::string&, ItemCompletion completion) override;

 private:
  struct Input {
    std::once_flag read;
    Data bytes;
    std::error_code error;
  };
  static const Input& readOnce(Input& input);

  std::string typeIdentifier_;
  std::shared_ptr<Input> input_ = std::make_shared<Input>();
};

}  // namespace plumo
