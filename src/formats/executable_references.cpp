#include "formats/executable_references.h"

#include <algorithm>

namespace zavex {
namespace {

constexpr std::uint32_t kOperandSize = 4;

unsigned OpcodeSize(const std::uint8_t* bytes, std::uint64_t available) {
  if (bytes[0] == 0xE8 || bytes[0] == 0xE9) return 1;
  if (available >= 2 && bytes[0] == 0x0F && (bytes[1] & 0xF0) == 0x80) return 2;
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

}  // namespace

void ScanRelativeOperands(const std::uint8_t* data, const PeImage& image,
                          const std::function<bool(std::uint32_t fileOffset)>& accept) {
  ProtectedBytes protectedBytes(image);
  for (const PeSection& section : image.sections()) {
    if (!section.executable) continue;
    const std::uint64_t end = std::uint64_t{section.fileOffset} + section.rawSize;
    std::uint64_t position = section.fileOffset;
    while (position + 1 + kOperandSize <= end) {
      const unsigned opcodeSize = OpcodeSize(data + position, end - position);
      const std::uint64_t operand = position + opcodeSize;
      if (opcodeSize != 0 && operand + kOperandSize <= end &&
          !protectedBytes.Touches(position, operand + kOperandSize) && accept(static_cast<std::uint32_t>(operand))) {
        position = operand + kOperandSize;
      } else {
        ++position;
      }
    }
  }
}

bool RelativeTarget(const PeImage& image, std::uint32_t fileOffset, std::uint32_t displacement, std::uint32_t& target) {
  std::uint32_t rva = 0;
  if (!image.RvaOfOffset(fileOffset, rva)) return false;
  const std::int64_t address =
      std::int64_t{rva} + kOperandSize + static_cast<std::int64_t>(static_cast<std::int32_t>(displacement));
  if (address < 0 || address >= image.imageSize()) return false;
  target = static_cast<std::uint32_t>(address);
  return true;
}

ImageReferences ReadReferences(const std::uint8_t* data, const PeImage& image) {
  ImageReferences found;
  for (const PeAbsoluteLocation& location : image.absoluteLocations()) {
    const std::uint64_t value =
        location.width == 4 ? LoadLe32(data + location.fileOffset) : LoadLe64(data + location.fileOffset);
    if (value >= image.imageBase() && value - image.imageBase() < image.imageSize()) {
      const auto target = static_cast<std::uint32_t>(value - image.imageBase());
      found.references.push_back({location.fileOffset, target, location.width, false});
    } else {
      found.outside.push_back(location);
    }
  }
  std::vector<ExecutableReference> relative;
  ScanRelativeOperands(data, image, [&](std::uint32_t fileOffset) {
    std::uint32_t target = 0;
    if (RelativeTarget(image, fileOffset, LoadLe32(data + fileOffset), target)) {
      relative.push_back({fileOffset, target, kOperandSize, true});
      return true;
    }
    found.outside.push_back({fileOffset, kOperandSize});
    return false;
  });
  const auto byOffset = [](const auto& a, const auto& b) { return a.fileOffset < b.fileOffset; };
  const auto middle = static_cast<std::ptrdiff_t>(found.references.size());
  found.references.insert(found.references.end(), relative.begin(), relative.end());
  std::inplace_merge(found.references.begin(), found.references.begin() + middle, found.references.end(), byOffset);
  std::sort(found.outside.begin(), found.outside.end(), byOffset);
  return found;
}

}  // namespace zavex
