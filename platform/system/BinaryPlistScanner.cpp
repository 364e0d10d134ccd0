#include "BinaryPlistScanner.h"

#include <algorithm>

namespace plumo {

namespace {

constexpr std::size_t trailerSize = 32;
// About what an object takes as XML beyond its data or text: "<true/>", "<array>" and "</array>".
constexpr std::uint64_t objectCost = 8;

enum Kind : unsigned { data = 0x4, asciiString = 0x5, utf16String = 0x6, utf8String = 0x7, array = 0xA, set = 0xC,
                       dictionary = 0xD };

}  // namespace

bool BinaryPlistScanner::withinLimits(std::size_t byteLimit, int depthLimit) {
  byteLimit_ = byteLimit;
  depthLimit_ = depthLimit;
  if (document_.size() > byteLimit || !document_.starts_with(magic) || !readTrailer()) return false;
  measured_.clear();
  return measure(topObject_, 0).has_value();
}

// The last 32 bytes: 6 unused, the sizes of an offset and of a reference, then
// the number of objects, the top object and where the offset table starts.
bool BinaryPlistScanner::readTrailer() {
  if (document_.size() < magic.size() + trailerSize) return false;
  const std::uint64_t trailer = document_.size() - trailerSize;
  offsetSize_ = static_cast<unsigned char>(document_[trailer + 6]);
  referenceSize_ = static_cast<unsigned char>(document_[trailer + 7]);
  const auto count = bigEndian(trailer + 8, 8);
  const auto top = bigEndian(trailer + 16, 8);
  const auto table = bigEndian(trailer + 24, 8);
  if (offsetSize_ < 1 || offsetSize_ > 8 || referenceSize_ < 1 || referenceSize_ > 8 || !count || !top || !table) {
    return false;
  }
  objectCount_ = *count;
  topObject_ = *top;
  offsetTable_ = *table;
  // The table of one offset per object lies between the objects and the trailer.
  return offsetTable_ >= magic.size() && offsetTable_ <= trailer &&
         objectCount_ <= (trailer - offsetTable_) / offsetSize_;
}

// An unsigned number of `size` bytes at `offset`, most significant first, when they lie within the document.
std::optional<std::uint64_t> BinaryPlistScanner::bigEndian(std::uint64_t offset, std::uint64_t size) const {
  if (offset > document_.size() || size > document_.size() - offset) return std::nullopt;
  std::uint64_t value = 0;
  for (std::uint64_t index = 0; index < size; ++index) {
    value = (value << 8) | static_cast<unsigned char>(document_[offset + index]);
  }
  return value;
}

// `level`: the containers above the object. A shared object is measured once.
std::optional<BinaryPlistScanner::Extent> BinaryPlistScanner::measure(std::uint64_t object, int level) {
  if (level > depthLimit_ || object >= objectCount_) return std::nullopt;
  if (const auto known = measured_.find(object); known != measured_.end()) {
    if (level + known->second.depth > depthLimit_) return std::nullopt;
    return known->second;
  }
  const auto at = bigEndian(offsetTable_ + object * offsetSize_, offsetSize_);
  if (!at || *at < magic.size() || *at >= offsetTable_) return std::nullopt;
  const auto marker = static_cast<unsigned char>(document_[*at]);
  const unsigned kind = marker >> 4;
  std::uint64_t payloadStart = 0;
  std::optional<Extent> extent;
  if (kind == array || kind == set || kind == dictionary) {
    const auto count = length(*at, marker & 0xF, payloadStart);
    if (count) extent = measureContainer(payloadStart, *count, kind == dictionary ? 2 * *count : *count, level);
  } else if (kind == data || kind == asciiString || kind == utf16String || kind == utf8String) {
    const auto count = length(*at, marker & 0xF, payloadStart);
    if (count && *count <= document_.size()) extent = Extent{0, objectCost + (kind == utf16String ? 3 : 1) * *count};
  } else {
    extent = Extent{0, objectCost};
  }
  if (!extent || extent->cost > byteLimit_ || level + extent->depth > depthLimit_) return std::nullopt;
  measured_.emplace(object, *extent);
  return extent;
}

std::optional<BinaryPlistScanner::Extent> BinaryPlistScanner::measureContainer(std::uint64_t at, std::uint64_t count,
                                                                               std::uint64_t referenceCount,
                                                                               int level) {
  // The references lie among the objects, before the offset table.
  if (at > offsetTable_ || count > document_.size() || referenceCount * referenceSize_ > offsetTable_ - at) {
    return std::nullopt;
  }
  Extent extent{1, objectCost};
  for (std::uint64_t index = 0; index < referenceCount; ++index) {
    const auto reference = bigEndian(at + index * referenceSize_, referenceSize_);
    const auto child = reference ? measure(*reference, level + 1) : std::nullopt;
    if (!child) return std::nullopt;
    extent.depth = std::max(extent.depth, child->depth + 1);
    extent.cost += child->cost;
    if (extent.cost > byteLimit_) return std::nullopt;
  }
  return extent;
}

// The count in the marker's low nibble, or, when that is 0xF, in the integer object that follows;
// `payloadStart` is set to the first byte after them.
std::optional<std::uint64_t> BinaryPlistScanner::length(std::uint64_t at, unsigned lowNibble,
                                                        std::uint64_t& payloadStart) const {
  if (lowNibble != 0xF) {
    payloadStart = at + 1;
    return lowNibble;
  }
  const auto integerMarker = bigEndian(at + 1, 1);
  if (!integerMarker || (*integerMarker >> 4) != 0x1 || (*integerMarker & 0xF) > 3) return std::nullopt;
  const std::uint64_t size = std::uint64_t{1} << (*integerMarker & 0xF);
  payloadStart = at + 2 + size;
  return bigEndian(at + 2, size);
}

}  // namespace plumo
