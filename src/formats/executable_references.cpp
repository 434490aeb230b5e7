#include "formats/executable_references.h"

#include <algorithm>
#include <map>
#include <string>

namespace zavex {
namespace {

constexpr std::uint32_t kOperandSize = 4;
constexpr std::uint8_t kPcRelativeSigned4 = 0x1B;  // DW_EH_PE_pcrel | DW_EH_PE_sdata4
constexpr std::uint8_t kNoPointer = 0xFF;          // DW_EH_PE_omit
constexpr std::size_t kLongestAugmentation = 8;

// x86-64 opcodes whose ModRM operand is often addressed relative to the next
// instruction: moves, lea, arithmetic, compares, tests, call and jmp through
// memory; after 0F, SSE moves and arithmetic, movzx, movsx, imul and cmov.
constexpr std::uint8_t kOneByteRipOpcodes[] = {0x01, 0x03, 0x09, 0x0B, 0x21, 0x23, 0x29, 0x2B, 0x31, 0x33,
                                               0x39, 0x3B, 0x63, 0x80, 0x81, 0x83, 0x84, 0x85, 0x88, 0x89,
                                               0x8A, 0x8B, 0x8D, 0xC6, 0xC7, 0xF6, 0xF7, 0xFF};
constexpr std::uint8_t kTwoByteRipOpcodes[] = {0x10, 0x11, 0x28, 0x2A, 0x2E, 0x2F, 0x51, 0x54, 0x57, 0x58,
                                               0x59, 0x5A, 0x5C, 0x5E, 0x6E, 0x6F, 0x7E, 0x7F, 0xAF, 0xB6,
                                               0xB7, 0xBE, 0xBF, 0xD6, 0xEF};

template <std::size_t kCount>
bool OneOf(std::uint8_t byte, const std::uint8_t (&set)[kCount]) {
  return std::find(set, set + kCount, byte) != set + kCount;
}

// mod 00 and r/m 101: in 64-bit code a disp32 relative to the next instruction.
bool RipRelativeModRm(std::uint8_t modRm) { return (modRm & 0xC7) == 0x05; }

// The bytes before a 4-byte operand that counts from its own end, or 0: a
// rel32 call or jump, or in x86-64 code a RIP-relative operand, whose value
// the transform counts from the end of the operand also when an immediate
// follows it.
unsigned OpcodeSize(const std::uint8_t* bytes, std::uint64_t available, bool is64) {
  if (bytes[0] == 0xE8 || bytes[0] == 0xE9) return 1;
  if (available >= 2 && bytes[0] == 0x0F && (bytes[1] & 0xF0) == 0x80) return 2;
  if (!is64) return 0;
  if (available >= 3 && bytes[0] == 0x0F && OneOf(bytes[1], kTwoByteRipOpcodes) && RipRelativeModRm(bytes[2])) {
    return 3;
  }
  if (available >= 2 && OneOf(bytes[0], kOneByteRipOpcodes) && RipRelativeModRm(bytes[1])) return 2;
  return 0;
}

// Answers, for ranges in ascending order, whether one touches an absolute
// location or the relocation table.
class ProtectedBytes {
 public:
  explicit ProtectedBytes(const PeImage& image) : image_(image) {}

  bool Touches(std::uint64_t start, std::uint64_t end) {
    const std::vector<PeAbsoluteLocation>& locations = image_.absoluteLocations();
    while (next_ < locations.size() && std::uint64_t{locations[next_].fileOffset} + locations[next_].width <= start) {
      ++next_;
    }
    if (next_ < locations.size() && locations[next_].fileOffset < end) return true;
    const std::uint64_t tableStart = image_.relocationTableOffset();
    return image_.relocationTableSize() != 0 && start < tableStart + image_.relocationTableSize() && end > tableStart;
  }

 private:
  const PeImage& image_;
  std::size_t next_ = 0;
};

// Reads fields of one .eh_frame record, never past its end.
class FrameFields {
 public:
  FrameFields(const std::uint8_t* data, std::uint64_t position, std::uint64_t end)
      : data_(data), position_(position), end_(end) {}

  std::uint64_t position() const { return position_; }
  bool Byte(std::uint8_t& value) {
    if (position_ >= end_) return false;
    value = data_[position_++];
    return true;
  }
  // An unsigned or signed LEB128 number; only unsigned ones are kept.
  bool Number(std::uint64_t& value) {
    value = 0;
    std::uint8_t byte = 0x80;
    for (unsigned shift = 0; byte & 0x80; shift += 7) {
      if (!Byte(byte)) return false;
      if (shift < 64) value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
    }
    return true;
  }
  bool Skip(std::uint64_t size) {
    if (size > end_ - position_) return false;
    position_ += size;
    return true;
  }

 private:
  const std::uint8_t* data_;
  std::uint64_t position_;
  std::uint64_t end_;
};

// What an FDE needs of its CIE.
struct FrameCie {
  std::uint8_t pointerEncoding = 0;
  std::uint8_t lsdaEncoding = kNoPointer;
  bool augmented = false;
};

std::uint64_t EncodedSize(std::uint8_t encoding, bool is64) {
  switch (encoding & 0x0F) {
    case 0x00: return is64 ? 8 : 4;
    case 0x02: case 0x0A: return 2;
    case 0x03: case 0x0B: return 4;
    case 0x04: case 0x0C: return 8;
    default: return 0;
  }
}

bool ReadAugmentation(FrameFields& fields, const std::string& augmentation, bool is64, FrameCie& cie) {
  std::uint64_t length = 0;
  if (!fields.Number(length)) return false;
  for (std::size_t index = 1; index < augmentation.size(); ++index) {
    std::uint8_t encoding = 0;
    switch (augmentation[index]) {
      case 'R':
        if (!fields.Byte(cie.pointerEncoding)) return false;
        break;
      case 'L':
        if (!fields.Byte(cie.lsdaEncoding)) return false;
        break;
      case 'P':
        if (!fields.Byte(encoding) || EncodedSize(encoding, is64) == 0 || !fields.Skip(EncodedSize(encoding, is64))) {
          return false;
        }
        break;
      case 'S':
      case 'B':
        break;
      default:
        return false;
    }
  }
  cie.augmented = true;
  return true;
}

// The fields of a CIE after its id.
bool ReadCie(FrameFields fields, bool is64, FrameCie& cie) {
  std::uint8_t version = 0;
  std::string augmentation;
  std::uint8_t character = 0;
  std::uint64_t skipped = 0;
  if (!fields.Byte(version)) return false;
  while (fields.Byte(character) && character != 0 && augmentation.size() < kLongestAugmentation) {
    augmentation.push_back(static_cast<char>(character));
  }
  if (character != 0 || !fields.Number(skipped) || !fields.Number(skipped)) return false;
  if (version == 1 ? !fields.Byte(character) : !fields.Number(skipped)) return false;
  if (augmentation.empty()) return true;
  return augmentation[0] == 'z' && ReadAugmentation(fields, augmentation, is64, cie);
}

// The pointers of an FDE whose fields after the CIE pointer start at position.
void OfferFdePointers(const FrameCie& cie, FrameFields fields, const std::function<void(std::uint64_t)>& offer) {
  if (cie.pointerEncoding != kPcRelativeSigned4) return;
  const std::uint64_t initialLocation = fields.position();
  if (!fields.Skip(2 * kOperandSize)) return;
  offer(initialLocation);
  std::uint64_t length = 0;
  if (!cie.augmented || cie.lsdaEncoding != kPcRelativeSigned4 || !fields.Number(length) || length < kOperandSize) {
    return;
  }
  if (fields.Skip(kOperandSize)) offer(fields.position() - kOperandSize);
}

void ScanFrames(const std::uint8_t* data, const PeImage& image, const PeSection& section,
                const std::function<void(std::uint64_t)>& offer) {
  constexpr std::uint32_t kExtendedLength = 0xFFFFFFFF;
  std::map<std::uint64_t, FrameCie> cies;
  const std::uint64_t end = std::uint64_t{section.fileOffset} + section.rawSize;
  std::uint64_t position = section.fileOffset;
  while (end - position >= 2 * kOperandSize) {
    const std::uint32_t length = LoadLe32(data + position);
    if (length < kOperandSize || length == kExtendedLength || length > end - position - kOperandSize) return;
    const std::uint64_t idField = position + kOperandSize;
    const std::uint64_t recordEnd = idField + length;
    const std::uint32_t id = LoadLe32(data + idField);
    if (id == 0) {
      FrameCie cie;
      if (ReadCie(FrameFields(data, idField + kOperandSize, recordEnd), image.is64(), cie)) cies[position] = cie;
    } else if (id <= idField - section.fileOffset) {
      const auto cie = cies.find(idField - id);
      if (cie != cies.end()) OfferFdePointers(cie->second, FrameFields(data, idField + kOperandSize, recordEnd), offer);
    }
    position = recordEnd;
  }
}

}  // namespace

std::uint32_t RelativeBase(ReferenceKind kind) { return kind == ReferenceKind::kRelative ? kOperandSize : 0; }

void ScanFrameOperands(const std::uint8_t* data, const PeImage& image,
                       const std::function<void(std::uint32_t fileOffset)>& offer) {
  for (const PeSection& section : image.sections()) {
    if (!section.unwindFrames) continue;
    ProtectedBytes protectedBytes(image);
    ScanFrames(data, image, section, [&](std::uint64_t operand) {
      if (!protectedBytes.Touches(operand, operand + kOperandSize)) offer(static_cast<std::uint32_t>(operand));
    });
  }
}

void ScanRelativeOperands(const std::uint8_t* data, const PeImage& image,
                          const std::function<bool(std::uint32_t fileOffset)>& accept) {
  ProtectedBytes protectedBytes(image);
  for (const PeSection& section : image.sections()) {
    if (!section.executable) continue;
    const std::uint64_t end = std::uint64_t{section.fileOffset} + section.rawSize;
    std::uint64_t position = section.fileOffset;
    std::uint64_t nextOperand = position;  // offers stay ascending, each operand offered once
    while (position + 1 + kOperandSize <= end) {
      const unsigned opcodeSize = OpcodeSize(data + position, end - position, image.is64());
      const std::uint64_t operand = position + opcodeSize;
      bool accepted = false;
      if (opcodeSize != 0 && operand >= nextOperand && operand + kOperandSize <= end &&
          !protectedBytes.Touches(position, operand + kOperandSize)) {
        nextOperand = operand + 1;
        accepted = accept(static_cast<std::uint32_t>(operand));
      }
      position = accepted ? operand + kOperandSize : position + 1;
    }
  }
}

void ForEachSymbol(const std::uint8_t* data, const PeImage& image,
                   const std::function<void(std::uint64_t record)>& visit) {
  for (std::uint64_t index = 0; index < image.symbolCount(); ++index) {
    const std::uint64_t record = image.symbolTableOffset() + std::uint64_t{kSymbolSize} * index;
    visit(record);
    index += data[record + kSymbolAuxiliaryField];
  }
}

void ScanSymbolOperands(const std::uint8_t* data, const PeImage& image,
                        const std::function<void(std::uint32_t fileOffset, const PeSection& section)>& offer) {
  ForEachSymbol(data, image, [&](std::uint64_t record) {
    const std::uint8_t* number = data + record + kSymbolSectionField;
    const std::size_t section = number[0] | number[1] << 8;  // 0 undefined; 0xFFFF, 0xFFFE special
    if (section >= 1 && section <= image.sections().size()) {
      offer(static_cast<std::uint32_t>(record + kSymbolValueField), image.sections()[section - 1]);
    }
  });
}

std::uint64_t LoadOperand(const std::uint8_t* bytes, unsigned width) {
  return width == 4 ? LoadLe32(bytes) : LoadLe64(bytes);
}

void StoreOperand(std::uint8_t* bytes, unsigned width, std::uint64_t value) {
  if (width == 4) {
    StoreLe32(bytes, static_cast<std::uint32_t>(value));
  } else {
    StoreLe64(bytes, value);
  }
}

std::uint64_t AddressDistance(const PeImage& image, unsigned width, std::uint64_t value) {
  const std::uint64_t distance = value - image.imageBase();
  return width == 4 ? distance & 0xFFFFFFFF : distance;
}

void ScanDebugAddresses(const PeImage& image,
                        const std::function<bool(std::uint32_t fileOffset, unsigned width)>& accept) {
  const unsigned width = image.is64() ? 8 : 4;
  ProtectedBytes protectedBytes(image);
  for (const PeSection& section : image.sections()) {
    if (!section.debugInfo) continue;
    const std::uint64_t end = std::uint64_t{section.fileOffset} + section.rawSize;
    std::uint64_t position = section.fileOffset;
    while (end - position >= width) {
      const bool accepted =
          !protectedBytes.Touches(position, position + width) && accept(static_cast<std::uint32_t>(position), width);
      position += accepted ? width : 1;
    }
  }
}

bool RelativeTarget(const PeImage& image, ReferenceKind kind, std::uint32_t fileOffset, std::uint32_t value,
                    std::uint32_t& target) {
  std::uint32_t rva = 0;
  if (!image.RvaOfOffset(fileOffset, rva)) return false;
  const std::int64_t address =
      std::int64_t{rva} + RelativeBase(kind) + static_cast<std::int64_t>(static_cast<std::int32_t>(value));
  if (address < 0 || address >= image.imageSize()) return false;
  target = static_cast<std::uint32_t>(address);
  return true;
}

ImageReferences ReadReferences(const std::uint8_t* data, const PeImage& image) {
  ImageReferences found;
  for (const PeAbsoluteLocation& location : image.absoluteLocations()) {
    const std::uint64_t value = LoadOperand(data + location.fileOffset, location.width);
    if (value >= image.imageBase() && value - image.imageBase() < image.imageSize()) {
      const auto target = static_cast<std::uint32_t>(value - image.imageBase());
      found.references.push_back({location.fileOffset, target, location.width, ReferenceKind::kAbsolute});
    } else {
      found.outside.push_back(location);
    }
  }
  const auto readRelative = [&](ReferenceKind kind, std::uint32_t fileOffset) {
    std::uint32_t target = 0;
    if (RelativeTarget(image, kind, fileOffset, LoadLe32(data + fileOffset), target)) {
      found.references.push_back({fileOffset, target, kOperandSize, kind});
      return true;
    }
    found.outside.push_back({fileOffset, kOperandSize});
    return false;
  };
  ScanRelativeOperands(data, image, [&](std::uint32_t fileOffset) { return readRelative(ReferenceKind::kRelative, fileOffset); });
  ScanFrameOperands(data, image, [&](std::uint32_t fileOffset) { readRelative(ReferenceKind::kFrame, fileOffset); });
  ScanDebugAddresses(image, [&](std::uint32_t fileOffset, unsigned width) {
    const std::uint64_t target = AddressDistance(image, width, LoadOperand(data + fileOffset, width));
    if (target >= image.imageSize()) return false;
    const auto operandWidth = static_cast<std::uint8_t>(width);
    found.references.push_back(
        {fileOffset, static_cast<std::uint32_t>(target), operandWidth, ReferenceKind::kDebugAddress});
    return true;
  });
  ScanSymbolOperands(data, image, [&](std::uint32_t fileOffset, const PeSection& section) {
    const std::uint64_t target = std::uint64_t{section.rva} + LoadLe32(data + fileOffset);
    if (target < image.imageSize()) {
      found.references.push_back(
          {fileOffset, static_cast<std::uint32_t>(target), kOperandSize, ReferenceKind::kSymbol});
    } else {
      found.outside.push_back({fileOffset, kOperandSize});
    }
  });
  const auto byOffset = [](const auto& a, const auto& b) { return a.fileOffset < b.fileOffset; };
  std::sort(found.references.begin(), found.references.end(), byOffset);
  std::sort(found.outside.begin(), found.outside.end(), byOffset);
  return found;
}

}  // namespace zavex
