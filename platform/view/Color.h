#pragma once

namespace plumo {

// The desktop's semantic colours, as the theme defines them.
enum class Color { label, secondaryLabel, tertiaryLabel };

}  // namespace plumo
