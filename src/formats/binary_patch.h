#pragma once

// A patch turns one file (old) into another (new). Two versions; every
// integer little-endian, sizes in bytes:
//
//   offset  size  field
//        0     4  magic "ZXPT"
//        4     1  version: 1 (seeking) or 2 (forward)
//        5     8  old file size
//       13     8  new file size
//       21     8  control stream: compressed size
//       29     8  control stream: decoded size, a multiple of 24
//       37     8  diff stream: compressed size
//       45     8  diff stream: decoded size
//       53     8  extra stream: compressed size
//       61     8  extra stream: decoded size
//       69     1  version 2 only: the transform of both files the streams
//                 work on (PatchTransform), kNone for the bytes themselves
//   a transform other than kNone only:
//       70     8  side data: compressed size
//       78     8  side data: decoded size
//       86        the side data, raw DEFLATE: what the transform needs beside
//                 the old file to turn its form of the new file back into it
//   69, 70 or after the side data: the control, diff and extra streams, each
//                 raw DEFLATE (RFC 1951), and nothing after them: version 1
//                 has them one after another, in that order; version 2 in
//                 blocks.
//
// A block of version 2 holds the next bytes of each stream: three 4-byte
// sizes (control, diff, extra), then that many bytes of each stream, in that
// order. Every block holds at least one byte, and the pieces of each stream
// add up to its compressed size. So the patch is read forward once, and a
// patch still arriving can be applied about as far as its last whole block.
// The diff cuts a block every kPatchBlockNewBytes of the new file, after a
// sync flush of each stream, so that each block decodes as far as it
// reaches, less what the DEFLATE decoder holds back until the bytes of a
// block header's largest size (under 600) of its stream follow.
//
// The control stream is a list of triples, each three 8-byte integers:
// add, extra, seek. Starting at old position 0, a triple writes add bytes
// new[i] = old[position + i] + diff[i] (modulo 256) taking add bytes of the
// diff stream and moving position by add, then copies the next extra bytes of
// the extra stream, then moves position by seek (two's complement). The old
// position must stay within the old file; diff and extra decoded sizes add
// up to the new size, and the triples use up every stream exactly. Every
// triple writes at least one byte (add or extra above 0), so there are at
// most as many triples as new bytes.
//
// Version 2 reads the old file forward: every add above 0 starts at most
// kPatchWindowBytes before the end of the furthest add before it, so the
// old file is read in order, through a window of that size.
//
// Only the format is fixed: how the triples are chosen is free, so a better
// diff needs no change on installed copies.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "formats/deflate_decoder.h"
#include "formats/deflate_encoder.h"

namespace zavex {

inline constexpr char kPatchMagic[4] = {'Z', 'X', 'P', 'T'};
inline constexpr std::uint8_t kSeekingPatchVersion = 1;
inline constexpr std::uint8_t kForwardPatchVersion = 2;
inline constexpr std::size_t kPatchHeaderSize = 69;         // version 1
inline constexpr std::size_t kForwardPatchHeaderSize = 70;  // version 2
inline constexpr std::size_t kTransformedPatchHeaderSize = 86;  // version 2 with a transform
inline constexpr std::size_t kMaxPatchHeaderSize = kTransformedPatchHeaderSize;
// How far behind the furthest add a forward patch's add may start. The
// applier holds only kForwardRingBytes of it, so the window costs no memory;
// it must span what a linker moves back: in a large library built with
// profile-guided optimization, functions come in another order in each
// version (bench/README.md).
inline constexpr std::uint64_t kPatchWindowBytes = 64u << 20;
// What the applier of a forward patch keeps of the old file: the last bytes
// it read in order, and a little ahead. An add that starts further back,
// within the window, reads the file again.
inline constexpr std::uint64_t kForwardRingBytes = 512u << 10;
inline constexpr std::size_t kPatchBlockHeaderSize = 12;
inline constexpr std::uint64_t kPatchBlockNewBytes = 4u << 20;

// The versions a diff writes.
enum class PatchFormat { kSeeking, kForward };

// What a forward patch's streams work on. Readers refuse the values they do
// not know. kExecutable: the forms of two PE files (executable_patch.h).
enum class PatchTransform : std::uint8_t { kNone = 0, kExecutable = 1 };

// Reads bytes of a file by offset.
class ByteReader {
 public:
  virtual ~ByteReader() = default;
  virtual std::uint64_t Size() const = 0;
  // False when the bytes cannot be read in full.
  virtual bool ReadAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) = 0;
};

// A ByteReader over bytes in memory, which must outlive it.
class MemoryReader : public ByteReader {
 public:
  MemoryReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  explicit MemoryReader(const std::vector<std::uint8_t>& bytes) : MemoryReader(bytes.data(), bytes.size()) {}
  std::uint64_t Size() const override { return size_; }
  bool ReadAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) override;

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

// The fixed fields at the start of a patch.
struct PatchHeader {
  std::uint64_t oldSize = 0;
  std::uint64_t newSize = 0;
  std::uint64_t compressed[3] = {};  // control, diff, extra
  std::uint64_t decoded[3] = {};
  std::uint8_t version = kSeekingPatchVersion;
  PatchTransform transform = PatchTransform::kNone;
  std::uint64_t sideCompressed = 0;  // with a transform only
  std::uint64_t sideDecoded = 0;
};

// The bytes of the header: where the side data starts, or the streams
// without a transform.
std::size_t PatchHeaderSize(const PatchHeader& header);

// Writes the PatchHeaderSize(header) bytes of header.
void WritePatchHeader(const PatchHeader& header, std::uint8_t* bytes);

// Reads the header at the start of a patch of patchSize bytes, from bytes
// holding its first kMaxPatchHeaderSize bytes (all of them when fewer). False
// for another format or version, a transform this reader does not know, side
// data and streams (and, in version 2, the sizes of at most one block per
// stream byte) that do not fill the patch exactly, side data that is empty
// either way, decoded sizes that do not add up to the new size, or more
// triples than the new file has bytes plus one.
bool ReadPatchHeader(const std::uint8_t* bytes, std::uint64_t patchSize, PatchHeader& header);

// ReadPatchHeader of patch's first bytes; false also when they cannot be read.
bool ReadPatchHeaderOf(ByteReader& patch, PatchHeader& header);

// True when header turns an old file of oldSize bytes into one of newSize.
bool PatchHeaderFits(const PatchHeader& header, std::uint64_t oldSize, std::uint64_t newSize);

// Writes newFile, in order, from oldFile and patch. False, before any
// decoding, for a header that ReadPatchHeader refuses, that has a transform
// (ApplyAnyPatch of executable_patch.h applies those) or that does not fit
// oldFile and newSize; false for a patch that is malformed, truncated or
// followed by more bytes, has a triple that writes nothing, reads outside the
// old file or whose streams decode to other sizes than announced; false also
// when a read fails or the sink refuses; a forward patch also for an add that
// starts behind its window, or blocks that do not end where the patch does.
// Memory stays under 1 MiB whatever the sizes, plus kForwardRingBytes for a
// forward patch, which reads oldFile in order, again only where an add
// starts behind its ring. A forward patch reads patch in order too, each of
// its streams a block behind the others at most.
bool ApplyPatch(ByteReader& patch, ByteReader& oldFile, std::uint64_t newSize, const ByteSink& newFile);

// Collects the three streams of a patch as a diff produces them.
class PatchWriter {
 public:
  PatchWriter(std::uint64_t oldSize, std::uint64_t newSize, PatchFormat format);

  void AddControl(std::uint64_t add, std::uint64_t extra, std::int64_t seek);
  void AddDiff(const std::uint8_t* bytes, std::size_t size);
  void AddExtra(const std::uint8_t* bytes, std::size_t size);
  // The whole patch.
  std::vector<std::uint8_t> Finish();

 private:
  struct Stream {
    std::vector<std::uint8_t> compressed;
    std::size_t blocked = 0;  // compressed bytes in the blocks so far
    std::uint64_t decodedSize = 0;
    DeflateEncoder encoder;
    Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    void Add(const std::uint8_t* bytes, std::size_t size);
  };

  // Bytes of the new file into stream; a forward patch cuts a block after
  // every kPatchBlockNewBytes of them.
  void AddNewBytes(Stream& stream, const std::uint8_t* bytes, std::size_t size);
  // Flushes every stream and ends the block.
  void CutBlock();
  // Ends the block with what each stream has written since the last one.
  void RecordBlock();
  void AppendBlocks(std::vector<std::uint8_t>& patch) const;

  std::uint64_t oldSize_;
  std::uint64_t newSize_;
  PatchFormat format_;
  Stream control_;
  Stream diff_;
  Stream extra_;
  std::uint64_t sinceCut_ = 0;  // new bytes since the last block
  std::vector<std::array<std::uint64_t, 3>> blocks_;  // sizes of each stream's piece
};

}  // namespace zavex
