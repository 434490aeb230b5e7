#include "formats/pe_image.h"

#include <algorithm>
#include <limits>

namespace zavex {
namespace {

constexpr std::uint16_t kMachineI386 = 0x14C;
constexpr std::uint16_t kMachineX64 = 0x8664;
constexpr std::uint16_t kMagicPe32 = 0x10B;
constexpr std::uint16_t kMagicPe32Plus = 0x20B;
constexpr std::uint64_t kDosHeaderSize = 0x40;
constexpr std::uint64_t kNewHeaderField = 0x3C;
constexpr std::uint64_t kFileHeaderSize = 24;  // signature and COFF header
constexpr std::uint64_t kSectionHeaderSize = 40;
constexpr std::uint16_t kMostSections = 96;
constexpr std::uint32_t kMostDirectories = 16;
constexpr std::uint32_t kRelocationDirectory = 5;
constexpr std::uint32_t kCodeSection = 0x20;
constexpr std::uint32_t kExecutableSection = 0x20000000;
constexpr unsigned kRelocationAbsolute = 0;
constexpr unsigned kRelocationHighLow = 3;
constexpr unsigned kRelocationDir64 = 10;
constexpr char kUnwindFramesName[] = ".eh_frame";
constexpr char kDebugPrefix[] = ".debug_";
constexpr std::size_t kNameField = 8;
constexpr std::size_t kLongestName = 32;

std::uint16_t LoadLe16(const std::uint8_t* bytes) { return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8); }

// Where the fields of the optional header differ between PE32 and PE32+.
struct OptionalLayout {
  std::uint64_t imageBaseField;
  std::uint64_t directoryCountField;
  std::uint64_t directories;
};

constexpr OptionalLayout kPe32Layout{28, 92, 96};
constexpr OptionalLayout kPe32PlusLayout{24, 108, 112};
constexpr std::uint64_t kSizeOfImageField = 56;
constexpr std::uint64_t kSizeOfHeadersField = 60;

}  // namespace

std::uint32_t LoadLe32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

std::uint64_t LoadLe64(const std::uint8_t* bytes) {
  return static_cast<std::uint64_t>(LoadLe32(bytes)) | static_cast<std::uint64_t>(LoadLe32(bytes + 4)) << 32;
}

void StoreLe32(std::uint8_t* bytes, std::uint32_t value) {
  for (int index = 0; index < 4; ++index) bytes[index] = static_cast<std::uint8_t>(value >> (8 * index));
}

void StoreLe64(std::uint8_t* bytes, std::uint64_t value) {
  StoreLe32(bytes, static_cast<std::uint32_t>(value));
  StoreLe32(bytes + 4, static_cast<std::uint32_t>(value >> 32));
}

bool PeImage::Parse(const std::uint8_t* data, std::size_t size) {
  if (!ParseLayout(data, size)) return false;
  for (const PeRelocationBlock& block : relocationBlocks_) {
    if (!ReadRelocationBlock(block)) return false;
  }
  return RelocationsApart();
}

bool PeImage::ParseLayout(const std::uint8_t* data, std::size_t size) {
  return ParseTableBounds(data, size) && ParseRelocationBlocks();
}

bool PeImage::ParseTableBounds(const std::uint8_t* data, std::size_t size) {
  *this = PeImage();
  data_ = data;
  size_ = size;
  std::uint32_t sectionTable = 0;
  std::uint16_t sectionCount = 0;
  std::uint32_t relocationRva = 0;
  std::uint32_t relocationSize = 0;
  if (!ParseHeaders(sectionTable, sectionCount) || !ParseSections(sectionTable, sectionCount)) return false;
  const OptionalLayout& layout = is64_ ? kPe32PlusLayout : kPe32Layout;
  const std::uint64_t optional = LoadLe32(data_ + kNewHeaderField) + kFileHeaderSize;
  if (LoadLe32(data_ + optional + layout.directoryCountField) > kRelocationDirectory) {
    const std::uint8_t* entry = data_ + optional + layout.directories + 8 * kRelocationDirectory;
    relocationRva = LoadLe32(entry);
    relocationSize = LoadLe32(entry + 4);
  }
  if (relocationSize == 0) return true;
  relocationSize_ = relocationSize;
  return OffsetOfRva(relocationRva, relocationSize, relocationOffset_);
}

bool PeImage::ParseHeaders(std::uint32_t& sectionTable, std::uint16_t& sectionCount) {
  if (size_ < kDosHeaderSize || size_ > std::numeric_limits<std::uint32_t>::max()) return false;
  if (data_[0] != 'M' || data_[1] != 'Z') return false;
  const std::uint64_t fileHeader = LoadLe32(data_ + kNewHeaderField);
  const std::uint64_t optional = fileHeader + kFileHeaderSize;
  if (optional > size_ || LoadLe32(data_ + fileHeader) != 0x00004550) return false;  // "PE\0\0"
  const std::uint16_t machine = LoadLe16(data_ + fileHeader + 4);
  sectionCount = LoadLe16(data_ + fileHeader + 6);
  const std::uint64_t optionalSize = LoadLe16(data_ + fileHeader + 20);
  const std::uint64_t tableEnd = optional + optionalSize + kSectionHeaderSize * sectionCount;
  if (sectionCount == 0 || sectionCount > kMostSections || tableEnd > size_) return false;
  if (optionalSize < 2) return false;
  const std::uint16_t magic = LoadLe16(data_ + optional);
  if (!((machine == kMachineI386 && magic == kMagicPe32) || (machine == kMachineX64 && magic == kMagicPe32Plus))) {
    return false;
  }
  is64_ = magic == kMagicPe32Plus;
  const OptionalLayout& layout = is64_ ? kPe32PlusLayout : kPe32Layout;
  if (optionalSize < layout.directories) return false;
  const std::uint32_t directoryCount = LoadLe32(data_ + optional + layout.directoryCountField);
  if (directoryCount > kMostDirectories || layout.directories + 8ull * directoryCount > optionalSize) return false;
  imageBase_ = is64_ ? LoadLe64(data_ + optional + layout.imageBaseField)
                     : LoadLe32(data_ + optional + layout.imageBaseField);
  imageSize_ = LoadLe32(data_ + optional + kSizeOfImageField);
  headersSize_ = LoadLe32(data_ + optional + kSizeOfHeadersField);
  const std::uint64_t symbols = LoadLe32(data_ + fileHeader + 12);
  if (symbols != 0) stringTable_ = symbols + kSymbolSize * LoadLe32(data_ + fileHeader + 16);
  if (headersSize_ < tableEnd || headersSize_ > imageSize_) return false;
  sectionTable = static_cast<std::uint32_t>(optional + optionalSize);
  return true;
}

bool PeImage::ParseSections(std::uint32_t sectionTable, std::uint16_t sectionCount) {
  std::uint64_t virtualEnd = headersSize_;
  std::uint64_t fileEnd = headersSize_;
  std::uint64_t lastEnd = headersSize_;
  for (std::uint16_t index = 0; index < sectionCount; ++index) {
    const std::uint8_t* header = data_ + sectionTable + kSectionHeaderSize * index;
    const std::uint32_t virtualSize = LoadLe32(header + 8);
    const std::uint32_t rawSize = LoadLe32(header + 16);
    PeSection section;
    section.virtualSize = virtualSize != 0 ? virtualSize : rawSize;
    section.rva = LoadLe32(header + 12);
    section.fileOffset = LoadLe32(header + 20);
    section.rawSize = std::min(rawSize, section.virtualSize);
    section.executable = (LoadLe32(header + 36) & (kCodeSection | kExecutableSection)) != 0;
    const std::string name = section.executable ? std::string() : SectionName(header);
    section.unwindFrames = name == kUnwindFramesName || name == std::string(kUnwindFramesName, kNameField);
    constexpr std::size_t kPrefixLength = sizeof(kDebugPrefix) - 1;
    section.debugInfo = name.size() > kPrefixLength && name.compare(0, kPrefixLength, kDebugPrefix) == 0;
    const std::uint64_t sectionVirtualEnd = std::uint64_t{section.rva} + section.virtualSize;
    const std::uint64_t sectionFileEnd = std::uint64_t{section.fileOffset} + section.rawSize;
    if (section.rva < virtualEnd || sectionVirtualEnd > imageSize_) return false;
    if (section.rawSize != 0 && (section.fileOffset < fileEnd || sectionFileEnd > size_)) return false;
    virtualEnd = sectionVirtualEnd;
    if (section.rawSize != 0) fileEnd = sectionFileEnd;
    if (rawSize != 0) lastEnd = std::max(lastEnd, std::uint64_t{section.fileOffset} + rawSize);
    sections_.push_back(section);
  }
  return ParseSymbols(lastEnd);
}

bool PeImage::ParseSymbols(std::uint64_t sectionsEnd) {
  const std::uint64_t fileHeader = LoadLe32(data_ + kNewHeaderField);
  const std::uint64_t offset = LoadLe32(data_ + fileHeader + 12);
  const std::uint64_t count = LoadLe32(data_ + fileHeader + 16);
  if (offset == 0) return true;
  if (offset < sectionsEnd || offset > size_ || (size_ - offset) / kSymbolSize < count) return false;
  for (std::uint64_t index = 0; index < count; ++index) {
    index += data_[offset + kSymbolSize * index + kSymbolAuxiliaryField];
    if (index >= count) return false;
  }
  symbolOffset_ = static_cast<std::uint32_t>(offset);
  symbolCount_ = static_cast<std::uint32_t>(count);
  return true;
}

// An 8-byte name, or "/" and the decimal offset of a longer one in the
// string table, read up to kLongestName bytes; empty when it cannot be read.
std::string PeImage::SectionName(const std::uint8_t* name) const {
  const std::uint8_t* end = std::find(name, name + kNameField, 0);
  if (name[0] != '/') return std::string(name, end);
  if (stringTable_ == 0) return std::string();
  std::uint64_t offset = 0;
  for (const std::uint8_t* digit = name + 1; digit != end; ++digit) {
    if (*digit < '0' || *digit > '9') return std::string();
    offset = offset * 10 + (*digit - '0');
  }
  const std::uint64_t start = stringTable_ + offset;
  if (start >= size_) return std::string();
  const std::uint8_t* longName = data_ + start;
  return std::string(longName, std::find(longName, longName + std::min<std::uint64_t>(size_ - start, kLongestName), 0));
}

bool PeImage::ParseRelocationBlocks() {
  const std::uint32_t tableSize = relocationSize_;
  std::uint32_t position = 0;
  while (position < tableSize) {
    if (tableSize - position < kRelocationBlockHeader) return false;
    const std::uint8_t* block = data_ + relocationOffset_ + position;
    const std::uint32_t blockSize = LoadLe32(block + 4);
    if (blockSize < kRelocationBlockHeader || blockSize % 2 != 0 || blockSize > tableSize - position) return false;
    relocationBlocks_.push_back(
        {LoadLe32(block), relocationOffset_ + position + kRelocationBlockHeader, (blockSize - kRelocationBlockHeader) / 2});
    position += blockSize;
  }
  return true;
}

bool PeImage::ReadRelocationBlock(const PeRelocationBlock& block) {
  for (std::uint32_t index = 0; index < block.count; ++index) {
    const std::uint16_t entry = LoadLe16(data_ + block.entriesOffset + 2 * index);
    const unsigned type = entry >> 12;
    if (type == kRelocationAbsolute) continue;
    if (type != kRelocationHighLow && type != kRelocationDir64) return false;
    PeAbsoluteLocation location;
    location.width = type == kRelocationHighLow ? 4 : 8;
    if (!OffsetOfRva(std::uint64_t{block.pageRva} + (entry & 0xFFF), location.width, location.fileOffset)) {
      return false;
    }
    absoluteLocations_.push_back(location);
  }
  return true;
}

bool PeImage::RelocationsApart() {
  std::sort(absoluteLocations_.begin(), absoluteLocations_.end(),
            [](const PeAbsoluteLocation& a, const PeAbsoluteLocation& b) { return a.fileOffset < b.fileOffset; });
  const std::uint64_t tableStart = relocationOffset_;
  const std::uint64_t tableEnd = tableStart + relocationSize_;
  std::uint64_t previousEnd = 0;
  for (const PeAbsoluteLocation& location : absoluteLocations_) {
    const std::uint64_t end = std::uint64_t{location.fileOffset} + location.width;
    if (location.fileOffset < previousEnd) return false;
    if (location.fileOffset < tableEnd && end > tableStart) return false;
    previousEnd = end;
  }
  return true;
}

bool PeImage::RvaOfOffset(std::uint64_t offset, std::uint32_t& rva) const {
  for (const PeSection& section : sections_) {
    if (offset >= section.fileOffset && offset - section.fileOffset < section.rawSize) {
      rva = static_cast<std::uint32_t>(section.rva + (offset - section.fileOffset));
      return true;
    }
  }
  return false;
}

bool PeImage::OffsetOfRva(std::uint64_t rva, std::uint64_t size, std::uint32_t& offset) const {
  for (const PeSection& section : sections_) {
    if (rva >= section.rva && rva - section.rva <= section.rawSize && size <= section.rawSize - (rva - section.rva)) {
      offset = static_cast<std::uint32_t>(section.fileOffset + (rva - section.rva));
      return true;
    }
  }
  return false;
}

}  // namespace zavex
