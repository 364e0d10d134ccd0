#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Binary property lists ("bplist00") written byte by byte, to give their reader what no tool writes.
namespace plumo::testing {

inline std::string bigEndian(std::uint64_t value, int size) {
  std::string bytes;
  for (int shift = 8 * (size - 1); shift >= 0; shift -= 8) bytes += static_cast<char>((value >> shift) & 0xFF);
  return bytes;
}

// An array (fewer than 15 items) of the objects numbered `references`, each reference `width` bytes.
inline std::string binaryArray(const std::vector<std::uint64_t>& references, int width) {
  std::string object(1, static_cast<char>(0xA0 | references.size()));
  for (const std::uint64_t reference : references) object += bigEndian(reference, width);
  return object;
}

// A document of these objects, the first at the top; its offsets take `width` bytes, as
// binaryArray's references must.
inline std::string binaryPlist(const std::vector<std::string>& objects, int width) {
  std::string document = "bplist00";
  std::vector<std::size_t> offsets;
  for (const auto& object : objects) {
    offsets.push_back(document.size());
    document += object;
  }
  const std::size_t offsetTable = document.size();
  for (const std::size_t offset : offsets) document += bigEndian(offset, width);
  return document + std::string(6, '\0') + static_cast<char>(width) + static_cast<char>(width) +
         bigEndian(objects.size(), 8) + bigEndian(0, 8) + bigEndian(offsetTable, 8);
}

}  // namespace plumo::testing
