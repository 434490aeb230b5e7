#include "formats/deflate_decoder.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "formats/deflate_tables.h"

namespace zavex {
namespace {

using namespace deflate;

// Decoded bytes are handed out once this many are waiting; the window keeps
// the last 32 KiB before them for the copies, and one copy may pass the chunk.
constexpr std::size_t kOutputChunk = 65536;
constexpr std::size_t kWindowCapacity = kWindowSize + kOutputChunk + kMaxMatch;

// The most bits one step can read: a dynamic block header with the largest
// tables (every length with a 7-bit code and 7 extra bits), and one
// length/distance pair.
constexpr std::uint64_t kBlockHeaderBits = 3 + 14 + kCodeLengthCodes * 3 +
                                           (kLiteralCodes + kDistanceCodes + 2) * (kMaxCodeLengthBits + 7);
constexpr std::uint64_t kMatchBits = kMaxCodeBits + 5 + kMaxCodeBits + 13;

// False for an oversubscribed code, and for an incomplete one unless it has
// no codes or a single code of one bit, the only gaps RFC 1951 describes
// (zlib refuses the same).
bool BuildHuffmanTable(const std::uint8_t* lengths, unsigned count, HuffmanTable& table) {
  std::uint16_t codes[kFixedLiteralCodes];
  if (!AssignCanonicalCodes(lengths, count, codes)) return false;
  table.maxBits = std::max<unsigned>(1, *std::max_element(lengths, lengths + count));
  table.entries.assign(std::size_t{1} << table.maxBits, 0);
  for (unsigned symbol = 0; symbol < count; ++symbol) {
    const unsigned length = lengths[symbol];
    if (length == 0) continue;
    const std::uint16_t entry = static_cast<std::uint16_t>(symbol << 4 | length);
    for (std::uint32_t index = ReverseBits(codes[symbol], length); index < table.entries.size();
         index += 1u << length) {
      table.entries[index] = entry;
    }
  }
  return table.maxBits == 1 || std::find(table.entries.begin(), table.entries.end(), 0) == table.entries.end();
}

void BuildFixedTables(HuffmanTable& literals, HuffmanTable& distances) {
  std::uint8_t lengths[kFixedLiteralCodes];
  std::fill(lengths, lengths + 144, 8);
  std::fill(lengths + 144, lengths + 256, 9);
  std::fill(lengths + 256, lengths + 280, 7);
  std::fill(lengths + 280, lengths + kFixedLiteralCodes, 8);
  BuildHuffmanTable(lengths, kFixedLiteralCodes, literals);
  std::fill(lengths, lengths + kFixedDistanceCodes, 5);
  BuildHuffmanTable(lengths, kFixedDistanceCodes, distances);
}

}  // namespace

// The window never holds more than the whole output, so small streams get a
// small one; never empty, and the sum cannot wrap whatever the size.
Inflater::Inflater(std::uint64_t expectedSize)
    : expectedSize_(expectedSize),
      window_(static_cast<std::size_t>(std::min<std::uint64_t>(kWindowCapacity - 1, expectedSize)) + 1) {}

void Inflater::Feed(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  if (state_ == State::kEnd || inputEnded_) {
    Fail();
    return;
  }
  input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(inputPosition_));
  inputPosition_ = 0;
  input_.insert(input_.end(), data, data + size);
}

void Inflater::EndInput() { inputEnded_ = true; }

Inflater::Status Inflater::Inflate(const std::uint8_t*& output, std::size_t& outputSize) {
  SlideWindow();
  bool progressing = true;
  while (progressing && windowFill_ - delivered_ < kOutputChunk) {
    switch (state_) {
      case State::kBlockHeader: progressing = DecodeBlockHeader(); break;
      case State::kStored: progressing = CopyStored(); break;
      case State::kCompressed: progressing = DecodeCompressed(); break;
      case State::kEnd:
      case State::kError: progressing = false; break;
    }
  }
  if (state_ == State::kError) return Status::kError;
  if (windowFill_ > delivered_) {
    output = window_.data() + delivered_;
    outputSize = windowFill_ - delivered_;
    delivered_ = windowFill_;
    return Status::kOutput;
  }
  if (state_ == State::kEnd) return EndOfStream();
  return inputEnded_ ? Status::kError : Status::kNeedInput;
}

Inflater::Status Inflater::EndOfStream() {
  const bool inputLeft = bitCount_ >= 8 || inputPosition_ < input_.size();
  if (produced_ != expectedSize_ || inputLeft) {
    Fail();
    return Status::kError;
  }
  return Status::kDone;
}

void Inflater::SlideWindow() {
  if (windowFill_ <= kWindowSize) return;
  std::memmove(window_.data(), window_.data() + windowFill_ - kWindowSize, kWindowSize);
  windowFill_ = kWindowSize;
  delivered_ = kWindowSize;
}

bool Inflater::Fail() {
  state_ = State::kError;
  return false;
}

std::uint64_t Inflater::AvailableBits() const {
  return bitCount_ + 8 * static_cast<std::uint64_t>(input_.size() - inputPosition_);
}

// A step may start once it cannot run out of input, or once no more will come
// (then running out is an error).
bool Inflater::Ready(std::uint64_t bits) const { return inputEnded_ || AvailableBits() >= bits; }

void Inflater::Refill() {
  while (bitCount_ <= 56 && inputPosition_ < input_.size()) {
    bits_ |= static_cast<std::uint64_t>(input_[inputPosition_++]) << bitCount_;
    bitCount_ += 8;
  }
}

bool Inflater::ReadBits(unsigned count, std::uint32_t& value) {
  Refill();
  if (bitCount_ < count) return Fail();
  value = static_cast<std::uint32_t>(bits_ & ((std::uint64_t{1} << count) - 1));
  bits_ >>= count;
  bitCount_ -= count;
  return true;
}

bool Inflater::DecodeSymbol(const HuffmanTable& table, unsigned& symbol) {
  Refill();
  const std::uint16_t entry = table.entries[bits_ & ((std::uint64_t{1} << table.maxBits) - 1)];
  const unsigned length = entry & 15u;
  if (length == 0 || length > bitCount_) return Fail();
  bits_ >>= length;
  bitCount_ -= length;
  symbol = entry >> 4;
  return true;
}

bool Inflater::DecodeBlockHeader() {
  if (finalBlock_) {
    state_ = State::kEnd;
    return false;
  }
  if (!Ready(kBlockHeaderBits)) return false;
  std::uint32_t header = 0;
  if (!ReadBits(3, header)) return false;
  finalBlock_ = (header & 1u) != 0;
  switch (header >> 1) {
    case 0: return ReadStoredHeader();
    case 1: BuildFixedTables(literals_, distances_); break;
    case 2:
      if (!ReadDynamicTables()) return false;
      break;
    default: return Fail();
  }
  state_ = State::kCompressed;
  return true;
}

bool Inflater::ReadBitFields(std::initializer_list<unsigned> widths, std::uint32_t* values) {
  for (unsigned width : widths) {
    if (!ReadBits(width, *values++)) return false;
  }
  return true;
}

bool Inflater::ReadStoredHeader() {
  // The rest of the current byte, then the length and its complement.
  std::uint32_t fields[3] = {};
  if (!ReadBitFields({bitCount_ % 8, 16, 16}, fields)) return false;
  if ((fields[1] ^ 0xFFFFu) != fields[2]) return Fail();
  storedLeft_ = fields[1];
  state_ = State::kStored;
  return true;
}

bool Inflater::ReadDynamicTables() {
  std::uint32_t counts[3] = {};
  if (!ReadBitFields({5, 5, 4}, counts)) return false;
  const unsigned literalCount = counts[0] + 257;
  const unsigned distanceCount = counts[1] + 1;
  const unsigned lengthCodeCount = counts[2] + 4;
  if (literalCount > kLiteralCodes || distanceCount > kDistanceCodes) return Fail();

  std::uint8_t lengthCodeLengths[kCodeLengthCodes] = {};
  for (unsigned index = 0; index < lengthCodeCount; ++index) {
    std::uint32_t length = 0;
    if (!ReadBits(3, length)) return false;
    lengthCodeLengths[kCodeLengthOrder[index]] = static_cast<std::uint8_t>(length);
  }
  HuffmanTable lengthCode;
  if (!BuildHuffmanTable(lengthCodeLengths, kCodeLengthCodes, lengthCode)) return Fail();

  std::uint8_t lengths[kLiteralCodes + kDistanceCodes] = {};
  if (!ReadCodeLengths(lengthCode, literalCount + distanceCount, lengths)) return false;
  // A block without an end-of-block code could never end.
  if (lengths[kEndOfBlock] == 0) return Fail();
  if (!BuildHuffmanTable(lengths, literalCount, literals_) ||
      !BuildHuffmanTable(lengths + literalCount, distanceCount, distances_)) {
    return Fail();
  }
  return true;
}

bool Inflater::ReadCodeLengths(const HuffmanTable& lengthCode, unsigned count, std::uint8_t* lengths) {
  unsigned index = 0;
  while (index < count) {
    unsigned symbol = 0;
    if (!DecodeSymbol(lengthCode, symbol)) return false;
    if (symbol < 16) {
      lengths[index++] = static_cast<std::uint8_t>(symbol);
      continue;
    }
    std::uint32_t repeat = 0;
    std::uint8_t value = 0;
    if (symbol == 16) {
      if (index == 0 || !ReadBits(2, repeat)) return Fail();
      value = lengths[index - 1];
      repeat += 3;
    } else if (symbol == 17) {
      if (!ReadBits(3, repeat)) return false;
      repeat += 3;
    } else {
      if (!ReadBits(7, repeat)) return false;
      repeat += 11;
    }
    if (repeat > count - index) return Fail();
    std::fill(lengths + index, lengths + index + repeat, value);
    index += repeat;
  }
  return true;
}

bool Inflater::CopyStored() {
  if (storedLeft_ > expectedSize_ - produced_) return Fail();
  std::size_t room = kOutputChunk - (windowFill_ - delivered_);
  // After the header the bit buffer holds whole bytes only.
  for (; storedLeft_ > 0 && bitCount_ >= 8 && room > 0; --storedLeft_, --room) {
    window_[windowFill_++] = static_cast<std::uint8_t>(bits_);
    bits_ >>= 8;
    bitCount_ -= 8;
    ++produced_;
  }
  const std::size_t count = std::min<std::size_t>({storedLeft_, input_.size() - inputPosition_, room});
  std::memcpy(window_.data() + windowFill_, input_.data() + inputPosition_, count);
  windowFill_ += count;
  inputPosition_ += count;
  storedLeft_ -= static_cast<std::uint32_t>(count);
  produced_ += count;
  if (storedLeft_ == 0) {
    state_ = State::kBlockHeader;
    return true;
  }
  if (count > 0 || room == 0) return true;
  return inputEnded_ ? Fail() : false;
}

bool Inflater::DecodeCompressed() {
  while (windowFill_ - delivered_ < kOutputChunk) {
    if (!Ready(kMatchBits)) return false;
    unsigned symbol = 0;
    if (!DecodeSymbol(literals_, symbol)) return false;
    if (symbol < 256) {
      if (produced_ == expectedSize_) return Fail();
      window_[windowFill_++] = static_cast<std::uint8_t>(symbol);
      ++produced_;
      continue;
    }
    if (symbol == kEndOfBlock) {
      state_ = State::kBlockHeader;
      return true;
    }
    symbol -= 257;
    if (symbol >= 29) return Fail();
    std::uint32_t lengthExtra = 0;
    unsigned distanceSymbol = 0;
    std::uint32_t distanceExtra = 0;
    if (!ReadBits(kLengthExtra[symbol], lengthExtra) || !DecodeSymbol(distances_, distanceSymbol)) return false;
    if (distanceSymbol >= kDistanceCodes) return Fail();
    if (!ReadBits(kDistanceExtra[distanceSymbol], distanceExtra)) return false;
    if (!CopyMatch(kLengthBase[symbol] + lengthExtra, kDistanceBase[distanceSymbol] + distanceExtra)) return false;
  }
  return true;
}

bool Inflater::CopyMatch(unsigned length, unsigned distance) {
  if (distance > produced_ || length > expectedSize_ - produced_) return Fail();
  // Byte by byte: a copy may overlap the bytes it writes.
  const std::size_t from = windowFill_ - distance;
  for (unsigned index = 0; index < length; ++index) window_[windowFill_ + index] = window_[from + index];
  windowFill_ += length;
  produced_ += length;
  return true;
}

DeflateDecoder::DeflateDecoder(std::uint64_t expectedSize, ByteSink sink)
    : inflater_(expectedSize), sink_(std::move(sink)) {}

bool DeflateDecoder::Write(const std::uint8_t* data, std::size_t size) {
  if (failed_) return false;
  inflater_.Feed(data, size);
  return Drain();
}

bool DeflateDecoder::Finish() {
  if (failed_) return false;
  inflater_.EndInput();
  return Drain() && done_;
}

bool DeflateDecoder::Drain() {
  for (;;) {
    const std::uint8_t* output = nullptr;
    std::size_t outputSize = 0;
    switch (inflater_.Inflate(output, outputSize)) {
      case Inflater::Status::kOutput:
        if (!sink_(output, outputSize)) {
          failed_ = true;
          return false;
        }
        break;
      case Inflater::Status::kNeedInput: return true;
      case Inflater::Status::kDone: done_ = true; return true;
      case Inflater::Status::kError: failed_ = true; return false;
    }
  }
}

bool InflateBuffer(const std::uint8_t* stream, std::size_t size, std::uint64_t expectedSize,
                   std::vector<std::uint8_t>& output) {
  output.clear();
  DeflateDecoder decoder(expectedSize, [&output](const std::uint8_t* data, std::size_t count) {
    output.insert(output.end(), data, data + count);
    return true;
  });
  return decoder.Write(stream, size) && decoder.Finish();
}

}  // namespace zavex
