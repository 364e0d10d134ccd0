#pragma once

#include <functional>
#include <memory>
#include <string>

#include "Color.h"
#include "View.h"

namespace plumo {

// A one-line text that the user reads but cannot edit or select. Whoever
// shows it (a window, or the terminal without one) observes its changes.
class Label : public View {
 public:
  enum class Alignment { natural, center };
  enum class LineBreakMode { wordWrapping, truncatingTail };

  static std::shared_ptr<Label> labelWithString(std::string text) {
    auto label = std::make_shared<Label>();
    label->stringValue_ = std::move(text);
    return label;
  }

  const std::string& stringValue() const { return stringValue_; }
  void setStringValue(std::string text) {
    stringValue_ = std::move(text);
    if (observer_) observer_(stringValue_);
  }
  void setObserver(std::function<void(const std::string&)> observer) { observer_ = std::move(observer); }

  Alignment alignment = Alignment::natural;
  Color textColor = Color::label;
  LineBreakMode lineBreakMode = LineBreakMode::wordWrapping;

 private:
  std::string stringValue_;
  std::function<void(const std::string&)> observer_;
};

}  // namespace plumo
