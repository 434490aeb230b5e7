#pragma once

// The references of a PE image that the executable transform turns into
// labels: rel32 operands of calls, jumps and conditional jumps in executable
// sections, and the absolute addresses that the base relocation table lists.

#include <cstdint>
#include <functional>
#include <vector>

#include "formats/pe_image.h"

namespace zavex {

// width bytes at fileOffset that name target, an RVA inside the image.
struct ExecutableReference {
  std::uint32_t fileOffset = 0;
  std::uint32_t target = 0;
  std::uint8_t width = 0;
  bool relative = false;
};

// Operands that could have been references but point outside the image.
struct ImageReferences {
  std::vector<ExecutableReference> references;  // in ascending file order
  std::vector<PeAbsoluteLocation> outside;      // in ascending file order
};

// Calls accept with the file offset of each 4-byte operand that follows an
// E8, E9 or 0F 80..8F opcode in an executable section, where neither opcode
// nor operand touches an absolute location or the relocation table, in
// ascending order. An accepted operand is a reference: the scan resumes after
// it; otherwise it resumes at the next byte. Which operands are offered
// depends only on bytes outside accepted operands and absolute locations.
void ScanRelativeOperands(const std::uint8_t* data, const PeImage& image,
                          const std::function<bool(std::uint32_t fileOffset)>& accept);

// Every reference of the image in data, which image parsed.
ImageReferences ReadReferences(const std::uint8_t* data, const PeImage& image);

// The target of a rel32 operand at fileOffset holding displacement, when it
// lies inside the image.
bool RelativeTarget(const PeImage& image, std::uint32_t fileOffset, std::uint32_t displacement, std::uint32_t& target);

}  // namespace zavex
