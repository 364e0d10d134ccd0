#pragma once

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <stop_token>
#include <string>

#include "InboxShare.h"
#include "ShareInbox.h"

namespace plumo {

// The commands of plumo-inbox. Each writes its result to the output, a line at
// a time and flushed; a failure throws, its message being the reason.
class InboxCommands {
 public:
  // A command that cannot do what was asked: the share is missing or invalid, for example.
  struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
  };

  InboxCommands(ShareInbox inbox, std::string scheme, std::FILE* output)
      : inbox_(std::move(inbox)), scheme_(std::move(scheme)), output_(output) {}

  void list(bool json) const;
  void show(const std::string& id) const;
  void take(const std::string& id, const std::filesystem::path& destination, const std::stop_token& stop) const;
  void remove(const std::string& id, const std::stop_token& stop) const;
  void watch(const std::stop_token& stop) const;
  void open(const std::string& url) const;

 private:
  // The share, read and validated; a missing or invalid one throws Failure.
  InboxShare validShare(const std::string& id) const;
  bool takenEarlier(const std::string& id, const std::filesystem::path& destination) const;
  void print(const std::string& line) const;

  ShareInbox inbox_;
  std::string scheme_;
  std::FILE* output_;
};

}  // namespace plumo
