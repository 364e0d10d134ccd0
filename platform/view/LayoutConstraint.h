#pragma once

namespace plumo {

class View;

// firstItem.firstAttribute (= or <=) secondItem.secondAttribute + constant;
// without a second item, the first attribute is compared with the constant alone.
struct LayoutConstraint {
  enum class Attribute { top, bottom, leading, trailing, centerX, centerY, width, height };
  enum class Relation { equal, lessThanOrEqual };

  static LayoutConstraint equal(const View& first, Attribute firstAttribute, const View& second,
                                Attribute secondAttribute, double constant = 0) {
    return {&first, firstAttribute, Relation::equal, &second, secondAttribute, constant};
  }
  static LayoutConstraint equal(const View& first, Attribute attribute, double constant) {
    return {&first, attribute, Relation::equal, nullptr, attribute, constant};
  }
  static LayoutConstraint atMost(const View& first, Attribute attribute, double constant) {
    return {&first, attribute, Relation::lessThanOrEqual, nullptr, attribute, constant};
  }

  const View* firstItem;
  Attribute firstAttribute;
  Relation relation;
  const View* secondItem;
  Attribute secondAttribute;
  double constant;
};

}  // namespace plumo
