#pragma once

// A read-only view of a PE32 (i386) or PE32+ (x86-64) image file: its
// headers, its sections and the references its base relocation table lists.
// Every offset and size is checked against the file in 64-bit arithmetic;
// anything malformed or unusual makes Parse fail instead of guessing.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zavex {

// A section's bytes in the file and in the loaded image. rawSize counts only
// the file bytes that the image maps, never more than virtualSize.
struct PeSection {
  std::uint32_t rva = 0;
  std::uint32_t virtualSize = 0;
  std::uint32_t fileOffset = 0;
  std::uint32_t rawSize = 0;
  bool executable = false;
  bool unwindFrames = false;  // named .eh_frame and not executable
  bool debugInfo = false;     // named .debug_ and more, and not executable
};

// An address in the image that the loader relocates: width 4 or 8 bytes at
// fileOffset, holding imageBase plus an RVA.
struct PeAbsoluteLocation {
  std::uint32_t fileOffset = 0;
  std::uint8_t width = 0;
};

// A block of the base relocation table: count 2-byte entries at
// entriesOffset in the file, each a type (top 4 bits) and an offset into the
// 4 KiB page at pageRva.
struct PeRelocationBlock {
  std::uint32_t pageRva = 0;
  std::uint32_t entriesOffset = 0;
  std::uint32_t count = 0;
};

class PeImage {
 public:
  // False for anything but a well-formed PE32 (machine i386) or PE32+
  // (machine x86-64) of at most 4 GiB whose sections lie after the headers,
  // inside the file and the image, without overlapping, whose symbol table
  // (and so the string table of long names), if any, lies whole in the file
  // after them, and whose base
  // relocations, if any, lie inside one section and point into section bytes
  // of the file, apart from one another and from the relocation table.
  bool Parse(const std::uint8_t* data, std::size_t size);
  // Parse without reading the relocation entries: absoluteLocations() stays
  // empty and the entries may hold anything.
  bool ParseLayout(const std::uint8_t* data, std::size_t size);
  // ParseLayout without reading the relocation blocks either: only where the
  // table lies, inside one section; relocationBlocks() stays empty.
  bool ParseTableBounds(const std::uint8_t* data, std::size_t size);

  bool is64() const { return is64_; }
  std::uint64_t imageBase() const { return imageBase_; }
  std::uint32_t imageSize() const { return imageSize_; }
  // In ascending RVA order, which is also ascending file order.
  const std::vector<PeSection>& sections() const { return sections_; }
  // In ascending file order.
  const std::vector<PeAbsoluteLocation>& absoluteLocations() const { return absoluteLocations_; }
  // The COFF symbol table: symbolCount() records of kSymbolSize bytes at
  // symbolTableOffset(), after the headers and every section's bytes, each
  // primary record's auxiliary records inside it; 0 records when there is none.
  std::uint32_t symbolTableOffset() const { return symbolOffset_; }
  std::uint32_t symbolCount() const { return symbolCount_; }
  // The base relocation table's bytes in the file; empty when there is none.
  std::uint32_t relocationTableOffset() const { return relocationOffset_; }
  std::uint32_t relocationTableSize() const { return relocationSize_; }
  const std::vector<PeRelocationBlock>& relocationBlocks() const { return relocationBlocks_; }

  // The RVA of a file offset inside a section's mapped bytes; false elsewhere.
  bool RvaOfOffset(std::uint64_t offset, std::uint32_t& rva) const;
  // The file offset of size bytes at rva, all inside one section's mapped
  // bytes; false elsewhere.
  bool OffsetOfRva(std::uint64_t rva, std::uint64_t size, std::uint32_t& offset) const;

 private:
  bool ParseHeaders(std::uint32_t& sectionTable, std::uint16_t& sectionCount);
  bool ParseSections(std::uint32_t sectionTable, std::uint16_t sectionCount);
  bool ParseSymbols(std::uint64_t sectionsEnd);
  std::string SectionName(const std::uint8_t* name) const;
  bool ParseRelocationBlocks();
  bool ReadRelocationBlock(const PeRelocationBlock& block);
  bool RelocationsApart();

  const std::uint8_t* data_ = nullptr;
  std::uint64_t size_ = 0;
  bool is64_ = false;
  std::uint64_t imageBase_ = 0;
  std::uint32_t imageSize_ = 0;
  std::uint32_t headersSize_ = 0;
  std::uint64_t stringTable_ = 0;  // long section names; 0 when there is none
  std::uint32_t symbolOffset_ = 0;
  std::uint32_t symbolCount_ = 0;
  std::uint32_t relocationOffset_ = 0;
  std::uint32_t relocationSize_ = 0;
  std::vector<PeSection> sections_;
  std::vector<PeRelocationBlock> relocationBlocks_;
  std::vector<PeAbsoluteLocation> absoluteLocations_;
};

// A relocation block's header: its page's RVA and its size with the header.
inline constexpr std::uint32_t kRelocationBlockHeader = 8;
inline constexpr std::uint32_t kSymbolSize = 18;
// In a symbol record: the name's string table offset when its first four
// bytes are 0, the value, the 1-based section number, the auxiliary count.
inline constexpr std::uint32_t kSymbolNameOffsetField = 4;
inline constexpr std::uint32_t kSymbolValueField = 8;
inline constexpr std::uint32_t kSymbolSectionField = 12;
inline constexpr std::uint32_t kSymbolAuxiliaryField = 17;

// Little-endian integers of bytes the caller has checked.
std::uint32_t LoadLe32(const std::uint8_t* bytes);
std::uint64_t LoadLe64(const std::uint8_t* bytes);
void StoreLe32(std::uint8_t* bytes, std::uint32_t value);
void StoreLe64(std::uint8_t* bytes, std::uint64_t value);

}  // namespace zavex
