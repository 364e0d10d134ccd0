#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>

namespace plumo {

// Walks the object table of a binary property list ("bplist00") without
// building it, to judge it before libplist parses it. libplist recurses once per
// level of nesting, and copies an object once for every reference to it: a
// document of a few bytes can nest a million levels deep (the stack overflows)
// or expand to billions of objects.
class BinaryPlistScanner {
 public:
  static constexpr std::string_view magic = "bplist00";

  explicit BinaryPlistScanner(std::string_view document) : document_(document) {}

  // True when the document is well formed as far as the walk goes, its
  // containers nest at most `depthLimit` deep, and its objects, counted once per
  // reference, would take at most `byteLimit` bytes as XML (about 8 bytes per
  // object and the bytes of its data or text, a UTF-16 unit counted as the three
  // bytes it can take in UTF-8).
  bool withinLimits(std::size_t byteLimit, int depthLimit);

 private:
  struct Extent {
    int depth;           // containers on the deepest path down from the object, itself included
    std::uint64_t cost;  // the XML bytes of the object and of everything it holds
  };

  bool readTrailer();
  std::optional<std::uint64_t> bigEndian(std::uint64_t offset, std::uint64_t size) const;
  std::optional<Extent> measure(std::uint64_t object, int level);
  std::optional<Extent> measureContainer(std::uint64_t at, std::uint64_t count, std::uint64_t referenceCount,
                                         int level);
  std::optional<std::uint64_t> length(std::uint64_t at, unsigned lowNibble, std::uint64_t& payloadStart) const;

  std::string_view document_;
  std::size_t byteLimit_ = 0;
  int depthLimit_ = 0;
  unsigned offsetSize_ = 0;
  unsigned referenceSize_ = 0;
  std::uint64_t objectCount_ = 0;
  std::uint64_t topObject_ = 0;
  std::uint64_t offsetTable_ = 0;
  std::unordered_map<std::uint64_t, Extent> measured_;
};

}  // namespace plumo
