#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <vector>

namespace zavex {

// Receives bytes in order; false stops the producer, which then fails.
using ByteSink = std::function<bool(const std::uint8_t* data, std::size_t size)>;

// A canonical Huffman code as a lookup table indexed by the next maxBits bits
// of the stream (least significant bit first); each entry holds symbol << 4 |
// code length, 0 where no code starts with those bits.
struct HuffmanTable {
  std::vector<std::uint16_t> entries;
  unsigned maxBits = 1;
};

// Pull decoder of one raw DEFLATE stream (RFC 1951) whose decoded size is
// known. Compressed bytes go in with Feed in pieces of any size; Inflate hands
// out the decoded bytes in pieces of at most 64 KiB and one copy. Memory
// stays bounded whatever the stream: a window of about 96 KiB (less for small
// outputs), the input not yet consumed (what was fed since the last
// kNeedInput, plus at most about 600 bytes) and two code tables.
class Inflater {
 public:
  enum class Status { kOutput, kNeedInput, kDone, kError };

  explicit Inflater(std::uint64_t expectedSize);

  // Bytes after the end of the stream make it fail.
  void Feed(const std::uint8_t* data, std::size_t size);
  // No more input will come: running out of it is now an error.
  void EndInput();

  // kOutput: output and outputSize hold the next decoded bytes, valid until
  // the next call. kDone: the final block ended with exactly the expected
  // size and no input after it. kError: malformed, truncated, longer or
  // shorter than expected, or input after the end; final.
  Status Inflate(const std::uint8_t*& output, std::size_t& outputSize);

  std::uint64_t produced() const { return produced_; }

 private:
  enum class State { kBlockHeader, kStored, kCompressed, kEnd, kError };

  std::uint64_t AvailableBits() const;
  bool Ready(std::uint64_t bits) const;
  void Refill();
  bool ReadBits(unsigned count, std::uint32_t& value);
  bool ReadBitFields(std::initializer_list<unsigned> widths, std::uint32_t* values);
  bool DecodeSymbol(const HuffmanTable& table, unsigned& symbol);

  // One step each; false when they need more input (state unchanged) or
  // failed (state kError).
  bool DecodeBlockHeader();
  bool ReadStoredHeader();
  bool ReadDynamicTables();
  bool ReadCodeLengths(const HuffmanTable& lengthCode, unsigned count, std::uint8_t* lengths);
  bool CopyStored();
  bool DecodeCompressed();
  bool CopyMatch(unsigned length, unsigned distance);
  bool Fail();
  Status EndOfStream();

  void SlideWindow();

  std::uint64_t expectedSize_;
  std::uint64_t produced_ = 0;
  State state_ = State::kBlockHeader;
  bool finalBlock_ = false;
  bool inputEnded_ = false;

  std::vector<std::uint8_t> input_;
  std::size_t inputPosition_ = 0;
  std::uint64_t bits_ = 0;
  unsigned bitCount_ = 0;

  std::vector<std::uint8_t> window_;
  std::size_t windowFill_ = 0;
  std::size_t delivered_ = 0;
  std::uint32_t storedLeft_ = 0;

  HuffmanTable literals_;
  HuffmanTable distances_;
};

// Push decoder: the stream arrives in pieces through Write and every decoded
// byte goes to sink in order. False from Write or Finish once the stream is
// malformed, the sink refused, or the decoded size is other than expected.
class DeflateDecoder {
 public:
  DeflateDecoder(std::uint64_t expectedSize, ByteSink sink);

  bool Write(const std::uint8_t* data, std::size_t size);
  // True once the whole stream was decoded to exactly the expected size.
  bool Finish();

 private:
  bool Drain();

  Inflater inflater_;
  ByteSink sink_;
  bool failed_ = false;
  bool done_ = false;
};

// Convenience for whole buffers: decodes stream to exactly expectedSize bytes.
bool InflateBuffer(const std::uint8_t* stream, std::size_t size, std::uint64_t expectedSize,
                   std::vector<std::uint8_t>& output);

}  // namespace zavex
