#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BinaryPlistScanner.h"

namespace plumo {
namespace {

std::string bigEndian(std::uint64_t value, int size) {
  std::string bytes;
  for (int shift = 8 * (size - 1); shift >= 0; shift -= 8) bytes += static_cast<char>((value >> shift) & 0xFF);
  return bytes;
}

// A "bplist00" document of these objects (references take one byte), the first at the top.
std::string binaryPlist(const std::vector<std::string>& objects) {
  std::string document(BinaryPlistScanner::magic);
  std::vector<std::size_t> offsets;
  for (const auto& object : objects) {
    offsets.push_back(document.size());
    document += object;
  }
  const std::size_t offsetTable = document.size();
  for (const std::size_t offset : offsets) document += bigEndian(offset, 2);
  return document + std::string(6, '\0') + "\x02\x01" + bigEndian(objects.size(), 8) + bigEndian(0, 8) +
         bigEndian(offsetTable, 8);
}

// An array of these objects' references.
std::string array(const std::vector<int>& references) {
  std::string object(1, static_cast<char>(0xA0 | references.size()));
  for (const int reference : references) object += static_cast<char>(reference);
  return object;
}

// A chain of `levels` arrays, each holding the next, from object `first` on, around the object `last`.
std::vector<std::string> chain(int first, int levels, int last) {
  std::vector<std::string> arrays;
  for (int level = 0; level < levels; ++level) arrays.push_back(array({level + 1 < levels ? first + level + 1 : last}));
  return arrays;
}

// An object shared by two paths counts at its depth on each: measured once on a short path, it is
// still too deep at the end of a long one.
TEST(BinaryPlistScannerTest, ASharedObjectIsTooDeepOnItsDeepestPath) {
  std::vector<std::string> objects = {array({1, 31})};
  for (auto& level : chain(1, 30, 61)) objects.push_back(level);   // the shared chain: objects 1..30, then `true`
  for (auto& level : chain(31, 30, 1)) objects.push_back(level);   // a second chain that leads to the first
  objects.push_back("\x09");
  const std::string document = binaryPlist(objects);
  EXPECT_TRUE(BinaryPlistScanner(document).withinLimits(1 << 20, 61));
  EXPECT_FALSE(BinaryPlistScanner(document).withinLimits(1 << 20, 60));
}

// A UTF-16 unit takes up to three bytes once written as UTF-8, and an object counts once per reference.
TEST(BinaryPlistScannerTest, TextCountsAsItsExpandedBytesOncePerReference) {
  const std::string units = std::string("\x6F\x10\x64", 3) + std::string(200, '\x08');  // 100 of U+0808
  const std::string document = binaryPlist({array({1, 1, 1, 1}), units});
  constexpr std::size_t expanded = 8 + 4 * (8 + 300);
  EXPECT_TRUE(BinaryPlistScanner(document).withinLimits(expanded, 64));
  EXPECT_FALSE(BinaryPlistScanner(document).withinLimits(expanded - 1, 64));
}

}  // namespace
}  // namespace plumo
