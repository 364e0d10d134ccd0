#pragma once

#include <memory>
#include <optional>
#include <string>

#include "ThreadedItemProvider.h"

namespace plumo {

// Bytes that came with a request (a text, a file's contents), offered under one
// type. It has no file of its own, so the collector stages its data.
class BytesItemProvider : public ThreadedItemProvider {
 public:
  BytesItemProvider(std::string typeIdentifier, Data bytes, std::optional<std::string> name = std::nullopt)
      : typeIdentifier_(std::move(typeIdentifier)),
        bytes_(std::make_shared<const Data>(std::move(bytes))),
        name_(std::move(name)) {}

  std::vector<std::string> registeredTypeIdentifiers() const override { return {typeIdentifier_}; }
  std::optional<std::string> suggestedName() const override { return name_; }
  void loadDataRepresentation(const std::string&, DataCompletion completion) override;
  // A string for a text type that is valid UTF-8, the data otherwise.
  void loadItem(const std::string&, ItemCompletion completion) override;

 private:
  std::string typeIdentifier_;
  std::shared_ptr<const Data> bytes_;
  std::optional<std::string> name_;
};

}  // namespace plumo
