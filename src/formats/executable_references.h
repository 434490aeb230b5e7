#pragma once

// The references of a PE image that the executable transform turns into
// labels: rel32 operands of calls, jumps and conditional jumps in executable
// sections and, in x86-64 code, RIP-relative operands; the absolute addresses
// that the base relocation table lists; the code addresses of .eh_frame's
// records, relative to where they are; the values of COFF symbols, relative
// to their section; and the addresses in debug sections, which the loader
// never relocates.

#include <cstdint>
#include <functional>
#include <vector>

#include "formats/pe_image.h"

namespace zavex {

enum class ReferenceKind : std::uint8_t {
  kAbsolute,  // image base plus the target, 4 or 8 bytes
  kRelative,  // the target less the RVA after the 4-byte operand (rel32, RIP-relative)
  kFrame,     // the target less the RVA of the 4-byte operand
  kSymbol,    // the target less the RVA of the symbol's section
  kDebugAddress,  // image base plus the target, 4 bytes in PE32 and 8 in PE32+, not relocated
};

// width bytes at fileOffset that name target, an RVA inside the image.
struct ExecutableReference {
  std::uint32_t fileOffset = 0;
  std::uint32_t target = 0;
  std::uint8_t width = 0;
  ReferenceKind kind = ReferenceKind::kAbsolute;
};

// Operands that could have been references but point outside the image.
struct ImageReferences {
  std::vector<ExecutableReference> references;  // in ascending file order
  std::vector<PeAbsoluteLocation> outside;      // in ascending file order
};

// Calls accept with the file offset of each 4-byte operand that follows an
// E8, E9 or 0F 80..8F opcode in an executable section or, in an x86-64
// image, an opcode and a RIP-relative ModRM byte, where neither opcode nor
// operand touches an absolute location or the relocation table, in strictly
// ascending order. An accepted operand is a reference: the scan resumes after
// it; otherwise it resumes at the next byte. Which operands are offered
// depends only on bytes outside accepted operands and absolute locations.
void ScanRelativeOperands(const std::uint8_t* data, const PeImage& image,
                          const std::function<bool(std::uint32_t fileOffset)>& accept);

// Calls offer with the file offset of each 4-byte pointer of .eh_frame
// records that is encoded relative to itself (pcrel sdata4): an FDE's initial
// location and its LSDA pointer, unless they touch an absolute location. The
// records' structure is read from bytes outside those pointers; reading stops
// at the first record it cannot follow.
void ScanFrameOperands(const std::uint8_t* data, const PeImage& image,
                       const std::function<void(std::uint32_t fileOffset)>& offer);

// Calls visit with the file offset of each primary record of the symbol
// table, in order, skipping auxiliary records.
void ForEachSymbol(const std::uint8_t* data, const PeImage& image,
                   const std::function<void(std::uint64_t record)>& visit);

// Calls offer with the file offset of the value of each symbol whose section
// number names a section of the image, and that section.
void ScanSymbolOperands(const std::uint8_t* data, const PeImage& image,
                        const std::function<void(std::uint32_t fileOffset, const PeSection& section)>& offer);

// Calls accept with the file offset of each operand of a debug address
// (4 bytes in PE32, 8 in PE32+) in a debug section that touches no absolute
// location, in ascending order. An accepted operand is a reference: the scan
// resumes after it; otherwise it resumes at the next byte.
void ScanDebugAddresses(const PeImage& image,
                        const std::function<bool(std::uint32_t fileOffset, unsigned width)>& accept);

// How far the address value lies above the image base, modulo the operand's
// width: the target of a debug address when below the image's size.
std::uint64_t AddressDistance(const PeImage& image, unsigned width, std::uint64_t value);

// An operand's value, little-endian in width 4 or 8.
std::uint64_t LoadOperand(const std::uint8_t* bytes, unsigned width);
void StoreOperand(std::uint8_t* bytes, unsigned width, std::uint64_t value);

// Every reference of the image in data, which image parsed.
ImageReferences ReadReferences(const std::uint8_t* data, const PeImage& image);

// The distance from a relative operand to the RVA its value counts from.
std::uint32_t RelativeBase(ReferenceKind kind);

// The target of a relative operand of kind at fileOffset holding value, when
// it lies inside the image.
bool RelativeTarget(const PeImage& image, ReferenceKind kind, std::uint32_t fileOffset, std::uint32_t value,
                    std::uint32_t& target);

}  // namespace zavex
