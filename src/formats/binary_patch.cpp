#include "formats/binary_patch.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace zavex {
namespace {

constexpr std::size_t kTripleSize = 24;
constexpr std::size_t kPieceSize = 16384;
// A forward window loads the old file ahead in pieces of this size.
constexpr std::uint64_t kWindowLoadBytes = 128 * 1024;

std::uint64_t LoadLittleEndian(const std::uint8_t* bytes) {
  std::uint64_t value = 0;
  for (int index = 7; index >= 0; --index) value = value << 8 | bytes[index];
  return value;
}

std::uint32_t LoadLittleEndian32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0] | bytes[1] << 8 | bytes[2] << 16 | std::uint32_t{bytes[3]} << 24);
}

void StoreLittleEndian(std::uint64_t value, std::uint8_t* bytes) {
  for (int index = 0; index < 8; ++index) bytes[index] = static_cast<std::uint8_t>(value >> (8 * index));
}

// One decoded stream of the patch, read in order from its pieces: the one
// piece of a version 1 patch, or its piece of each block of version 2.
class StreamReader {
 public:
  // stream 0 to 2: control, diff, extra.
  StreamReader(ByteReader& patch, const PatchHeader& header, int stream)
      : patch_(patch),
        stream_(stream),
        left_(header.compressed[stream]),
        pieceLeft_(header.version == kForwardPatchVersion ? 0 : left_),
        next_(StreamsStart(header, stream)),
        inflater_(header.decoded[stream]) {}

  // False unless size more bytes follow.
  bool Read(std::uint8_t* buffer, std::size_t size) {
    while (size > 0) {
      if (pendingSize_ == 0 && !Pull()) return false;
      const std::size_t count = std::min(size, pendingSize_);
      std::memcpy(buffer, pending_, count);
      buffer += count;
      size -= count;
      pending_ += count;
      pendingSize_ -= count;
    }
    return true;
  }

  // True when the stream ended exactly here, with the announced size; false
  // also when more bytes follow, which Read then returns.
  bool AtEnd() {
    if (pendingSize_ > 0) return false;
    for (;;) {
      const Inflater::Status status = inflater_.Inflate(pending_, pendingSize_);
      if (status == Inflater::Status::kNeedInput && FeedPiece()) continue;
      return status == Inflater::Status::kDone;
    }
  }

  // Where the last block this stream read ends; 0 for version 1.
  std::uint64_t BlocksEnd() const { return blocksEnd_; }

 private:
  // Version 1 has the streams one after another.
  static std::uint64_t StreamsStart(const PatchHeader& header, int stream) {
    std::uint64_t start = PatchHeaderSize(header);
    if (header.version == kForwardPatchVersion) return start;
    for (int before = 0; before < stream; ++before) start += header.compressed[before];
    return start;
  }

  bool Pull() {
    for (;;) {
      const Inflater::Status status = inflater_.Inflate(pending_, pendingSize_);
      if (status == Inflater::Status::kOutput) return true;
      if (status != Inflater::Status::kNeedInput || !FeedPiece()) return false;
    }
  }

  bool FeedPiece() {
    if (pieceLeft_ == 0 && left_ > 0 && !NextPiece()) return false;
    std::uint8_t piece[kPieceSize];
    const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(kPieceSize, pieceLeft_));
    if (size > 0 && !patch_.ReadAt(next_, piece, size)) return false;
    next_ += size;
    pieceLeft_ -= size;
    left_ -= size;
    inflater_.Feed(piece, size);
    if (left_ == 0) inflater_.EndInput();
    return true;
  }

  // Moves to the stream's piece in the next block that holds one. False for
  // a block that holds no byte or more than the stream has left.
  bool NextPiece() {
    do {
      const std::uint64_t block = std::max(blocksEnd_, next_);
      std::uint8_t sizes[kPatchBlockHeaderSize];
      if (!patch_.ReadAt(block, sizes, sizeof(sizes))) return false;
      std::uint64_t before = 0;
      std::uint64_t total = 0;
      for (int stream = 0; stream < 3; ++stream) {
        const std::uint64_t size = LoadLittleEndian32(sizes + 4 * stream);
        if (stream < stream_) before += size;
        if (stream == stream_) pieceLeft_ = size;
        total += size;
      }
      if (total == 0 || pieceLeft_ > left_) return false;
      next_ = block + kPatchBlockHeaderSize + before;
      blocksEnd_ = block + kPatchBlockHeaderSize + total;
    } while (pieceLeft_ == 0);
    return true;
  }

  ByteReader& patch_;
  const int stream_;
  std::uint64_t left_;       // compressed bytes not read yet
  std::uint64_t pieceLeft_;  // of those, in the current piece
  std::uint64_t next_;  // the next byte of the stream; before the first block, where blocks start
  std::uint64_t blocksEnd_ = 0;
  Inflater inflater_;
  const std::uint8_t* pending_ = nullptr;
  std::size_t pendingSize_ = 0;
};

// The old file of a forward patch, read in order into a ring that holds its
// last kForwardRingBytes up to what was loaded ahead of the furthest read.
// A read that starts further back, but within the window, goes to the file
// itself; one that starts behind the window is refused.
class ForwardWindow : public ByteReader {
 public:
  explicit ForwardWindow(ByteReader& oldFile)
      : oldFile_(oldFile), ring_(static_cast<std::size_t>(std::min(oldFile.Size(), kForwardRingBytes))) {}

  std::uint64_t Size() const override { return oldFile_.Size(); }

  // Reads of at most kPieceSize bytes.
  bool ReadAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) override {
    if (offset > Size() || size > Size() - offset || offset + kPatchWindowBytes < furthest_) return false;
    const std::uint64_t end = offset + size;
    if (end > loaded_ && !Load(std::max(end, std::min(Size(), loaded_ + kWindowLoadBytes)))) return false;
    furthest_ = std::max(furthest_, end);
    if (offset + ring_.size() < loaded_) return oldFile_.ReadAt(offset, buffer, size);
    return ForEachPiece(offset, size, [&](std::uint64_t at, std::uint8_t* ring, std::size_t count) {
      std::memcpy(buffer + (at - offset), ring, count);
      return true;
    });
  }

 private:
  // Makes the ring hold the old file up to end, reading only what it keeps.
  bool Load(std::uint64_t end) {
    const std::uint64_t start = std::max(loaded_, end - std::min<std::uint64_t>(end, ring_.size()));
    loaded_ = end;
    return ForEachPiece(start, static_cast<std::size_t>(end - start),
                        [&](std::uint64_t at, std::uint8_t* ring, std::size_t count) {
                          return oldFile_.ReadAt(at, ring, count);
                        });
  }

  // Calls visit(offset, bytes, count) for each stretch of the ring that
  // holds the size bytes of the old file at offset; false once it does.
  template <typename Visit>
  bool ForEachPiece(std::uint64_t offset, std::size_t size, Visit visit) {
    while (size > 0) {
      const std::size_t slot = static_cast<std::size_t>(offset % ring_.size());
      const std::size_t count = std::min(size, ring_.size() - slot);
      if (!visit(offset, ring_.data() + slot, count)) return false;
      offset += count;
      size -= count;
    }
    return true;
  }

  ByteReader& oldFile_;
  std::vector<std::uint8_t> ring_;
  std::uint64_t loaded_ = 0;    // the old file is in the ring up to here
  std::uint64_t furthest_ = 0;  // the end of the furthest read
};

// Applies the triples one after another.
class PatchApplier {
 public:
  PatchApplier(ByteReader& patch, ByteReader& oldFile, const ByteSink& newFile, const PatchHeader& header)
      : patch_(patch),
        oldFile_(oldFile),
        newFile_(newFile),
        newLeft_(header.newSize),
        blocks_(header.version == kForwardPatchVersion),
        control_(patch, header, 0),
        diff_(patch, header, 1),
        extra_(patch, header, 2) {}

  bool Run() {
    while (!control_.AtEnd()) {
      std::uint8_t triple[kTripleSize];
      if (!control_.Read(triple, kTripleSize)) return false;
      const std::uint64_t add = LoadLittleEndian(triple);
      const std::uint64_t extra = LoadLittleEndian(triple + 8);
      if ((add == 0 && extra == 0) || !Add(add) || !Extra(extra) ||
          !Seek(static_cast<std::int64_t>(LoadLittleEndian(triple + 16)))) {
        return false;
      }
    }
    return newLeft_ == 0 && diff_.AtEnd() && extra_.AtEnd() && BlocksFillThePatch();
  }

 private:
  // The blocks of version 2 end where the patch does: the last block that
  // any stream read is the last of the patch.
  bool BlocksFillThePatch() const {
    return !blocks_ || std::max({control_.BlocksEnd(), diff_.BlocksEnd(), extra_.BlocksEnd()}) == patch_.Size();
  }

  bool Add(std::uint64_t length) {
    if (length > newLeft_ || length > oldFile_.Size() - oldPosition_) return false;
    while (length > 0) {
      const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(length, kPieceSize));
      std::uint8_t oldBytes[kPieceSize];
      if (!oldFile_.ReadAt(oldPosition_, oldBytes, count) || !diff_.Read(buffer_, count)) return false;
      for (std::size_t index = 0; index < count; ++index) buffer_[index] = static_cast<std::uint8_t>(buffer_[index] + oldBytes[index]);
      if (!Write(count)) return false;
      oldPosition_ += count;
      length -= count;
    }
    return true;
  }

  bool Extra(std::uint64_t length) {
    if (length > newLeft_) return false;
    while (length > 0) {
      const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(length, kPieceSize));
      if (!extra_.Read(buffer_, count) || !Write(count)) return false;
      length -= count;
    }
    return true;
  }

  bool Seek(std::int64_t distance) {
    // The magnitude in unsigned arithmetic, which also holds INT64_MIN's.
    const std::uint64_t magnitude = distance < 0 ? 0 - static_cast<std::uint64_t>(distance) : distance;
    if (distance < 0 ? magnitude > oldPosition_ : magnitude > oldFile_.Size() - oldPosition_) return false;
    oldPosition_ = distance < 0 ? oldPosition_ - magnitude : oldPosition_ + magnitude;
    return true;
  }

  bool Write(std::size_t count) {
    newLeft_ -= count;
    return newFile_(buffer_, count);
  }

  ByteReader& patch_;
  ByteReader& oldFile_;
  const ByteSink& newFile_;
  std::uint64_t newLeft_;
  const bool blocks_;
  std::uint64_t oldPosition_ = 0;
  StreamReader control_;
  StreamReader diff_;
  StreamReader extra_;
  std::uint8_t buffer_[kPieceSize];
};

// Whether the bytes of a patch beyond its header and streams fit its
// blocks: none in version 1; in version 2 the sizes of blocks that each hold
// at least one of the streams' bytes.
bool BlocksFit(const PatchHeader& header, std::uint64_t beyondStreams, std::uint64_t streamBytes) {
  if (header.version != kForwardPatchVersion) return beyondStreams == 0;
  const std::uint64_t blocks = beyondStreams / kPatchBlockHeaderSize;
  return beyondStreams % kPatchBlockHeaderSize == 0 && blocks <= streamBytes && (blocks > 0) == (streamBytes > 0);
}

}  // namespace

std::size_t PatchHeaderSize(const PatchHeader& header) {
  if (header.version != kForwardPatchVersion) return kPatchHeaderSize;
  return header.transform == PatchTransform::kNone ? kForwardPatchHeaderSize : kTransformedPatchHeaderSize;
}

void WritePatchHeader(const PatchHeader& header, std::uint8_t* bytes) {
  std::memcpy(bytes, kPatchMagic, sizeof(kPatchMagic));
  bytes[4] = header.version;
  StoreLittleEndian(header.oldSize, bytes + 5);
  StoreLittleEndian(header.newSize, bytes + 13);
  for (int stream = 0; stream < 3; ++stream) {
    StoreLittleEndian(header.compressed[stream], bytes + 21 + 16 * stream);
    StoreLittleEndian(header.decoded[stream], bytes + 29 + 16 * stream);
  }
  if (header.version != kForwardPatchVersion) return;
  bytes[kPatchHeaderSize] = static_cast<std::uint8_t>(header.transform);
  if (header.transform == PatchTransform::kNone) return;
  StoreLittleEndian(header.sideCompressed, bytes + kForwardPatchHeaderSize);
  StoreLittleEndian(header.sideDecoded, bytes + kForwardPatchHeaderSize + 8);
}

bool ReadPatchHeader(const std::uint8_t* bytes, std::uint64_t patchSize, PatchHeader& header) {
  if (patchSize < kPatchHeaderSize || std::memcmp(bytes, kPatchMagic, sizeof(kPatchMagic)) != 0) return false;
  header.version = bytes[4];
  if (header.version != kSeekingPatchVersion && header.version != kForwardPatchVersion) return false;
  header.transform = PatchTransform::kNone;
  header.sideCompressed = header.sideDecoded = 0;
  if (patchSize < PatchHeaderSize(header)) return false;
  if (header.version == kForwardPatchVersion) header.transform = static_cast<PatchTransform>(bytes[kPatchHeaderSize]);
  if (header.transform != PatchTransform::kNone && header.transform != PatchTransform::kExecutable) return false;
  const std::size_t headerSize = PatchHeaderSize(header);
  if (patchSize < headerSize) return false;
  header.oldSize = LoadLittleEndian(bytes + 5);
  header.newSize = LoadLittleEndian(bytes + 13);
  std::uint64_t total = headerSize;
  if (header.transform != PatchTransform::kNone) {
    header.sideCompressed = LoadLittleEndian(bytes + kForwardPatchHeaderSize);
    header.sideDecoded = LoadLittleEndian(bytes + kForwardPatchHeaderSize + 8);
    if (header.sideCompressed == 0 || header.sideDecoded == 0 || header.sideCompressed > patchSize - total) {
      return false;
    }
    total += header.sideCompressed;
  }
  for (int stream = 0; stream < 3; ++stream) {
    header.compressed[stream] = LoadLittleEndian(bytes + 21 + 16 * stream);
    header.decoded[stream] = LoadLittleEndian(bytes + 29 + 16 * stream);
    if (header.compressed[stream] > patchSize - total) return false;
    total += header.compressed[stream];
  }
  // Without the first comparison the extra stream's size would wrap.
  const std::uint64_t triples = header.decoded[0] / kTripleSize;
  return BlocksFit(header, patchSize - total, total - headerSize - header.sideCompressed) &&
         header.decoded[0] % kTripleSize == 0 &&
         header.decoded[1] <= header.newSize && header.decoded[2] == header.newSize - header.decoded[1] &&
         (triples == 0 || triples - 1 <= header.newSize);
}

bool PatchHeaderFits(const PatchHeader& header, std::uint64_t oldSize, std::uint64_t newSize) {
  return header.oldSize == oldSize && header.newSize == newSize;
}

bool MemoryReader::ReadAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
  if (offset > size_ || size > size_ - offset) return false;
  std::memcpy(buffer, data_ + offset, size);
  return true;
}

bool ReadPatchHeaderOf(ByteReader& patch, PatchHeader& header) {
  std::uint8_t bytes[kMaxPatchHeaderSize];
  const std::size_t headerBytes = static_cast<std::size_t>(std::min<std::uint64_t>(patch.Size(), kMaxPatchHeaderSize));
  return patch.Size() >= kPatchHeaderSize && patch.ReadAt(0, bytes, headerBytes) &&
         ReadPatchHeader(bytes, patch.Size(), header);
}

bool ApplyPatch(ByteReader& patch, ByteReader& oldFile, std::uint64_t newSize, const ByteSink& newFile) {
  PatchHeader header;
  if (!ReadPatchHeaderOf(patch, header) || header.transform != PatchTransform::kNone ||
      !PatchHeaderFits(header, oldFile.Size(), newSize)) {
    return false;
  }
  if (header.version == kSeekingPatchVersion) return PatchApplier(patch, oldFile, newFile, header).Run();
  ForwardWindow window(oldFile);
  return PatchApplier(patch, window, newFile, header).Run();
}

PatchWriter::Stream::Stream()
    : encoder([this](const std::uint8_t* bytes, std::size_t size) {
        compressed.insert(compressed.end(), bytes, bytes + size);
        return true;
      }) {}

void PatchWriter::Stream::Add(const std::uint8_t* bytes, std::size_t size) {
  encoder.Write(bytes, size);
  decodedSize += size;
}

PatchWriter::PatchWriter(std::uint64_t oldSize, std::uint64_t newSize, PatchFormat format)
    : oldSize_(oldSize), newSize_(newSize), format_(format) {}

void PatchWriter::AddControl(std::uint64_t add, std::uint64_t extra, std::int64_t seek) {
  std::uint8_t triple[kTripleSize];
  StoreLittleEndian(add, triple);
  StoreLittleEndian(extra, triple + 8);
  StoreLittleEndian(static_cast<std::uint64_t>(seek), triple + 16);
  control_.Add(triple, kTripleSize);
}

void PatchWriter::AddDiff(const std::uint8_t* bytes, std::size_t size) { AddNewBytes(diff_, bytes, size); }

void PatchWriter::AddExtra(const std::uint8_t* bytes, std::size_t size) { AddNewBytes(extra_, bytes, size); }

void PatchWriter::AddNewBytes(Stream& stream, const std::uint8_t* bytes, std::size_t size) {
  if (format_ != PatchFormat::kForward) return stream.Add(bytes, size);
  while (size > 0) {
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(size, kPatchBlockNewBytes - sinceCut_));
    stream.Add(bytes, count);
    bytes += count;
    size -= count;
    sinceCut_ += count;
    if (sinceCut_ == kPatchBlockNewBytes) CutBlock();
  }
}

void PatchWriter::CutBlock() {
  for (Stream* stream : {&control_, &diff_, &extra_}) stream->encoder.Flush();
  RecordBlock();
  sinceCut_ = 0;
}

void PatchWriter::RecordBlock() {
  std::array<std::uint64_t, 3> sizes = {};
  std::size_t index = 0;
  for (Stream* stream : {&control_, &diff_, &extra_}) {
    sizes[index++] = stream->compressed.size() - stream->blocked;
    stream->blocked = stream->compressed.size();
  }
  if (sizes[0] + sizes[1] + sizes[2] > 0) blocks_.push_back(sizes);
}

std::vector<std::uint8_t> PatchWriter::Finish() {
  PatchHeader header;
  header.version = format_ == PatchFormat::kForward ? kForwardPatchVersion : kSeekingPatchVersion;
  header.oldSize = oldSize_;
  header.newSize = newSize_;
  int index = 0;
  for (Stream* stream : {&control_, &diff_, &extra_}) {
    stream->encoder.Finish();
    header.compressed[index] = stream->compressed.size();
    header.decoded[index++] = stream->decodedSize;
  }
  std::vector<std::uint8_t> patch(PatchHeaderSize(header));
  WritePatchHeader(header, patch.data());
  if (header.version == kForwardPatchVersion) {
    RecordBlock();
    AppendBlocks(patch);
    return patch;
  }
  for (Stream* stream : {&control_, &diff_, &extra_}) {
    patch.insert(patch.end(), stream->compressed.begin(), stream->compressed.end());
  }
  return patch;
}

void PatchWriter::AppendBlocks(std::vector<std::uint8_t>& patch) const {
  std::size_t taken[3] = {};
  for (const std::array<std::uint64_t, 3>& sizes : blocks_) {
    for (const std::uint64_t size : sizes) {
      for (int shift = 0; shift < 32; shift += 8) patch.push_back(static_cast<std::uint8_t>(size >> shift));
    }
    std::size_t index = 0;
    for (const Stream* stream : {&control_, &diff_, &extra_}) {
      const auto from = stream->compressed.begin() + static_cast<std::ptrdiff_t>(taken[index]);
      patch.insert(patch.end(), from, from + static_cast<std::ptrdiff_t>(sizes[index]));
      taken[index] += sizes[index];
      ++index;
    }
  }
}

}  // namespace zavex
