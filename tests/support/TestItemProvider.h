#pragma once

#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>

#include "Files.h"
#include "ItemProvider.h"

namespace plumo::testing {

// An item provider that answers every load from a thread of its own, as
// real providers do, and records what it was asked ("item:<type>", ...).
class TestItemProvider : public ItemProvider {
 public:
  // `whenReleased` answers once release() is called (or the provider goes), as a late provider does.
  enum class Answer { deliver, dropHandler, never, whenReleased };

  explicit TestItemProvider(std::vector<std::string> types) : types_(std::move(types)) {}
  ~TestItemProvider() override {
    released_ = true;
    for (auto& thread : threads_) thread.join();
  }

  // What the loads deliver; an absent value with no error delivers nothing.
  std::optional<std::string> name;
  std::optional<std::string> fileContents;  // handed out as a temporary file, removed after the handler
  std::string temporaryName = "provider-temporary.tmp";
  std::error_code fileError;
  std::optional<Data> data;
  std::error_code dataError;
  std::optional<Item> item;
  std::error_code itemError;
  Answer answer = Answer::deliver;

  void release() { released_ = true; }

  std::vector<std::string> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

  std::vector<std::string> registeredTypeIdentifiers() const override { return types_; }
  std::optional<std::string> suggestedName() const override { return name; }

  void loadFileRepresentation(const std::string& type, FileCompletion completion) override {
    answerLater("file:" + type, [this, completion = std::move(completion)] {
      if (!fileContents) return completion(std::nullopt, fileError);
      const auto temporary = std::filesystem::temp_directory_path() /
                             ("plumo-provider-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)));
      std::filesystem::create_directories(temporary);
      writeFile(temporary / temporaryName, *fileContents);
      completion(Url::fileUrl(temporary / temporaryName), {});
      std::filesystem::remove_all(temporary);
    });
  }

  void loadDataRepresentation(const std::string& type, DataCompletion completion) override {
    answerLater("data:" + type, [this, completion = std::move(completion)] { completion(data, dataError); });
  }

  void loadItem(const std::string& type, ItemCompletion completion) override {
    answerLater("item:" + type, [this, completion = std::move(completion)] { completion(item, itemError); });
  }

 private:
  template <class Answering>
  void answerLater(std::string request, Answering answering) {
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(std::move(request));
    }
    threads_.emplace_back([this, answering = std::move(answering)]() mutable {
      if (answer == Answer::deliver) return answering();
      if (answer == Answer::dropHandler) return;  // the handler dies with this lambda, never called
      while (!released_) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      if (answer == Answer::whenReleased) answering();
    });
  }

  std::vector<std::string> types_;
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::vector<std::thread> threads_;
  std::atomic<bool> released_{false};
};

}  // namespace plumo::testing
