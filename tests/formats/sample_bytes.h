#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "formats/binary_patch.h"

namespace zavex {

using Bytes = std::vector<std::uint8_t>;

inline Bytes RandomBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(random());
  return bytes;
}

// Text-like bytes: words from a small vocabulary, so with long and short
// repeats at every distance.
inline Bytes WordBytes(std::size_t size, std::uint32_t seed) {
  static const char* const kWords[] = {"atualiza", "arquivo ", "versao ", "zavex ", "\n", "0x00401000 ",
                                       "instalador ", "{\"path\": ", "  ", "manifest"};
  std::mt19937 random(seed);
  std::string text;
  while (text.size() < size) text += kWords[random() % (sizeof(kWords) / sizeof(kWords[0]))];
  return Bytes(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(size));
}

// Byte values with counts in the Fibonacci sequence, shuffled: the skew that
// makes Huffman trees deeper than DEFLATE's 15 bits.
inline Bytes SkewedBytes(std::uint32_t seed) {
  Bytes bytes;
  std::uint32_t previous = 1;
  std::uint32_t count = 1;
  for (int value = 0; value < 26; ++value) {
    bytes.insert(bytes.end(), count, static_cast<std::uint8_t>(value * 9));
    const std::uint32_t next = previous + count;
    previous = count;
    count = next;
  }
  std::shuffle(bytes.begin(), bytes.end(), std::mt19937(seed));
  return bytes;
}

// source with every stride-th byte changed, bytes inserted and removed here
// and there: how a rebuilt program differs from the previous build.
inline Bytes EditedBytes(const Bytes& source, std::size_t stride, std::uint32_t seed) {
  std::mt19937 random(seed);
  Bytes edited;
  edited.reserve(source.size() + source.size() / 64);
  for (std::size_t index = 0; index < source.size(); ++index) {
    const std::uint32_t draw = random() % (stride * 8);
    if (draw == 0) continue;
    if (draw == 1) edited.push_back(static_cast<std::uint8_t>(random()));
    edited.push_back(draw < 8 ? static_cast<std::uint8_t>(source[index] + 4) : source[index]);
  }
  return edited;
}

// The file that patch makes of old, expecting newSize bytes; empty when
// the patch is refused.
inline Bytes AppliedPatch(const Bytes& patch, const Bytes& old, std::uint64_t newSize) {
  Bytes result;
  MemoryReader patchReader(patch);
  MemoryReader oldReader(old);
  const bool applied = ApplyPatch(patchReader, oldReader, newSize, [&result](const std::uint8_t* data, std::size_t size) {
    result.insert(result.end(), data, data + size);
    return true;
  });
  return applied ? result : Bytes();
}

}  // namespace zavex
