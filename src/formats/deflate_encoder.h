#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "formats/deflate_decoder.h"

namespace zavex {

// Raw DEFLATE (RFC 1951) encoder for the publisher: LZ77 over hash chains
// greedy matching, and per block either dynamic Huffman codes
// (lengths limited to 15 bits, the code-length code to 7) or stored bytes,
// whichever is shorter. Input arrives in pieces of any size; the compressed
// stream goes to sink in pieces. Memory stays bounded: about 200 KiB of input
// and history, the chains and one block's symbols.
class DeflateEncoder {
 public:
  explicit DeflateEncoder(ByteSink sink);

  // False once the sink refused a piece.
  bool Write(const std::uint8_t* data, std::size_t size);
  // Hands to sink every bit of the stream so far, ending with an empty stored
  // block when anything was written since the last flush, so that what the
  // sink has received decodes to every byte written (a sync flush).
  bool Flush();
  // Ends the stream with a final block; call once.
  bool Finish();

 private:
  struct Symbol {
    std::uint16_t lengthOrLiteral;  // below 256 a literal, otherwise a match length
    std::uint16_t distance;         // 0 for a literal
  };

  bool CompressUpTo(std::size_t end, bool final);
  unsigned LongestMatch(std::size_t position, unsigned& distance) const;
  void Insert(std::size_t position);
  void SlideInput();
  bool EmitBlock(std::size_t blockStart, std::size_t blockEnd, bool final);
  void WriteStored(std::size_t blockStart, std::size_t blockEnd, bool final);
  void WriteBits(std::uint32_t value, unsigned count);
  void AlignToByte();
  bool FlushOutput(bool all);

  ByteSink sink_;
  bool failed_ = false;

  std::vector<std::uint8_t> input_;  // the last 32 KiB already encoded, then what waits
  std::size_t position_ = 0;         // next byte of input_ to encode
  std::vector<std::int32_t> head_;
  std::vector<std::int32_t> chain_;
  std::vector<Symbol> symbols_;

  std::vector<std::uint8_t> output_;
  std::uint64_t bits_ = 0;
  unsigned bitCount_ = 0;
  bool unflushed_ = false;  // blocks written since the last flush
};

// The raw DEFLATE stream of data[0..size).
std::vector<std::uint8_t> DeflateBuffer(const std::uint8_t* data, std::size_t size);

}  // namespace zavex
