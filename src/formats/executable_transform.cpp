#include "formats/executable_transform.h"

#include <algorithm>

#include "formats/executable_references.h"
#include "formats/label_alignment.h"
#include "formats/pe_image.h"

namespace zavex {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Bounds that keep every sum of decoded side data far from overflow.
constexpr std::uint64_t kLargestRva = 0xFFFFFFFF;
constexpr std::int64_t kLargestShift = std::int64_t{1} << 33;

// Where each label of the new file lies, as the side data describes it.
struct NewLabels {
  std::vector<std::uint32_t> rvas;
  std::vector<bool> placed;
  std::vector<std::uint32_t> exceptions;  // ascending file offsets
};

bool Label(const std::uint8_t* data, std::size_t size, LabelledImage& side, std::vector<PeAbsoluteLocation>* outside) {
  if (!side.image.Parse(data, size)) return false;
  side.data = data;
  side.size = size;
  ImageReferences found = ReadReferences(data, side.image);
  side.references = std::move(found.references);
  side.labels = LabelsOf(side.references);
  if (outside != nullptr) *outside = std::move(found.outside);
  return true;
}

// Each relocation entry's page offset as its difference from the entry
// before, modulo the page size, or back: when code moves, these differences
// stay while the offsets all change.
void RecodeRelocationOffsets(std::uint8_t* data, const PeImage& layout, bool toForm) {
  unsigned previous = 0;
  for (const PeRelocationBlock& block : layout.relocationBlocks()) {
    for (std::uint32_t index = 0; index < block.count; ++index) {
      std::uint8_t* entry = data + block.entriesOffset + 2 * index;
      const unsigned stored = (entry[0] | entry[1] << 8) & 0xFFF;
      const unsigned offset = toForm ? stored : (stored + previous) & 0xFFF;
      const unsigned written = toForm ? (stored - previous) & 0xFFF : offset;
      entry[0] = static_cast<std::uint8_t>(written);
      entry[1] = static_cast<std::uint8_t>((entry[1] & 0xF0) | written >> 8);
      previous = offset;
    }
  }
}

// Moves the relocation table's block headers behind all the entries: when
// code moves, entries cross from one page's block to the next, and headers
// amid them would sit at other places in each version.
void GatherRelocationHeaders(std::uint8_t* data, const PeImage& layout) {
  Bytes entries;
  Bytes headers;
  for (const PeRelocationBlock& block : layout.relocationBlocks()) {
    const std::uint8_t* header = data + block.entriesOffset - kRelocationBlockHeader;
    headers.insert(headers.end(), header, header + kRelocationBlockHeader);
    entries.insert(entries.end(), data + block.entriesOffset, data + block.entriesOffset + 2 * block.count);
  }
  std::uint8_t* table = data + layout.relocationTableOffset();
  std::copy(headers.begin(), headers.end(), std::copy(entries.begin(), entries.end(), table));
}

// Puts each block header of a form's relocation table back before its
// entries; false when the headers, read back from the table's end, do not
// fill it exactly.
bool ScatterRelocationHeaders(std::uint8_t* data, const PeImage& bounds) {
  std::uint8_t* table = data + bounds.relocationTableOffset();
  const std::uint64_t tableSize = bounds.relocationTableSize();
  std::uint64_t headersStart = tableSize;
  for (std::uint64_t covered = 0; covered < tableSize;) {
    if (headersStart < kRelocationBlockHeader) return false;
    headersStart -= kRelocationBlockHeader;
    const std::uint32_t blockSize = LoadLe32(table + headersStart + 4);
    if (blockSize < kRelocationBlockHeader || blockSize > tableSize - covered) return false;
    covered += blockSize;
  }
  Bytes restored;
  restored.reserve(tableSize);
  const std::uint8_t* entries = table;
  for (std::uint64_t header = headersStart; header < tableSize; header += kRelocationBlockHeader) {
    const std::uint32_t entryBytes = LoadLe32(table + header + 4) - kRelocationBlockHeader;
    restored.insert(restored.end(), table + header, table + header + kRelocationBlockHeader);
    restored.insert(restored.end(), entries, entries + entryBytes);
    entries += entryBytes;
  }
  std::copy(restored.begin(), restored.end(), table);
  return true;
}

// Each long symbol name's string table offset as its difference from the
// long name before, or back: names follow one another in the string table,
// so these differences stay when names are added before them.
void RecodeSymbolNames(std::uint8_t* data, const PeImage& layout, bool toForm) {
  std::uint32_t previous = 0;
  ForEachSymbol(data, layout, [&](std::uint64_t record) {
    if (LoadLe32(data + record) != 0) return;  // a short name, in place
    std::uint8_t* field = data + record + kSymbolNameOffsetField;
    const std::uint32_t stored = LoadLe32(field);
    const std::uint32_t offset = toForm ? stored : stored + previous;
    StoreLe32(field, toForm ? stored - previous : offset);
    previous = offset;
  });
}

// Turns form, which holds side's bytes (or is them), into side's form: each
// reference's operand replaced by indexOf(its label), a debug address's by the
// image base plus it.
template <typename IndexOf>
void WriteForm(const LabelledImage& side, IndexOf indexOf, Bytes& form) {
  for (const ExecutableReference& reference : side.references) {
    const std::uint64_t base = reference.kind == ReferenceKind::kDebugAddress ? side.image.imageBase() : 0;
    StoreOperand(form.data() + reference.fileOffset, reference.width,
                 base + indexOf(LabelIndex(side.labels, reference.target)));
  }
  RecodeRelocationOffsets(form.data(), side.image, true);
  GatherRelocationHeaders(form.data(), side.image);
  RecodeSymbolNames(form.data(), side.image, true);
}

void PutNumber(Bytes& out, std::uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(value));
}

std::uint64_t Zigzag(std::int64_t value) {
  return (static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63);
}

class SideReader {
 public:
  SideReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool Number(std::uint64_t& value) {
    value = 0;
    for (unsigned shift = 0; shift < 64 && position_ < size_; shift += 7) {
      const std::uint8_t byte = data_[position_++];
      value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
      if ((byte & 0x80) == 0) return shift < 63 || byte <= 1;
    }
    return false;
  }

  // A count of items that take at least one byte each.
  bool Count(std::uint64_t& count) { return Number(count) && count <= size_ - position_; }

  bool AtEnd() const { return position_ == size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

bool ReadPairedLabels(SideReader& reader, const std::vector<std::uint32_t>& oldLabels, NewLabels& labels) {
  std::uint64_t oldCount = 0;
  if (!reader.Number(oldCount) || oldCount != oldLabels.size()) return false;
  labels.rvas.assign(oldLabels.size(), 0);
  labels.placed.assign(oldLabels.size(), false);
  std::int64_t shift = 0;
  for (std::size_t index = 0; index < oldLabels.size(); ++index) {
    std::uint64_t code = 0;
    if (!reader.Number(code)) return false;
    if (code == 0) continue;
    const std::uint64_t zigzag = code - 1;
    const auto change = static_cast<std::int64_t>(zigzag >> 1) ^ -static_cast<std::int64_t>(zigzag & 1);
    if (change > 2 * kLargestShift || change < -2 * kLargestShift) return false;
    shift += change;
    const std::int64_t rva = std::int64_t{oldLabels[index]} + shift;
    if (shift > kLargestShift || shift < -kLargestShift || rva < 0 || rva > static_cast<std::int64_t>(kLargestRva)) {
      return false;
    }
    labels.rvas[index] = static_cast<std::uint32_t>(rva);
    labels.placed[index] = true;
  }
  return true;
}

// Ascending values, each the difference from the one before.
bool ReadAscending(SideReader& reader, std::vector<std::uint32_t>& values) {
  std::uint64_t count = 0;
  if (!reader.Count(count)) return false;
  std::uint64_t value = 0;
  for (std::uint64_t index = 0; index < count; ++index) {
    std::uint64_t gap = 0;
    if (!reader.Number(gap) || gap > kLargestRva || (index != 0 && gap == 0) || value + gap > kLargestRva) {
      return false;
    }
    value += gap;
    values.push_back(static_cast<std::uint32_t>(value));
  }
  return true;
}

void PutAscending(Bytes& out, const std::vector<std::uint32_t>& values) {
  PutNumber(out, values.size());
  std::uint32_t previous = 0;
  for (std::uint32_t value : values) {
    PutNumber(out, value - previous);
    previous = value;
  }
}

bool ReadSideData(const std::uint8_t* data, std::size_t size, const std::vector<std::uint32_t>& oldLabels,
                  NewLabels& labels) {
  SideReader reader(data, size);
  std::vector<std::uint32_t> unpaired;
  if (!ReadPairedLabels(reader, oldLabels, labels) || !ReadAscending(reader, unpaired) ||
      !ReadAscending(reader, labels.exceptions) || !reader.AtEnd()) {
    return false;
  }
  labels.rvas.insert(labels.rvas.end(), unpaired.begin(), unpaired.end());
  labels.placed.resize(labels.rvas.size(), true);
  return true;
}

// pairs: for each new label, its old label or kNoLabel. newIndex receives
// each new label's index in the new form.
Bytes WriteLabelData(const LabelledImage& old, const LabelledImage& newer, const std::vector<std::uint32_t>& pairs,
                     std::vector<std::uint32_t>& newIndex) {
  std::vector<std::int64_t> shifts(old.labels.size(), 0);
  std::vector<bool> paired(old.labels.size(), false);
  std::vector<std::uint32_t> unpaired;
  newIndex.assign(newer.labels.size(), 0);
  for (std::size_t label = 0; label < newer.labels.size(); ++label) {
    if (pairs[label] == kNoLabel) {
      newIndex[label] = static_cast<std::uint32_t>(old.labels.size() + unpaired.size());
      unpaired.push_back(newer.labels[label]);
      continue;
    }
    newIndex[label] = pairs[label];
    shifts[pairs[label]] = std::int64_t{newer.labels[label]} - old.labels[pairs[label]];
    paired[pairs[label]] = true;
  }
  Bytes side;
  PutNumber(side, old.labels.size());
  std::int64_t previousShift = 0;
  for (std::size_t index = 0; index < old.labels.size(); ++index) {
    if (!paired[index]) {
      PutNumber(side, 0);
      continue;
    }
    PutNumber(side, Zigzag(shifts[index] - previousShift) + 1);
    previousShift = shifts[index];
  }
  PutAscending(side, unpaired);
  return side;
}

// Operands outside the image whose bytes read as a label index.
std::vector<std::uint32_t> Exceptions(const Bytes& newForm, const std::vector<PeAbsoluteLocation>& outside,
                                      std::uint64_t labelCount) {
  std::vector<std::uint32_t> exceptions;
  for (const PeAbsoluteLocation& location : outside) {
    if (LoadOperand(newForm.data() + location.fileOffset, location.width) < labelCount) {
      exceptions.push_back(location.fileOffset);
    }
  }
  return exceptions;
}

// Where a form's debug addresses may name labels: a value less than this
// above the image base reads as a label unless it is an exception.
std::uint64_t DebugLabelRange(const PeImage& image, std::uint64_t labelCount) {
  return std::max<std::uint64_t>(image.imageSize(), labelCount);
}

// Places in the new form's debug sections that read as a label but are no
// reference, most of them bytes before a reference.
std::vector<std::uint32_t> DebugExceptions(const Bytes& newForm, const LabelledImage& newer,
                                           std::uint64_t labelCount) {
  std::vector<std::uint32_t> exceptions;
  auto reference = newer.references.begin();
  ScanDebugAddresses(newer.image, [&](std::uint32_t fileOffset, unsigned width) {
    const std::uint64_t value = LoadOperand(newForm.data() + fileOffset, width);
    if (AddressDistance(newer.image, width, value) >= DebugLabelRange(newer.image, labelCount)) return false;
    while (reference != newer.references.end() && reference->fileOffset < fileOffset) ++reference;
    if (reference != newer.references.end() && reference->fileOffset == fileOffset &&
        reference->kind == ReferenceKind::kDebugAddress) {
      return true;
    }
    exceptions.push_back(fileOffset);
    return false;
  });
  return exceptions;
}

// The label of the operand at fileOffset in a new form, or false when the
// operand is not a reference.
bool LabelOfOperand(const NewLabels& labels, std::uint32_t fileOffset, std::uint64_t value, std::uint32_t& label) {
  if (value >= labels.rvas.size() ||
      std::binary_search(labels.exceptions.begin(), labels.exceptions.end(), fileOffset)) {
    return false;
  }
  label = static_cast<std::uint32_t>(value);
  return true;
}

bool RestoreAbsolute(const PeImage& form, const NewLabels& labels, Bytes& image) {
  for (const PeAbsoluteLocation& location : form.absoluteLocations()) {
    std::uint8_t* operand = image.data() + location.fileOffset;
    std::uint32_t label = 0;
    if (!LabelOfOperand(labels, location.fileOffset, LoadOperand(operand, location.width), label)) continue;
    if (!labels.placed[label] || labels.rvas[label] >= form.imageSize()) return false;
    StoreOperand(operand, location.width, form.imageBase() + labels.rvas[label]);
  }
  return true;
}

// Writes the 4-byte operand at fileOffset back from its label, as the
// label's RVA less base; false when it is no reference, and restored false
// as well when it names a label the side data does not place.
bool RestoreOperand(const PeImage& form, const NewLabels& labels, std::uint32_t fileOffset, std::uint32_t base,
                    Bytes& image, bool& restored) {
  std::uint8_t* operand = image.data() + fileOffset;
  std::uint32_t label = 0;
  if (!restored || !LabelOfOperand(labels, fileOffset, LoadLe32(operand), label)) return false;
  if (!labels.placed[label] || labels.rvas[label] >= form.imageSize()) {
    restored = false;
    return false;
  }
  StoreLe32(operand, labels.rvas[label] - base);
  return true;
}

bool RestoreRelativeOperand(const PeImage& form, const NewLabels& labels, ReferenceKind kind, std::uint32_t fileOffset,
                            Bytes& image, bool& restored) {
  std::uint32_t rva = 0;
  if (!form.RvaOfOffset(fileOffset, rva)) return false;
  return RestoreOperand(form, labels, fileOffset, rva + RelativeBase(kind), image, restored);
}

bool RestoreDebugAddresses(const PeImage& form, const NewLabels& labels, Bytes& image) {
  bool restored = true;
  ScanDebugAddresses(form, [&](std::uint32_t fileOffset, unsigned width) {
    std::uint8_t* operand = image.data() + fileOffset;
    const std::uint64_t label = AddressDistance(form, width, LoadOperand(operand, width));
    if (!restored || label >= DebugLabelRange(form, labels.rvas.size()) ||
        std::binary_search(labels.exceptions.begin(), labels.exceptions.end(), fileOffset)) {
      return false;
    }
    if (label >= labels.rvas.size() || !labels.placed[label] || labels.rvas[label] >= form.imageSize()) {
      restored = false;
      return false;
    }
    StoreOperand(operand, width, form.imageBase() + labels.rvas[label]);
    return true;
  });
  return restored;
}

bool RestoreRelative(const PeImage& form, const NewLabels& labels, Bytes& image) {
  bool restored = true;
  ScanRelativeOperands(image.data(), form, [&](std::uint32_t fileOffset) {
    return RestoreRelativeOperand(form, labels, ReferenceKind::kRelative, fileOffset, image, restored);
  });
  ScanFrameOperands(image.data(), form, [&](std::uint32_t fileOffset) {
    RestoreRelativeOperand(form, labels, ReferenceKind::kFrame, fileOffset, image, restored);
  });
  ScanSymbolOperands(image.data(), form, [&](std::uint32_t fileOffset, const PeSection& section) {
    RestoreOperand(form, labels, fileOffset, section.rva, image, restored);
  });
  return restored;
}

}  // namespace

bool TransformOldExecutable(Bytes& file, std::vector<std::uint32_t>& oldLabels) {
  LabelledImage old;
  if (!Label(file.data(), file.size(), old, nullptr)) return false;
  WriteForm(old, [](std::uint32_t index) { return index; }, file);
  oldLabels = std::move(old.labels);
  return true;
}

bool TransformExecutables(const std::uint8_t* oldData, std::size_t oldSize, const std::uint8_t* newData,
                          std::size_t newSize, ExecutableForms& forms) {
  LabelledImage old;
  LabelledImage newer;
  std::vector<PeAbsoluteLocation> outside;
  if (!Label(oldData, oldSize, old, nullptr) || !Label(newData, newSize, newer, &outside)) return false;
  const std::vector<std::uint32_t> pairs = AlignLabels(old, newer);
  std::vector<std::uint32_t> newIndex;
  forms.sideData = WriteLabelData(old, newer, pairs, newIndex);
  const std::uint64_t labelCount = old.labels.size() + std::count(pairs.begin(), pairs.end(), kNoLabel);
  forms.oldForm.assign(oldData, oldData + oldSize);
  WriteForm(old, [](std::uint32_t index) { return index; }, forms.oldForm);
  forms.newForm.assign(newData, newData + newSize);
  WriteForm(newer, [&newIndex](std::uint32_t index) { return newIndex[index]; }, forms.newForm);
  std::vector<std::uint32_t> exceptions = Exceptions(forms.newForm, outside, labelCount);
  const std::vector<std::uint32_t> debugExceptions = DebugExceptions(forms.newForm, newer, labelCount);
  exceptions.insert(exceptions.end(), debugExceptions.begin(), debugExceptions.end());
  std::sort(exceptions.begin(), exceptions.end());
  PutAscending(forms.sideData, exceptions);
  Bytes restored = forms.newForm;
  return RestoreExecutable(old.labels, forms.sideData.data(), forms.sideData.size(), restored) &&
         std::equal(restored.begin(), restored.end(), newData, newData + newSize);
}

bool RestoreExecutable(const std::vector<std::uint32_t>& oldLabels, const std::uint8_t* sideData,
                       std::size_t sideSize, Bytes& image) {
  NewLabels labels;
  PeImage form;
  if (!ReadSideData(sideData, sideSize, oldLabels, labels) ||
      !form.ParseTableBounds(image.data(), image.size()) || !ScatterRelocationHeaders(image.data(), form) ||
      !form.ParseLayout(image.data(), image.size())) {
    return false;
  }
  RecodeRelocationOffsets(image.data(), form, false);
  RecodeSymbolNames(image.data(), form, false);
  if (!form.Parse(image.data(), image.size())) return false;
  return RestoreAbsolute(form, labels, image) && RestoreRelative(form, labels, image) &&
         RestoreDebugAddresses(form, labels, image);
}

}  // namespace zavex
