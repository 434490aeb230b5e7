#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "formats/binary_diff.h"
#include "formats/binary_patch.h"
#include "sample_bytes.h"

namespace zavex {
namespace {

// Applies patch to old, expecting a new file of newSize bytes; false if
// refused. Checks that the new file arrives in bounded pieces.
bool Apply(const Bytes& patch, const Bytes& old, std::uint64_t newSize, Bytes& result) {
  result.clear();
  MemoryReader patchReader(patch);
  MemoryReader oldReader(old);
  return ApplyPatch(patchReader, oldReader, newSize, [&](const std::uint8_t* data, std::size_t size) {
    EXPECT_LE(size, 65536u);
    result.insert(result.end(), data, data + size);
    return true;
  });
}

constexpr PatchFormat kFormats[] = {PatchFormat::kSeeking, PatchFormat::kForward};

const char* NameOf(PatchFormat format) { return format == PatchFormat::kForward ? "forward" : "seeking"; }

Bytes Diff(const Bytes& old, const Bytes& newer, PatchFormat format) {
  return CreatePatch(old.data(), old.size(), newer.data(), newer.size(), format);
}

// An old file that records whether every read starts at or after the end
// of the one before.
class ForwardOnlyReader : public MemoryReader {
 public:
  using MemoryReader::MemoryReader;
  bool ReadAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) override {
    forward_ = forward_ && offset >= end_;
    end_ = offset + size;
    return MemoryReader::ReadAt(offset, buffer, size);
  }
  bool Forward() const { return forward_; }

 private:
  std::uint64_t end_ = 0;
  bool forward_ = true;
};

struct FilePair {
  const char* name;
  Bytes old;
  Bytes newer;
  double largestShare;  // of the new size that the patch may take
};

std::vector<FilePair> Pairs() {
  const Bytes words = WordBytes(600000, 21);
  const Bytes random = RandomBytes(500000, 22);
  Bytes moved(random.begin() + 250000, random.end());
  moved.insert(moved.end(), random.begin(), random.begin() + 250000);
  // Further apart than a forward applier's ring, within its window.
  const Bytes larger = RandomBytes(3 << 20, 37);
  Bytes largerMoved(larger.begin() + (3 << 19), larger.end());
  largerMoved.insert(largerMoved.end(), larger.begin(), larger.begin() + (3 << 19));
  Bytes zeros(1 << 20, 0);
  Bytes zerosEdited = zeros;
  for (std::size_t index = 0; index < zerosEdited.size(); index += 4099) zerosEdited[index] = 1;
  return {
      {"both empty", {}, {}, 1000},
      {"from nothing", {}, random, 1.01},
      {"to nothing", random, {}, 1000},
      {"identical", random, random, 0.01},
      {"rebuilt program", random, EditedBytes(random, 50, 23), 0.15},
      {"edited text", words, EditedBytes(words, 200, 24), 0.1},
      {"halves swapped", random, moved, 0.01},
      {"halves of 3 MiB swapped", larger, largerMoved, 0.01},
      {"unrelated", words, random, 1.01},
      {"zeros with marks", zeros, zerosEdited, 0.01},
      {"shorter than a seed", {1, 2, 3}, {1, 2, 4, 5}, 1000},
  };
}

TEST(BinaryPatch, RebuildsTheNewFileExactly) {
  for (const PatchFormat format : kFormats) {
    for (const FilePair& pair : Pairs()) {
      SCOPED_TRACE(std::string(NameOf(format)) + ", " + pair.name);
      const Bytes patch = Diff(pair.old, pair.newer, format);
      Bytes result;
      ASSERT_TRUE(Apply(patch, pair.old, pair.newer.size(), result));
      ASSERT_TRUE(result == pair.newer);
      EXPECT_LE(patch.size(), kMaxPatchHeaderSize + 32 + pair.largestShare * pair.newer.size());
    }
  }
}

// Two blocks of the old file, each larger than the window, in the other
// order: a forward patch takes one from the old file and the other from the
// extra stream, reading the old file once, in order.
TEST(BinaryPatch, ForwardPatchReadsTheOldFileInOrder) {
  const std::size_t half = kPatchWindowBytes + (1 << 20);
  const Bytes old = RandomBytes(2 * half, 33);
  Bytes swapped(old.begin() + static_cast<std::ptrdiff_t>(half), old.end());
  swapped.insert(swapped.end(), old.begin(), old.begin() + static_cast<std::ptrdiff_t>(half));
  const Bytes patch = Diff(old, swapped, PatchFormat::kForward);
  MemoryReader patchReader(patch);
  ForwardOnlyReader oldReader(old);
  Bytes result;
  ASSERT_TRUE(ApplyPatch(patchReader, oldReader, swapped.size(), [&](const std::uint8_t* data, std::size_t size) {
    result.insert(result.end(), data, data + size);
    return true;
  }));
  EXPECT_TRUE(result == swapped);
  EXPECT_TRUE(oldReader.Forward());
  EXPECT_GT(patch.size(), half);
  EXPECT_LT(patch.size(), half + (1 << 20));
}

TEST(BinaryPatch, LargeFileWithProgress) {
  const Bytes old = RandomBytes(16 << 20, 25);
  const Bytes newer = EditedBytes(old, 100, 26);
  std::vector<std::uint64_t> reports;
  const Bytes patch = CreatePatch(old.data(), old.size(), newer.data(), newer.size(), PatchFormat::kForward,
                                  [&](std::uint64_t done) { reports.push_back(done); });
  Bytes result;
  ASSERT_TRUE(Apply(patch, old, newer.size(), result));
  EXPECT_TRUE(result == newer);
  EXPECT_LT(patch.size(), newer.size() / 10);
  ASSERT_GE(reports.size(), 10u);
  EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
  EXPECT_LE(reports.back(), newer.size());
}

TEST(BinaryPatch, RefusesEveryTruncationAndTrailingBytes) {
  const Bytes old = WordBytes(20000, 27);
  const Bytes newer = EditedBytes(old, 30, 28);
  for (const PatchFormat format : kFormats) {
    const Bytes patch = Diff(old, newer, format);
    Bytes result;
    for (std::size_t length = 0; length < patch.size(); ++length) {
      ASSERT_FALSE(Apply(Bytes(patch.begin(), patch.begin() + static_cast<std::ptrdiff_t>(length)), old,
                         newer.size(), result))
          << NameOf(format) << " " << length;
    }
    Bytes longer = patch;
    longer.push_back(0);
    EXPECT_FALSE(Apply(longer, old, newer.size(), result)) << NameOf(format);
    if (format != PatchFormat::kForward) continue;
    // A block of a byte of the extra stream after the last, and an empty block.
    const Bytes block = {0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
    Bytes longerByABlock = patch;
    longerByABlock.insert(longerByABlock.end(), block.begin(), block.end());
    EXPECT_FALSE(Apply(longerByABlock, old, newer.size(), result));
    Bytes emptyBlock = patch;
    emptyBlock.insert(emptyBlock.begin() + kForwardPatchHeaderSize, kPatchBlockHeaderSize, 0);
    EXPECT_FALSE(Apply(emptyBlock, old, newer.size(), result));
  }
}

// A patch of two triples over an old file of 100 bytes, one field changed,
// and a third that writes nothing if idleTriple.
struct Crafted {
  const char* name;
  std::uint64_t announcedOld = 100;
  std::uint64_t announcedNew = 30;
  std::uint64_t firstAdd = 10;
  std::int64_t firstSeek = 50;
  std::uint64_t secondAdd = 10;
  std::uint64_t diffBytes = 20;
  std::uint64_t extraBytes = 10;
  bool valid = false;
  bool idleTriple = false;
};

Bytes Craft(const Crafted& test, PatchFormat format) {
  PatchWriter writer(test.announcedOld, test.announcedNew, format);
  writer.AddControl(test.firstAdd, 5, test.firstSeek);
  writer.AddControl(test.secondAdd, 5, -5);
  if (test.idleTriple) writer.AddControl(0, 0, 0);
  const Bytes diff(test.diffBytes, 1);
  const Bytes extra(test.extraBytes, 'x');
  writer.AddDiff(diff.data(), diff.size());
  writer.AddExtra(extra.data(), extra.size());
  return writer.Finish();
}

TEST(BinaryPatch, RefusesWhatBreaksTheRules) {
  Crafted cases[] = {
      {"valid", 100, 30, 10, 50, 10, 20, 10, true},
      {"old file of another size", 101},
      {"new size larger than the triples write", 100, 31},
      {"new size smaller than the triples write", 100, 29, 10, 50, 10, 19},
      {"copy past the end of the old file", 100, 30, 10, 85},
      {"seek to the end of the old file", 100, 20, 10, 90, 0, 10, 10, true},
      {"seek past the end of the old file", 100, 20, 10, 91, 0, 10, 10},
      {"seek before the start of the old file", 100, 30, 10, -11},
      {"seek by the most negative number", 100, 30, 10, INT64_MIN},
      {"add longer than the new file", 100, 30, 31},
      {"diff stream longer than the triples use", 100, 30, 10, 50, 10, 21, 9},
      {"diff stream shorter than the triples use", 100, 30, 10, 50, 10, 19, 11},
      {"a triple that writes nothing", 100, 30, 10, 50, 10, 20, 10, false, true},
  };
  Bytes old(100);
  for (std::size_t index = 0; index < old.size(); ++index) old[index] = static_cast<std::uint8_t>(index);
  const Bytes expected = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 'x', 'x', 'x', 'x', 'x',
                          61, 62, 63, 64, 65, 66, 67, 68, 69, 70, 'x', 'x', 'x', 'x', 'x'};
  for (const PatchFormat format : kFormats) {
    for (const Crafted& test : cases) {
      Bytes result;
      EXPECT_EQ(Apply(Craft(test, format), old, test.announcedNew, result), test.valid)
          << NameOf(format) << ", " << test.name;
    }
    Bytes result;
    ASSERT_TRUE(Apply(Craft(cases[0], format), old, 30, result));
    EXPECT_TRUE(result == expected);
  }
}

// After an add that ends kPatchWindowBytes + 20 bytes into the old file, an
// add at 20 is at the edge of the window and one at 19 behind it: refused by
// a forward patch only.
TEST(BinaryPatch, ForwardPatchRefusesAnAddBehindItsWindow) {
  const std::uint64_t first = kPatchWindowBytes + 20;
  const Bytes old(first + 100, 7);
  for (const std::int64_t behind : {0, 1}) {
    const Crafted test{"", old.size(), first + 20, first, -static_cast<std::int64_t>(kPatchWindowBytes) - behind,
                       10, first + 10, 10};
    for (const PatchFormat format : kFormats) {
      Bytes result;
      EXPECT_EQ(Apply(Craft(test, format), old, test.announcedNew, result),
                format == PatchFormat::kSeeking || behind == 0)
          << NameOf(format) << ", " << behind;
    }
  }
}

TEST(BinaryPatch, RefusesHeadersThatLie) {
  const Bytes old = WordBytes(5000, 29);
  const Bytes newer = EditedBytes(old, 20, 30);
  struct Change {
    const char* name;
    std::size_t offset;
    std::uint8_t delta;
  };
  const Change changes[] = {{"magic", 0, 1},
                            {"version", 4, 1},
                            {"control decoded size", 29, 24},
                            {"diff decoded size", 45, 1},
                            {"extra decoded size", 61, 1},
                            {"control compressed size", 21, 1},
                            {"a stream size beyond the patch", 28, 0x80},
                            {"transform, in a forward patch", kPatchHeaderSize, 1}};
  for (const PatchFormat format : kFormats) {
    SCOPED_TRACE(NameOf(format));
    const Bytes patch = Diff(old, newer, format);
    for (const Change& change : changes) {
      if (change.offset >= kPatchHeaderSize && format != PatchFormat::kForward) continue;
      Bytes altered = patch;
      altered[change.offset] = static_cast<std::uint8_t>(altered[change.offset] + change.delta);
      Bytes result;
      EXPECT_FALSE(Apply(altered, old, newer.size(), result)) << change.name;
    }
    // Files of other sizes than the header's: refused before writing a byte.
    Bytes result;
    EXPECT_FALSE(Apply(patch, old, newer.size() + 1, result));
    EXPECT_TRUE(result.empty());
    Bytes longerOld = old;
    longerOld.push_back(0);
    EXPECT_FALSE(Apply(patch, longerOld, newer.size(), result));
    EXPECT_TRUE(result.empty());
    EXPECT_TRUE(Apply(patch, old, newer.size(), result));
  }
}

Bytes HeaderBytes(const PatchHeader& header) {
  Bytes bytes(kPatchMagic, kPatchMagic + sizeof(kPatchMagic));
  bytes.push_back(header.version);
  const auto store = [&bytes](std::uint64_t value) {
    for (int index = 0; index < 8; ++index) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * index)));
  };
  store(header.oldSize);
  store(header.newSize);
  for (int stream = 0; stream < 3; ++stream) {
    store(header.compressed[stream]);
    store(header.decoded[stream]);
  }
  if (header.version != kSeekingPatchVersion) bytes.push_back(static_cast<std::uint8_t>(header.transform));
  if (header.version != kSeekingPatchVersion && header.transform != PatchTransform::kNone) {
    store(header.sideCompressed);
    store(header.sideDecoded);
  }
  return bytes;
}

TEST(BinaryPatch, ReadsOnlyHeadersWhoseSizesAgree) {
  constexpr std::uint64_t kLargest = UINT64_MAX;
  constexpr PatchTransform kExecutable = PatchTransform::kExecutable;
  struct HeaderCase {
    const char* name;
    PatchHeader header;
    std::uint64_t patchSize;
    bool valid;
  };
  const HeaderCase cases[] = {
      {"valid", {100, 30, {10, 20, 30}, {72, 20, 10}}, 129, true},
      {"streams end before the patch", {100, 30, {10, 20, 30}, {72, 20, 10}}, 130, false},
      {"streams end past the patch", {100, 30, {10, 20, 30}, {72, 20, 10}}, 128, false},
      {"shorter than a header", {}, kPatchHeaderSize - 1, false},
      {"empty new file", {}, kPatchHeaderSize, true},
      {"stream sizes that wrap their sum", {100, 30, {10, kLargest - 10, 60}, {72, 20, 10}}, 129, false},
      {"diff longer than the new file, extra wrapped", {100, 30, {10, 20, 30}, {72, 31, kLargest}}, 129, false},
      {"diff and extra short of the new file", {100, 30, {10, 20, 30}, {72, 20, 9}}, 129, false},
      {"control not whole triples", {100, 30, {10, 20, 30}, {73, 20, 10}}, 129, false},
      {"one triple more than new bytes", {100, 30, {10, 20, 30}, {24 * 31, 20, 10}}, 129, true},
      {"two triples more than new bytes", {100, 30, {10, 20, 30}, {24 * 32, 20, 10}}, 129, false},
      {"largest sizes", {kLargest, kLargest, {10, 20, 30}, {kLargest / 24 * 24, kLargest, 0}}, 129, true},
      {"forward, one block", {100, 30, {10, 20, 30}, {72, 20, 10}, kForwardPatchVersion}, 142, true},
      {"forward, sixty blocks", {100, 30, {10, 20, 30}, {72, 20, 10}, 2}, 130 + 12 * 60, true},
      {"forward, more blocks than stream bytes", {100, 30, {10, 20, 30}, {72, 20, 10}, 2}, 130 + 12 * 61, false},
      {"forward, without blocks", {100, 30, {10, 20, 30}, {72, 20, 10}, 2}, 130, false},
      {"forward, part of a block's sizes", {100, 30, {10, 20, 30}, {72, 20, 10}, 2}, 143, false},
      {"forward, streams from where version 1 has them", {100, 30, {10, 20, 30}, {72, 20, 10}, 2}, 129, false},
      {"forward, shorter than its header", {0, 0, {}, {}, 2}, kForwardPatchHeaderSize - 1, false},
      {"forward, empty new file", {0, 0, {}, {}, 2}, kForwardPatchHeaderSize, true},
      {"forward, a transform unknown here", {100, 30, {10, 20, 30}, {72, 20, 10}, 2, PatchTransform{2}, 5, 40}, 163,
       false},
      {"transformed", {100, 30, {10, 20, 30}, {72, 20, 10}, 2, kExecutable, 5, 40}, 163, true},
      {"transformed, streams end before the patch", {100, 30, {10, 20, 30}, {72, 20, 10}, 2, kExecutable, 5, 40}, 164,
       false},
      {"transformed, streams end past the patch", {100, 30, {10, 20, 30}, {72, 20, 10}, 2, kExecutable, 5, 40}, 162,
       false},
      {"transformed, side data past the patch", {0, 0, {}, {}, 2, kExecutable, 6, 40}, 91, false},
      {"transformed, side size that wraps the sum", {100, 30, {10, 20, 95}, {72, 20, 10}, 2, kExecutable,
       kLargest - 59, 40}, 163, false},
      {"transformed, no side data", {0, 0, {}, {}, 2, kExecutable, 0, 0}, 86, false},
      {"transformed, side data decoding to nothing", {0, 0, {}, {}, 2, kExecutable, 5, 0}, 91, false},
      {"transformed, shorter than its header", {0, 0, {}, {}, 2, kExecutable}, kTransformedPatchHeaderSize - 1,
       false},
      {"transformed, diff and extra short of the new file", {100, 30, {10, 20, 30}, {72, 20, 9}, 2, kExecutable, 5,
       40}, 163, false},
      {"version 3", {0, 0, {}, {}, 3}, kForwardPatchHeaderSize, false},
      {"version 0", {0, 0, {}, {}, 0}, kPatchHeaderSize, false},
  };
  for (const HeaderCase& test : cases) {
    PatchHeader header;
    EXPECT_EQ(ReadPatchHeader(HeaderBytes(test.header).data(), test.patchSize, header), test.valid) << test.name;
    if (!test.valid) continue;
    EXPECT_TRUE(HeaderBytes(header) == HeaderBytes(test.header)) << test.name;
    Bytes written(PatchHeaderSize(header));
    WritePatchHeader(header, written.data());
    EXPECT_TRUE(written == HeaderBytes(test.header)) << test.name;
  }
  EXPECT_TRUE(PatchHeaderFits(cases[0].header, 100, 30));
  EXPECT_FALSE(PatchHeaderFits(cases[0].header, 101, 30));
  EXPECT_FALSE(PatchHeaderFits(cases[0].header, 100, kLargest));
}

// A file whose reads past its first readable bytes fail.
class PrefixReader : public MemoryReader {
 public:
  PrefixReader(const Bytes& bytes, std::uint64_t readable) : MemoryReader(bytes), readable_(readable) {}
  bool ReadAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) override {
    return offset + size <= readable_ && MemoryReader::ReadAt(offset, buffer, size);
  }

 private:
  std::uint64_t readable_;
};

// A forward patch cut after any of its blocks applies about as far as that
// block reaches (each stream's decoder waits for the bytes of a block
// header's largest size beyond what it decodes, so a sparse stream lags
// further): triples of about 6 KiB, each with extra bytes, whose stream a
// version 1 patch would keep for its end.
TEST(BinaryPatch, ForwardPatchAppliesAsFarAsItsWholeBlocks) {
  constexpr std::size_t kExtra = 96;
  const Bytes old = RandomBytes(10 << 20, 34);
  const Bytes extra = RandomBytes(old.size() / 4000 * kExtra, 35);
  const Bytes lengths = RandomBytes(old.size() / 4000, 36);
  const Bytes diff(8192, 1);
  std::vector<std::uint64_t> adds;
  for (std::uint64_t total = 0, index = 0; total + 8192 < old.size(); total += adds.back()) {
    adds.push_back(4000 + lengths[index++] * 16);
  }
  std::uint64_t newSize = 0;
  for (const std::uint64_t add : adds) newSize += add + kExtra;
  PatchWriter writer(old.size(), newSize, PatchFormat::kForward);
  for (std::size_t triple = 0; triple < adds.size(); ++triple) {
    writer.AddControl(adds[triple], kExtra, 0);
    writer.AddDiff(diff.data(), static_cast<std::size_t>(adds[triple]));
    writer.AddExtra(extra.data() + triple * kExtra, kExtra);
  }
  const Bytes patch = writer.Finish();
  std::vector<std::uint64_t> blockEnds;
  for (std::uint64_t block = kForwardPatchHeaderSize; block < patch.size();) {
    std::uint64_t end = block + kPatchBlockHeaderSize;
    for (std::size_t at = 0; at < kPatchBlockHeaderSize; ++at) {
      end += std::uint64_t{patch[block + at]} << (8 * (at % 4));
    }
    blockEnds.push_back(block = end);
  }
  ASSERT_EQ(blockEnds.size(), 3u);
  EXPECT_EQ(blockEnds.back(), patch.size());
  for (std::size_t cut = 0; cut < blockEnds.size(); ++cut) {
    SCOPED_TRACE(cut);
    PrefixReader patchReader(patch, blockEnds[cut]);
    MemoryReader oldReader(old);
    std::uint64_t written = 0;
    const bool applied = ApplyPatch(patchReader, oldReader, newSize,
                                    [&](const std::uint8_t*, std::size_t size) {
                                      written += size;
                                      return true;
                                    });
    EXPECT_EQ(applied, cut + 1 == blockEnds.size());
    EXPECT_GE(written, std::min(cut * kPatchBlockNewBytes + kPatchBlockNewBytes / 2, newSize));
  }
}

TEST(BinaryPatch, StopsWhenAReadOrTheSinkFails) {
  const Bytes old = RandomBytes(200000, 31);
  const Bytes newer = EditedBytes(old, 10, 32);
  for (const PatchFormat format : kFormats) {
    SCOPED_TRACE(NameOf(format));
    const Bytes patch = Diff(old, newer, format);
    MemoryReader patchReader(patch);
    PrefixReader failingOld(old, 65536);
    EXPECT_FALSE(
        ApplyPatch(patchReader, failingOld, newer.size(), [](const std::uint8_t*, std::size_t) { return true; }));
    MemoryReader oldReader(old);
    int pieces = 0;
    EXPECT_FALSE(ApplyPatch(patchReader, oldReader, newer.size(),
                            [&](const std::uint8_t*, std::size_t) { return ++pieces < 3; }));
    EXPECT_EQ(pieces, 3);
  }
}

}  // namespace
}  // namespace zavex
