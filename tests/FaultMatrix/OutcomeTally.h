#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace plumo::testing {

// Counts the outcomes of a fault matrix by kind, keeps a few examples of each
// kind that breaks a property, and prints the figures the suite reports.
class OutcomeTally {
 public:
  explicit OutcomeTally(std::string title) : title_(std::move(title)) {}

  void allowed(const std::string& kind) { ++allowed_[kind]; }

  void violation(const std::string& kind, const std::string& example) {
    auto& examples = examples_[kind];
    if (++violations_[kind] <= 3) examples.push_back(example);
  }

  void figure(const std::string& name, std::size_t value) { figures_.emplace_back(name, std::to_string(value)); }
  void figure(const std::string& name, const std::string& value) { figures_.emplace_back(name, value); }

  std::size_t violations() const {
    std::size_t total = 0;
    for (const auto& [kind, count] : violations_) total += count;
    return total;
  }

  std::string summary() const {
    std::string text = "== " + title_ + "\n";
    for (const auto& [name, value] : figures_) text += "  " + name + ": " + value + "\n";
    text += "  outcomes allowed:\n";
    for (const auto& [kind, count] : allowed_) text += "    " + std::to_string(count) + "  " + kind + "\n";
    text += "  outcomes that break a property:" + std::string(violations_.empty() ? " none\n" : "\n");
    for (const auto& [kind, count] : violations_) {
      text += "    " + std::to_string(count) + "  " + kind + "\n";
      for (const auto& example : examples_.at(kind)) text += "          e.g. " + example + "\n";
    }
    return text;
  }

  void print() const { std::fputs(summary().c_str(), stdout); }

 private:
  std::string title_;
  std::vector<std::pair<std::string, std::string>> figures_;
  std::map<std::string, std::size_t> allowed_;
  std::map<std::string, std::size_t> violations_;
  std::map<std::string, std::vector<std::string>> examples_;
};

}  // namespace plumo::testing
