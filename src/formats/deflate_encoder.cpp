#include "formats/deflate_encoder.h"

#include <algorithm>
#include <utility>

#include "formats/deflate_tables.h"

namespace zavex {
namespace {

using namespace deflate;

constexpr std::size_t kBatch = 131072;
constexpr std::size_t kMaxBlockSymbols = 32768;
constexpr unsigned kHashBits = 15;
constexpr unsigned kMaxChain = 64;
constexpr unsigned kNiceLength = 128;
constexpr std::size_t kOutputFlush = 65536;

unsigned Hash(const std::uint8_t* bytes) {
  const std::uint32_t value = bytes[0] | bytes[1] << 8 | bytes[2] << 16;
  return (value * 2654435761u) >> (32 - kHashBits);
}

unsigned LengthSymbol(unsigned length) {
  const unsigned index = static_cast<unsigned>(std::upper_bound(kLengthBase, kLengthBase + 29, length) - kLengthBase) - 1;
  return 257 + index;
}

unsigned DistanceSymbol(unsigned distance) {
  return static_cast<unsigned>(std::upper_bound(kDistanceBase, kDistanceBase + 30, distance) - kDistanceBase) - 1;
}

// One code: lengths and the codes bit-reversed, ready to write.
struct Code {
  std::vector<std::uint8_t> lengths;
  std::vector<std::uint16_t> reversed;

  Code(const std::vector<std::uint32_t>& frequencies, unsigned limit)
      : lengths(frequencies.size()), reversed(frequencies.size()) {
    BuildLimitedCodeLengths(frequencies, limit, lengths.data());
    AssignCanonicalCodes(lengths.data(), static_cast<unsigned>(lengths.size()), reversed.data());
    for (std::size_t symbol = 0; symbol < lengths.size(); ++symbol) {
      reversed[symbol] = static_cast<std::uint16_t>(ReverseBits(reversed[symbol], lengths[symbol]));
    }
  }

  std::uint64_t Cost(const std::vector<std::uint32_t>& frequencies) const {
    std::uint64_t bits = 0;
    for (std::size_t symbol = 0; symbol < lengths.size(); ++symbol) bits += std::uint64_t{frequencies[symbol]} * lengths[symbol];
    return bits;
  }
};

// A code-length code symbol (0-18) with its extra bits.
struct LengthToken {
  std::uint8_t symbol;
  std::uint8_t extra;
};

// The run-length form of the literal and distance code lengths (RFC 1951,
// 3.2.7).
std::vector<LengthToken> RunLengths(const std::vector<std::uint8_t>& lengths) {
  std::vector<LengthToken> tokens;
  for (std::size_t index = 0; index < lengths.size();) {
    const std::uint8_t value = lengths[index];
    std::size_t run = 1;
    while (index + run < lengths.size() && lengths[index + run] == value) ++run;
    index += run;
    if (value == 0) {
      for (; run >= 11; run -= std::min<std::size_t>(run, 138)) {
        tokens.push_back({18, static_cast<std::uint8_t>(std::min<std::size_t>(run, 138) - 11)});
      }
      if (run >= 3) {
        tokens.push_back({17, static_cast<std::uint8_t>(run - 3)});
        run = 0;
      }
    } else {
      tokens.push_back({value, 0});
      for (--run; run >= 3; run -= std::min<std::size_t>(run, 6)) {
        tokens.push_back({16, static_cast<std::uint8_t>(std::min<std::size_t>(run, 6) - 3)});
      }
    }
    for (; run > 0; --run) tokens.push_back({value, 0});
  }
  return tokens;
}

unsigned ExtraBitsOfLengthToken(unsigned symbol) { return symbol == 16 ? 2 : symbol == 17 ? 3 : symbol == 18 ? 7 : 0; }

}  // namespace

DeflateEncoder::DeflateEncoder(ByteSink sink)
    : sink_(std::move(sink)), head_(std::size_t{1} << kHashBits, -1), chain_(kWindowSize, -1) {}

bool DeflateEncoder::Write(const std::uint8_t* data, std::size_t size) {
  while (!failed_ && size > 0) {
    const std::size_t piece = std::min(size, kBatch + kMaxMatch - (input_.size() - position_));
    input_.insert(input_.end(), data, data + piece);
    data += piece;
    size -= piece;
    if (input_.size() - position_ == kBatch + kMaxMatch && !CompressUpTo(position_ + kBatch, false)) return false;
  }
  return !failed_;
}

bool DeflateEncoder::Flush() {
  if (failed_ || (position_ < input_.size() && !CompressUpTo(input_.size(), false))) return false;
  if (!unflushed_) return true;
  WriteStored(position_, position_, false);
  unflushed_ = false;
  return FlushOutput(true);
}

bool DeflateEncoder::Finish() {
  return !failed_ && CompressUpTo(input_.size(), true) && FlushOutput(true);
}

// Encodes input_[position_..end) as one or more blocks.
bool DeflateEncoder::CompressUpTo(std::size_t end, bool final) {
  std::size_t blockStart = position_;
  while (position_ < end) {
    unsigned distance = 0;
    const unsigned length = LongestMatch(position_, distance);
    if (length >= kMinMatch) {
      symbols_.push_back({static_cast<std::uint16_t>(length), static_cast<std::uint16_t>(distance)});
      for (std::size_t stop = position_ + length; position_ < stop; ++position_) Insert(position_);
    } else {
      symbols_.push_back({input_[position_], 0});
      Insert(position_++);
    }
    if (symbols_.size() == kMaxBlockSymbols && position_ < end) {
      if (!EmitBlock(blockStart, position_, false)) return false;
      blockStart = position_;
    }
  }
  if (!EmitBlock(blockStart, position_, final)) return false;
  SlideInput();
  return true;
}

// Matches may run past the batch into the bytes that wait.
unsigned DeflateEncoder::LongestMatch(std::size_t position, unsigned& distance) const {
  const std::size_t available = input_.size() - position;
  if (available < kMinMatch) return 0;
  const unsigned longest = static_cast<unsigned>(std::min<std::size_t>(kMaxMatch, available));
  const std::uint8_t* here = input_.data() + position;
  unsigned best = 0;
  std::int32_t candidate = head_[Hash(here)];
  for (unsigned steps = 0; candidate >= 0 && steps < kMaxChain; ++steps) {
    const std::size_t from = static_cast<std::size_t>(candidate);
    if (position - from > kWindowSize) break;
    const std::uint8_t* there = input_.data() + from;
    if (there[best] == here[best]) {
      unsigned length = 0;
      while (length < longest && there[length] == here[length]) ++length;
      if (length > best) {
        best = length;
        distance = static_cast<unsigned>(position - from);
        if (best >= kNiceLength || best == longest) break;
      }
    }
    candidate = chain_[from & (kWindowSize - 1)];
  }
  return best;
}

void DeflateEncoder::Insert(std::size_t position) {
  if (input_.size() - position < kMinMatch) return;
  const unsigned hash = Hash(input_.data() + position);
  chain_[position & (kWindowSize - 1)] = head_[hash];
  head_[hash] = static_cast<std::int32_t>(position);
}

// Drops input older than the window, by whole windows so that the chain
// keeps its slots.
void DeflateEncoder::SlideInput() {
  if (position_ < 2 * kWindowSize) return;
  const std::size_t shift = (position_ - kWindowSize) & ~std::size_t{kWindowSize - 1};
  input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(shift));
  position_ -= shift;
  for (std::vector<std::int32_t>* positions : {&head_, &chain_}) {
    for (std::int32_t& entry : *positions) entry = entry >= static_cast<std::int32_t>(shift) ? entry - static_cast<std::int32_t>(shift) : -1;
  }
}

bool DeflateEncoder::EmitBlock(std::size_t blockStart, std::size_t blockEnd, bool final) {
  std::vector<std::uint32_t> literalCounts(kLiteralCodes, 0);
  std::vector<std::uint32_t> distanceCounts(kDistanceCodes, 0);
  std::uint64_t extraBits = 0;
  for (const Symbol& symbol : symbols_) {
    if (symbol.distance == 0) {
      ++literalCounts[symbol.lengthOrLiteral];
      continue;
    }
    const unsigned lengthSymbol = LengthSymbol(symbol.lengthOrLiteral);
    const unsigned distanceSymbol = DistanceSymbol(symbol.distance);
    ++literalCounts[lengthSymbol];
    ++distanceCounts[distanceSymbol];
    extraBits += kLengthExtra[lengthSymbol - 257] + kDistanceExtra[distanceSymbol];
  }
  literalCounts[kEndOfBlock] = 1;
  const Code literals(literalCounts, kMaxCodeBits);
  const Code distances(distanceCounts, kMaxCodeBits);

  std::size_t literalCount = kLiteralCodes;
  while (literals.lengths[literalCount - 1] == 0) --literalCount;
  std::size_t distanceCount = kDistanceCodes;
  while (distanceCount > 1 && distances.lengths[distanceCount - 1] == 0) --distanceCount;
  std::vector<std::uint8_t> allLengths(literals.lengths.begin(), literals.lengths.begin() + literalCount);
  allLengths.insert(allLengths.end(), distances.lengths.begin(), distances.lengths.begin() + distanceCount);
  const std::vector<LengthToken> tokens = RunLengths(allLengths);
  std::vector<std::uint32_t> tokenCounts(kCodeLengthCodes, 0);
  for (const LengthToken& token : tokens) ++tokenCounts[token.symbol];
  const Code lengthCode(tokenCounts, kMaxCodeLengthBits);
  unsigned lengthCodeCount = kCodeLengthCodes;
  while (lengthCodeCount > 4 && lengthCode.lengths[kCodeLengthOrder[lengthCodeCount - 1]] == 0) --lengthCodeCount;

  std::uint64_t headerBits = 3 + 14 + 3 * lengthCodeCount + lengthCode.Cost(tokenCounts);
  for (const LengthToken& token : tokens) headerBits += ExtraBitsOfLengthToken(token.symbol);
  const std::uint64_t dynamicBits = headerBits + literals.Cost(literalCounts) + distances.Cost(distanceCounts) + extraBits;
  const std::uint64_t rawBytes = blockEnd - blockStart;
  const std::uint64_t storedBits = (rawBytes / kMaxStoredBlock + 1) * 40 + 8 * rawBytes;

  if (storedBits <= dynamicBits) {
    WriteStored(blockStart, blockEnd, final);
  } else {
    WriteBits(final ? 5 : 4, 3);
    WriteBits(static_cast<std::uint32_t>(literalCount - 257), 5);
    WriteBits(static_cast<std::uint32_t>(distanceCount - 1), 5);
    WriteBits(lengthCodeCount - 4, 4);
    for (unsigned index = 0; index < lengthCodeCount; ++index) WriteBits(lengthCode.lengths[kCodeLengthOrder[index]], 3);
    for (const LengthToken& token : tokens) {
      WriteBits(lengthCode.reversed[token.symbol], lengthCode.lengths[token.symbol]);
      WriteBits(token.extra, ExtraBitsOfLengthToken(token.symbol));
    }
    for (const Symbol& symbol : symbols_) {
      if (symbol.distance == 0) {
        WriteBits(literals.reversed[symbol.lengthOrLiteral], literals.lengths[symbol.lengthOrLiteral]);
        continue;
      }
      const unsigned lengthSymbol = LengthSymbol(symbol.lengthOrLiteral);
      const unsigned distanceSymbol = DistanceSymbol(symbol.distance);
      WriteBits(literals.reversed[lengthSymbol], literals.lengths[lengthSymbol]);
      WriteBits(symbol.lengthOrLiteral - kLengthBase[lengthSymbol - 257], kLengthExtra[lengthSymbol - 257]);
      WriteBits(distances.reversed[distanceSymbol], distances.lengths[distanceSymbol]);
      WriteBits(symbol.distance - kDistanceBase[distanceSymbol], kDistanceExtra[distanceSymbol]);
    }
    WriteBits(literals.reversed[kEndOfBlock], literals.lengths[kEndOfBlock]);
  }
  symbols_.clear();
  unflushed_ = true;
  return FlushOutput(false);
}

void DeflateEncoder::WriteStored(std::size_t blockStart, std::size_t blockEnd, bool final) {
  do {
    const std::size_t length = std::min<std::size_t>(blockEnd - blockStart, kMaxStoredBlock);
    const bool last = blockStart + length == blockEnd;
    WriteBits(final && last ? 1 : 0, 3);
    AlignToByte();
    WriteBits(static_cast<std::uint32_t>(length), 16);
    WriteBits(static_cast<std::uint32_t>(length ^ 0xFFFFu), 16);
    output_.insert(output_.end(), input_.begin() + static_cast<std::ptrdiff_t>(blockStart),
                   input_.begin() + static_cast<std::ptrdiff_t>(blockStart + length));
    blockStart += length;
  } while (blockStart < blockEnd);
}

void DeflateEncoder::WriteBits(std::uint32_t value, unsigned count) {
  bits_ |= static_cast<std::uint64_t>(value) << bitCount_;
  bitCount_ += count;
  while (bitCount_ >= 8) {
    output_.push_back(static_cast<std::uint8_t>(bits_));
    bits_ >>= 8;
    bitCount_ -= 8;
  }
}

void DeflateEncoder::AlignToByte() {
  if (bitCount_ > 0) WriteBits(0, 8 - bitCount_);
}

bool DeflateEncoder::FlushOutput(bool all) {
  if (all) AlignToByte();
  if (output_.empty() || (!all && output_.size() < kOutputFlush)) return true;
  failed_ = !sink_(output_.data(), output_.size());
  output_.clear();
  return !failed_;
}

std::vector<std::uint8_t> DeflateBuffer(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> stream;
  DeflateEncoder encoder([&stream](const std::uint8_t* piece, std::size_t count) {
    stream.insert(stream.end(), piece, piece + count);
    return true;
  });
  encoder.Write(data, size);
  encoder.Finish();
  return stream;
}

}  // namespace zavex
