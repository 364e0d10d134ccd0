#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BinaryPlist.h"
#include "BinaryPlistScanner.h"

namespace plumo {
namespace {

using testing::binaryPlist;
constexpr int width = 2;  // of a reference and an offset

std::string array(const std::vector<std::uint64_t>& references) { return testing::binaryArray(references, width); }

// A chain of `levels` arrays, each holding the next, from object `first` on, around the object `last`.
std::vector<std::string> chain(std::uint64_t first, std::uint64_t levels, std::uint64_t last) {
  std::vector<std::string> arrays;
  for (std::uint64_t level = 0; level < levels; ++level) {
    arrays.push_back(array({level + 1 < levels ? first + level + 1 : last}));
  }
  return arrays;
}

// An object shared by two paths counts at its depth on each: measured once on a short path, it is
// still too deep at the end of a long one.
TEST(BinaryPlistScannerTest, ASharedObjectIsTooDeepOnItsDeepestPath) {
  std::vector<std::string> objects = {array({1, 31})};
  for (auto& level : chain(1, 30, 61)) objects.push_back(level);   // the shared chain: objects 1..30, then `true`
  for (auto& level : chain(31, 30, 1)) objects.push_back(level);   // a second chain that leads to the first
  objects.push_back("\x09");
  const std::string document = binaryPlist(objects, width);
  EXPECT_TRUE(BinaryPlistScanner(document).withinLimits(1 << 20, 61));
  EXPECT_FALSE(BinaryPlistScanner(document).withinLimits(1 << 20, 60));
}

// A UTF-16 unit takes up to three bytes once written as UTF-8, and an object counts once per reference.
TEST(BinaryPlistScannerTest, TextCountsAsItsExpandedBytesOncePerReference) {
  const std::string units = std::string("\x6F\x10\x64", 3) + std::string(200, '\x08');  // 100 of U+0808
  const std::string document = binaryPlist({array({1, 1, 1, 1}), units}, width);
  constexpr std::size_t expanded = 8 + 4 * (8 + 300);
  EXPECT_TRUE(BinaryPlistScanner(document).withinLimits(expanded, 64));
  EXPECT_FALSE(BinaryPlistScanner(document).withinLimits(expanded - 1, 64));
}

}  // namespace
}  // namespace plumo
