#pragma once

#include <memory>
#include <string>
#include <vector>

#include "LayoutConstraint.h"

namespace plumo {

// A retained view: a rectangle in its parent, its subviews, and the layout
// constraints activated on it. A realization (a window) maps the tree onto
// widgets; without one the tree stays as it is.
class View {
 public:
  struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
  };

  View() = default;
  explicit View(Rect viewFrame) : frame(viewFrame) {}
  View(const View&) = delete;
  View& operator=(const View&) = delete;
  virtual ~View() = default;

  void addSubview(std::shared_ptr<View> view) { subviews_.push_back(std::move(view)); }
  const std::vector<std::shared_ptr<View>>& subviews() const { return subviews_; }

  // Activates the constraints together; each must name this view or views below it.
  void activate(std::vector<LayoutConstraint> constraints) {
    constraints_.insert(constraints_.end(), constraints.begin(), constraints.end());
  }
  const std::vector<LayoutConstraint>& constraints() const { return constraints_; }

  Rect frame;
  bool translatesAutoresizingMaskIntoConstraints = true;
  std::string accessibilityLabel;  // what assistive technology reads out; empty: the view's own text

 private:
  std::vector<std::shared_ptr<View>> subviews_;
  std::vector<LayoutConstraint> constraints_;
};

}  // namespace plumo
