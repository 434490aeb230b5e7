#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "formats/binary_diff.h"
#include "formats/binary_patch.h"
#include "formats/deflate_encoder.h"
#include "formats/executable_patch.h"
#include "formats/executable_references.h"
#include "formats/executable_transform.h"
#include "formats/label_alignment.h"
#include "formats/pe_image.h"
#include "sample_bytes.h"

namespace zavex {
namespace {

// Real MinGW-w64 builds of pe_samples/sample.c (see its build.sh).
Bytes Sample(const char* name) {
  std::ifstream file(std::string(ZAVEX_PE_SAMPLES_DIR) + "/" + name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The labels that the client takes from the old file as it makes its form.
std::vector<std::uint32_t> OldLabels(const Bytes& old) {
  Bytes form = old;
  std::vector<std::uint32_t> labels;
  EXPECT_TRUE(TransformOldExecutable(form, labels));
  return labels;
}

Bytes Diff(const Bytes& old, const Bytes& newer) {
  return CreatePatch(old.data(), old.size(), newer.data(), newer.size(), PatchFormat::kSeeking);
}

struct SamplePair {
  const char* old;
  const char* newer;
  bool smallerThanToday;  // the transformed patch must beat the files' patch
};

class ExecutableRoundTrip : public ::testing::TestWithParam<SamplePair> {};

TEST_P(ExecutableRoundTrip, ClientRebuildsTheNewFileThroughThePatchOfTheForms) {
  const Bytes old = Sample(GetParam().old);
  const Bytes newer = Sample(GetParam().newer);
  ASSERT_FALSE(old.empty());
  ASSERT_FALSE(newer.empty());
  ExecutableForms forms;
  ASSERT_TRUE(TransformExecutables(old.data(), old.size(), newer.data(), newer.size(), forms));
  EXPECT_NE(forms.oldForm, old);
  EXPECT_NE(forms.newForm, newer);
  const Bytes formPatch = Diff(forms.oldForm, forms.newForm);

  Bytes oldForm = old;
  std::vector<std::uint32_t> oldLabels;
  ASSERT_TRUE(TransformOldExecutable(oldForm, oldLabels));
  EXPECT_EQ(oldForm, forms.oldForm);
  Bytes image = AppliedPatch(formPatch, oldForm, newer.size());
  ASSERT_EQ(image.size(), newer.size());
  ASSERT_TRUE(RestoreExecutable(oldLabels, forms.sideData.data(), forms.sideData.size(), image));
  EXPECT_EQ(image, newer);
  if (GetParam().smallerThanToday) {
    const Bytes side = DeflateBuffer(forms.sideData.data(), forms.sideData.size());
    EXPECT_LT(formPatch.size() + side.size(), Diff(old, newer).size());
  }
}

INSTANTIATE_TEST_SUITE_P(Samples, ExecutableRoundTrip,
                         ::testing::Values(SamplePair{"sample_32_v1.exe", "sample_32_v2.exe", true},
                                           SamplePair{"sample_32_v2.exe", "sample_32_v1.exe", true},
                                           SamplePair{"sample_64_v1.exe", "sample_64_v2.exe", true},
                                           SamplePair{"sample_32_symbols_v1.exe", "sample_32_symbols_v2.exe", true},
                                           SamplePair{"sample_32_v1.exe", "sample_32_v1.exe", false},
                                           SamplePair{"sample_64_v2.exe", "sample_32_v1.exe", false}));

Bytes AppliedAnyPatch(const Bytes& patch, ByteReader& oldReader, std::uint64_t newSize) {
  Bytes result;
  MemoryReader patchReader(patch);
  const bool applied = ApplyAnyPatch(patchReader, oldReader, newSize, [&result](const std::uint8_t* data, std::size_t size) {
    result.insert(result.end(), data, data + size);
    return true;
  });
  return applied ? result : Bytes();
}

TEST_P(ExecutableRoundTrip, TransformedPatchRebuildsTheNewFile) {
  const Bytes old = Sample(GetParam().old);
  const Bytes newer = Sample(GetParam().newer);
  Bytes patch;
  ASSERT_TRUE(CreateExecutablePatch(old.data(), old.size(), newer.data(), newer.size(), patch));
  EXPECT_EQ(patch[kPatchHeaderSize], static_cast<std::uint8_t>(PatchTransform::kExecutable));
  MemoryReader oldReader(old);
  EXPECT_EQ(AppliedAnyPatch(patch, oldReader, newer.size()), newer);
  if (GetParam().smallerThanToday) EXPECT_LT(patch.size(), Diff(old, newer).size());
}

// Counts the bytes read.
class CountingReader : public MemoryReader {
 public:
  using MemoryReader::MemoryReader;
  bool ReadAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) override {
    read += size;
    return MemoryReader::ReadAt(offset, buffer, size);
  }
  std::uint64_t read = 0;
};

TEST(ExecutablePatch, KeepsToTheCapOfTheFilesHeldInMemory) {
  Bytes old = Sample("sample_32_v1.exe");
  Bytes newer = Sample("sample_32_v2.exe");
  old.resize(kMaxTransformedFileBytes);
  newer.resize(kMaxTransformedFileBytes);
  Bytes patch;
  ASSERT_TRUE(CreateExecutablePatch(old.data(), old.size(), newer.data(), newer.size(), patch));
  newer.push_back(0);
  EXPECT_FALSE(CreateExecutablePatch(old.data(), old.size(), newer.data(), newer.size(), patch));
  newer.pop_back();
  old.push_back(0);
  EXPECT_FALSE(CreateExecutablePatch(old.data(), old.size(), newer.data(), newer.size(), patch));

  // Side data above its cap, then an old file above the cap: refused before
  // any read of the old file.
  PatchHeader header;
  ASSERT_TRUE(ReadPatchHeader(patch.data(), patch.size(), header));
  const Bytes streams(patch.begin() + static_cast<std::ptrdiff_t>(PatchHeaderSize(header) + header.sideCompressed),
                      patch.end());
  const Bytes zeros(kMaxSideDataBytes + 1);
  const Bytes side = DeflateBuffer(zeros.data(), zeros.size());
  header.sideCompressed = side.size();
  header.sideDecoded = zeros.size();
  Bytes largeSide(kTransformedPatchHeaderSize);
  WritePatchHeader(header, largeSide.data());
  largeSide.insert(largeSide.end(), side.begin(), side.end());
  largeSide.insert(largeSide.end(), streams.begin(), streams.end());
  old.pop_back();
  CountingReader oldReader(old);
  EXPECT_TRUE(AppliedAnyPatch(largeSide, oldReader, newer.size()).empty());
  EXPECT_EQ(oldReader.read, 0u);

  old.push_back(0);
  const std::uint64_t oldSize = old.size();
  std::memcpy(patch.data() + 5, &oldSize, sizeof(oldSize));
  CountingReader largeOldReader(old);
  EXPECT_TRUE(AppliedAnyPatch(patch, largeOldReader, newer.size()).empty());
  EXPECT_EQ(largeOldReader.read, 0u);
}

TEST(PeImage, ReadsTheRelocatedAddressesOfARealFile) {
  for (const char* name : {"sample_32_v1.exe", "sample_64_v1.exe"}) {
    const Bytes file = Sample(name);
    PeImage image;
    ASSERT_TRUE(image.Parse(file.data(), file.size())) << name;
    EXPECT_EQ(image.is64(), std::string(name).find("_64_") != std::string::npos);
    ASSERT_FALSE(image.absoluteLocations().empty());
    for (const PeAbsoluteLocation& location : image.absoluteLocations()) {
      const std::uint64_t value =
          location.width == 4 ? LoadLe32(&file[location.fileOffset]) : LoadLe64(&file[location.fileOffset]);
      EXPECT_GE(value, image.imageBase());
      EXPECT_LT(value - image.imageBase(), image.imageSize());
    }
  }
}

TEST(ExecutableReferences, ReadsTheRipRelativeOperandsOfX64Code) {
  const Bytes file = Sample("sample_64_v1.exe");
  PeImage image;
  ASSERT_TRUE(image.Parse(file.data(), file.size()));
  std::size_t ripRelative = 0;
  for (const ExecutableReference& reference : ReadReferences(file.data(), image).references) {
    if (reference.kind != ReferenceKind::kRelative || (file[reference.fileOffset - 1] & 0xC7) != 0x05) continue;
    ++ripRelative;
    std::uint32_t rva = 0;
    ASSERT_TRUE(image.RvaOfOffset(reference.fileOffset, rva));
    EXPECT_EQ(reference.target, rva + 4 + LoadLe32(&file[reference.fileOffset]));
  }
  // objdump shows 290 instructions that address memory relative to rip.
  EXPECT_GE(ripRelative, 280u);
}

TEST(ExecutableReferences, ReadsTheValuesOfSymbolsAsTargetsInTheirSections) {
  const Bytes file = Sample("sample_32_symbols_v1.exe");
  PeImage image;
  ASSERT_TRUE(image.Parse(file.data(), file.size()));
  ASSERT_GT(image.symbolCount(), 0u);
  std::size_t symbols = 0;
  for (const ExecutableReference& reference : ReadReferences(file.data(), image).references) {
    if (reference.kind != ReferenceKind::kSymbol) continue;
    ++symbols;
    const std::size_t record = reference.fileOffset - kSymbolValueField;
    const std::uint16_t section = file[record + kSymbolSectionField] | file[record + kSymbolSectionField + 1] << 8;
    ASSERT_GE(section, 1);
    ASSERT_LE(section, image.sections().size());
    EXPECT_EQ(reference.target, image.sections()[section - 1].rva + LoadLe32(&file[reference.fileOffset]));
  }
  EXPECT_GT(symbols, image.symbolCount() / 2);
}

TEST(ExecutableTransform, FormHoldsEachLongSymbolNameAsItsOffsetFromTheOneBefore) {
  const Bytes file = Sample("sample_32_symbols_v1.exe");
  PeImage image;
  ASSERT_TRUE(image.Parse(file.data(), file.size()));
  Bytes form = file;
  std::vector<std::uint32_t> labels;
  ASSERT_TRUE(TransformOldExecutable(form, labels));
  std::uint32_t previous = 0;
  std::size_t longNames = 0;
  ForEachSymbol(file.data(), image, [&](std::uint64_t record) {
    if (LoadLe32(&file[record]) != 0) return;
    const std::uint32_t offset = LoadLe32(&file[record + kSymbolNameOffsetField]);
    EXPECT_EQ(LoadLe32(&form[record + kSymbolNameOffsetField]), offset - previous);
    previous = offset;
    ++longNames;
  });
  EXPECT_GT(longNames, 100u);
}

// Offsets in sample_32_v1.exe: PE header at 0x80, optional header at 0x98,
// section table at 0x178, the relocation table of 0x438 bytes at file offset
// 0xAA00, in the last section with file bytes.
constexpr std::size_t kPeHeader = 0x80;
constexpr std::size_t kOptionalHeader = 0x98;
constexpr std::size_t kSectionTable = 0x178;
constexpr std::size_t kRelocationTable = 0xAA00;
constexpr std::size_t kRelocationTableSize = 0x438;
constexpr std::size_t kDataSection = 0x7800;  // .data's bytes in the file

// A copy of the first size bytes in a buffer of its own, so that the
// sanitizers see any read past its end.
void Truncate(Bytes& file, std::size_t size) { file = Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(size)); }

void Put16(Bytes& file, std::size_t offset, std::uint16_t value) { std::memcpy(&file[offset], &value, 2); }
void Put32(Bytes& file, std::size_t offset, std::uint32_t value) { StoreLe32(&file[offset], value); }

// sample_32_v1.exe with its .rdata named as a debug section and the
// unrelocated address of target in its last four bytes, at operand.
Bytes WithDebugAddress(std::uint32_t target, std::size_t& operand) {
  Bytes file = Sample("sample_32_v1.exe");
  std::memcpy(&file[kSectionTable + 2 * 40], ".debug_r", 8);
  PeImage image;
  if (!image.Parse(file.data(), file.size())) return Bytes();
  const PeSection& debug = image.sections()[2];
  operand = debug.fileOffset + debug.rawSize - 4;
  Put32(file, operand, static_cast<std::uint32_t>(image.imageBase()) + target);
  return file;
}

TEST(ExecutableTransform, BytesThatReadAsADebugAddressOnlyInTheFormStayAsTheyAre) {
  std::size_t operand = 0;
  Bytes file = WithDebugAddress(0x1000, operand);
  PeImage image;
  ASSERT_TRUE(image.Parse(file.data(), file.size()));
  const std::vector<std::uint32_t> labels = LabelsOf(ReadReferences(file.data(), image).references);
  ASSERT_GT(labels.size(), 256u);
  // The address of label 256, whose form 0x00400100 makes the four bytes
  // from three before it read 0x00400000, the image base, in the form only.
  const std::uint32_t target = labels[256];
  ASSERT_NE(target & 0xFF, 0u);
  Put32(file, operand, static_cast<std::uint32_t>(image.imageBase()) + target);
  file[operand - 1] = 0x40;
  file[operand - 2] = 0;
  file[operand - 3] = 0;
  ASSERT_TRUE(image.Parse(file.data(), file.size()));
  ASSERT_EQ(LabelsOf(ReadReferences(file.data(), image).references), labels);

  ExecutableForms forms;
  ASSERT_TRUE(TransformExecutables(file.data(), file.size(), file.data(), file.size(), forms));
  EXPECT_EQ(LoadLe32(&forms.newForm[operand - 3]), image.imageBase());
  Bytes restored = forms.newForm;
  ASSERT_TRUE(RestoreExecutable(OldLabels(file), forms.sideData.data(), forms.sideData.size(), restored));
  EXPECT_EQ(restored, file);
}

TEST(ExecutableTransform, AddressesInDebugSectionsBecomeLabels) {
  std::size_t operand = 0;
  const Bytes old = WithDebugAddress(0x1000, operand);
  const Bytes newer = WithDebugAddress(0x1010, operand);
  PeImage image;
  ASSERT_TRUE(image.Parse(newer.data(), newer.size()));
  ASSERT_TRUE(image.sections()[2].debugInfo);
  const ImageReferences found = ReadReferences(newer.data(), image);
  const auto reference = std::find_if(found.references.begin(), found.references.end(),
                                      [&](const ExecutableReference& r) { return r.fileOffset == operand; });
  ASSERT_NE(reference, found.references.end());
  EXPECT_EQ(reference->kind, ReferenceKind::kDebugAddress);
  EXPECT_EQ(reference->target, 0x1010u);

  ExecutableForms forms;
  ASSERT_TRUE(TransformExecutables(old.data(), old.size(), newer.data(), newer.size(), forms));
  EXPECT_LT(LoadLe32(&forms.newForm[operand]) - image.imageBase(), found.references.size());
  Bytes restored = forms.newForm;
  ASSERT_TRUE(RestoreExecutable(OldLabels(old), forms.sideData.data(), forms.sideData.size(), restored));
  EXPECT_EQ(restored, newer);
}

struct Malformation {
  const char* name;
  std::function<void(Bytes&)> apply;
};

class MalformedImage : public ::testing::TestWithParam<Malformation> {};

TEST_P(MalformedImage, IsRefusedAndNotTransformed) {
  const Bytes good = Sample("sample_32_v1.exe");
  ASSERT_FALSE(good.empty());
  Bytes bad = good;
  GetParam().apply(bad);
  PeImage image;
  EXPECT_FALSE(image.Parse(bad.data(), bad.size()));
  ExecutableForms forms;
  EXPECT_FALSE(TransformExecutables(good.data(), good.size(), bad.data(), bad.size(), forms));
  EXPECT_FALSE(TransformExecutables(bad.data(), bad.size(), good.data(), good.size(), forms));
}

INSTANTIATE_TEST_SUITE_P(
    Headers, MalformedImage,
    ::testing::Values(
        Malformation{"NoMz", [](Bytes& f) { f[0] = 'X'; }},
        Malformation{"PeHeaderBeyondTheFile", [](Bytes& f) { Put32(f, 0x3C, 0xFFFFFFF0); }},
        Malformation{"NoPeSignature", [](Bytes& f) { f[kPeHeader + 1] = 'X'; }},
        Malformation{"MachineOfAnotherFormat", [](Bytes& f) { Put16(f, kPeHeader + 4, 0x8664); }},
        Malformation{"NoSections", [](Bytes& f) { Put16(f, kPeHeader + 6, 0); }},
        Malformation{"SectionTableBeyondTheFile", [](Bytes& f) { Truncate(f, kSectionTable + 24); }},
        Malformation{"TooManyDirectories", [](Bytes& f) { Put32(f, kOptionalHeader + 92, 17); }},
        Malformation{"HeadersOverlapTheFirstSection", [](Bytes& f) { Put32(f, kOptionalHeader + 60, 0x10); }},
        Malformation{"SectionDataBeyondTheFile", [](Bytes& f) { Truncate(f, 0xA000); }},
        Malformation{"SectionsOverlapInTheImage", [](Bytes& f) { Put32(f, kSectionTable + 40 + 12, 0x2000); }},
        Malformation{"SectionBeyondTheImage", [](Bytes& f) { Put32(f, kOptionalHeader + 56, 0x9000); }},
        Malformation{"RelocationTableOutsideSections", [](Bytes& f) { Put32(f, kOptionalHeader + 96 + 40, 0xD000); }},
        Malformation{"RelocationBlockLongerThanTheTable",
                     [](Bytes& f) {
                       std::size_t last = kRelocationTable;
                       while (last + LoadLe32(&f[last + 4]) < kRelocationTable + kRelocationTableSize) {
                         last += LoadLe32(&f[last + 4]);
                       }
                       Put32(f, last + 4, LoadLe32(&f[last + 4]) + 2);
                     }},
        Malformation{"RelocationBlockOfOddSize", [](Bytes& f) { Put32(f, kRelocationTable + 4, 9); }},
        Malformation{"RelocationOfUnknownType", [](Bytes& f) { f[kRelocationTable + 9] = 0x50; }},
        Malformation{"RelocationOutsideSections", [](Bytes& f) { Put32(f, kRelocationTable, 0xD000); }},
        Malformation{"RelocationsOverlapping",
                     [](Bytes& f) {
                       Put16(f, kRelocationTable + 10,
                             static_cast<std::uint16_t>((f[kRelocationTable + 8] | f[kRelocationTable + 9] << 8) + 2));
                     }},
        Malformation{"Truncated", [](Bytes& f) { Truncate(f, 0x30); }},
        Malformation{"SymbolTableBeyondTheFile",
                     [](Bytes& f) {
                       Put32(f, kPeHeader + 12, static_cast<std::uint32_t>(f.size() - kSymbolSize + 1));
                       Put32(f, kPeHeader + 16, 1);
                     }},
        Malformation{"SymbolTableInASection",
                     [](Bytes& f) {
                       Put32(f, kPeHeader + 12, kDataSection);
                       Put32(f, kPeHeader + 16, 1);
                       f[kDataSection + kSymbolAuxiliaryField] = 0;
                     }},
        Malformation{"EmptySymbolTableInASection", [](Bytes& f) { Put32(f, kPeHeader + 12, kRelocationTable); }},
        Malformation{"AuxiliaryRecordsPastTheSymbolTable",
                     [](Bytes& f) {
                       Put32(f, kPeHeader + 12, static_cast<std::uint32_t>(f.size()));
                       Put32(f, kPeHeader + 16, 2);
                       f.resize(f.size() + 2 * kSymbolSize);
                       f[f.size() - 2 * kSymbolSize + kSymbolAuxiliaryField] = 2;
                     }}),
    [](const ::testing::TestParamInfo<Malformation>& info) { return std::string(info.param.name); });

TEST(RestoreExecutable, RefusesSideDataThatDoesNotFit) {
  const Bytes old = Sample("sample_32_v1.exe");
  const Bytes newer = Sample("sample_32_v2.exe");
  ExecutableForms forms;
  ASSERT_TRUE(TransformExecutables(old.data(), old.size(), newer.data(), newer.size(), forms));
  const Bytes other = Sample("sample_64_v1.exe");
  Bytes truncated = forms.sideData;
  truncated.pop_back();
  Bytes longer = forms.sideData;
  longer.push_back(0);
  for (const Bytes& side : {truncated, longer, Bytes()}) {
    Bytes image = forms.newForm;
    EXPECT_FALSE(RestoreExecutable(OldLabels(old), side.data(), side.size(), image));
  }
  Bytes image = forms.newForm;
  EXPECT_FALSE(RestoreExecutable(OldLabels(other), forms.sideData.data(), forms.sideData.size(), image));
  // The old label count, the first number, one more than the old file's.
  Bytes otherCount = forms.sideData;
  ASSERT_NE(otherCount[0] & 0x7F, 0x7F);
  ++otherCount[0];
  image = forms.newForm;
  EXPECT_FALSE(RestoreExecutable(OldLabels(old), otherCount.data(), otherCount.size(), image));
}

TEST(RestoreExecutable, RefusesAFormWhoseRelocationHeadersDoNotFillTheTable) {
  const Bytes old = Sample("sample_32_v1.exe");
  const Bytes newer = Sample("sample_32_v2.exe");
  ExecutableForms forms;
  ASSERT_TRUE(TransformExecutables(old.data(), old.size(), newer.data(), newer.size(), forms));
  PeImage bounds;
  ASSERT_TRUE(bounds.ParseTableBounds(forms.newForm.data(), forms.newForm.size()));
  ASSERT_GT(bounds.relocationTableSize(), 0u);
  // The form keeps the block headers at the table's end; the last one's size
  // made larger than the table, which ends the file here.
  const std::size_t tableEnd = bounds.relocationTableOffset() + bounds.relocationTableSize();
  Bytes image(forms.newForm.begin(), forms.newForm.begin() + static_cast<std::ptrdiff_t>(tableEnd));
  Put32(image, tableEnd - 4, bounds.relocationTableSize() + 2);
  EXPECT_FALSE(RestoreExecutable(OldLabels(old), forms.sideData.data(), forms.sideData.size(), image));
}

}  // namespace
}  // namespace zavex
