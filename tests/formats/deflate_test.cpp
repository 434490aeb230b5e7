#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "formats/deflate_decoder.h"
#include "formats/deflate_encoder.h"
#include "formats/deflate_tables.h"
#include "sample_bytes.h"

namespace zavex {
namespace {

struct Sample {
  const char* name;
  Bytes bytes;
};

std::vector<Sample> Samples() {
  Bytes allValues(256 * 3);
  for (std::size_t index = 0; index < allValues.size(); ++index) allValues[index] = static_cast<std::uint8_t>(index);
  Bytes runs;
  for (int run = 0; run < 400; ++run) runs.insert(runs.end(), 1 + run * 7 % 700, static_cast<std::uint8_t>(run));
  return {{"empty", {}},
          {"one byte", {42}},
          {"every value", allValues},
          {"random, several batches", RandomBytes(400000, 1)},
          {"zeros", Bytes(1 << 20, 0)},
          {"runs", runs},
          {"words", WordBytes(700000, 2)},
          {"skewed", SkewedBytes(9)},
          {"random then its copy", [] {
             Bytes bytes = RandomBytes(50000, 3);
             bytes.insert(bytes.end(), bytes.begin(), bytes.end());
             return bytes;
           }()}};
}

// Decodes stream fed in pieces of pieceSize; false if the decoder refused.
bool Decode(const Bytes& stream, std::uint64_t expectedSize, std::size_t pieceSize, Bytes& output) {
  output.clear();
  std::size_t largestPiece = 0;
  DeflateDecoder decoder(expectedSize, [&](const std::uint8_t* data, std::size_t size) {
    output.insert(output.end(), data, data + size);
    largestPiece = std::max(largestPiece, size);
    return true;
  });
  for (std::size_t offset = 0; offset < stream.size(); offset += pieceSize) {
    if (!decoder.Write(stream.data() + offset, std::min(pieceSize, stream.size() - offset))) return false;
  }
  EXPECT_LE(largestPiece, 65536u + 258);
  EXPECT_LE(output.size(), expectedSize);
  return decoder.Finish();
}

TEST(Deflate, RoundTripsInPiecesOfAnySize) {
  for (const Sample& sample : Samples()) {
    SCOPED_TRACE(sample.name);
    const Bytes stream = DeflateBuffer(sample.bytes.data(), sample.bytes.size());
    for (std::size_t pieceSize : {std::size_t{1}, std::size_t{7}, std::size_t{4096}, stream.size() + 1}) {
      if (pieceSize == 1 && stream.size() > 100000) continue;
      Bytes decoded;
      ASSERT_TRUE(Decode(stream, sample.bytes.size(), pieceSize, decoded)) << pieceSize;
      ASSERT_TRUE(decoded == sample.bytes) << pieceSize;
    }
  }
}

TEST(Deflate, EncoderFedInPiecesWritesTheSameStream) {
  const Bytes words = WordBytes(300000, 4);
  Bytes stream;
  DeflateEncoder encoder([&](const std::uint8_t* data, std::size_t size) {
    stream.insert(stream.end(), data, data + size);
    return true;
  });
  for (std::size_t offset = 0; offset < words.size(); offset += 1000) {
    ASSERT_TRUE(encoder.Write(words.data() + offset, std::min<std::size_t>(1000, words.size() - offset)));
  }
  ASSERT_TRUE(encoder.Finish());
  EXPECT_TRUE(stream == DeflateBuffer(words.data(), words.size()));
}

// What the sink has after a flush decodes to every byte written before it,
// and the stream goes on to a whole one.
TEST(Deflate, AFlushedStreamDecodesEveryByteWrittenBeforeIt) {
  const Bytes words = WordBytes(300000, 7);
  const Bytes random = RandomBytes(100000, 8);
  Bytes stream;
  DeflateEncoder encoder([&](const std::uint8_t* data, std::size_t size) {
    stream.insert(stream.end(), data, data + size);
    return true;
  });
  Bytes written;
  for (const Bytes* piece : {&words, &random, &words}) {
    ASSERT_TRUE(encoder.Write(piece->data(), piece->size()));
    written.insert(written.end(), piece->begin(), piece->end());
    ASSERT_TRUE(encoder.Flush());
    ASSERT_TRUE(encoder.Flush());  // nothing new: nothing added
    Inflater inflater(2 * words.size() + random.size());
    inflater.Feed(stream.data(), stream.size());
    Bytes decoded;
    const std::uint8_t* output = nullptr;
    std::size_t outputSize = 0;
    while (inflater.Inflate(output, outputSize) == Inflater::Status::kOutput) {
      decoded.insert(decoded.end(), output, output + outputSize);
    }
    EXPECT_TRUE(decoded == written);
  }
  ASSERT_TRUE(encoder.Finish());
  Bytes whole;
  ASSERT_TRUE(InflateBuffer(stream.data(), stream.size(), written.size(), whole));
  EXPECT_TRUE(whole == written);
}

TEST(Deflate, CompressesRepeatsAndStoresRandomBytes) {
  const Bytes zeros(1 << 20, 0);
  EXPECT_LT(DeflateBuffer(zeros.data(), zeros.size()).size(), 2000u);
  const Bytes words = WordBytes(1 << 20, 5);
  EXPECT_LT(DeflateBuffer(words.data(), words.size()).size(), words.size() / 4);
  const Bytes random = RandomBytes(1 << 20, 6);
  EXPECT_LE(DeflateBuffer(random.data(), random.size()).size(), random.size() + random.size() / 1000);
}

TEST(Deflate, RefusesADecodedSizeOtherThanExpected) {
  for (const Sample& sample : Samples()) {
    SCOPED_TRACE(sample.name);
    const Bytes stream = DeflateBuffer(sample.bytes.data(), sample.bytes.size());
    Bytes decoded;
    EXPECT_FALSE(Decode(stream, sample.bytes.size() + 1, 4096, decoded));
    if (!sample.bytes.empty()) {
      EXPECT_FALSE(Decode(stream, sample.bytes.size() - 1, 4096, decoded));
    }
  }
}

TEST(Deflate, RefusesEveryTruncationAndBytesAfterTheEnd) {
  const Bytes words = WordBytes(5000, 7);
  const Bytes stream = DeflateBuffer(words.data(), words.size());
  Bytes decoded;
  for (std::size_t length = 0; length < stream.size(); ++length) {
    ASSERT_FALSE(Decode(Bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(length)), words.size(),
                        4096, decoded))
        << length;
  }
  Bytes longer = stream;
  longer.push_back(0);
  EXPECT_FALSE(Decode(longer, words.size(), 4096, decoded));
  EXPECT_FALSE(Decode(longer, words.size(), 1, decoded));
}

TEST(Deflate, StopsABombAtTheExpectedSize) {
  const Bytes zeros(16 << 20, 0);
  const Bytes stream = DeflateBuffer(zeros.data(), zeros.size());
  std::uint64_t received = 0;
  DeflateDecoder decoder(100000, [&](const std::uint8_t*, std::size_t size) {
    received += size;
    return true;
  });
  EXPECT_FALSE(decoder.Write(stream.data(), stream.size()));
  EXPECT_LE(received, 100000u);
}

TEST(Deflate, ASinkThatRefusesStopsTheDecoder) {
  const Bytes words = WordBytes(200000, 8);
  const Bytes stream = DeflateBuffer(words.data(), words.size());
  int calls = 0;
  DeflateDecoder decoder(words.size(), [&](const std::uint8_t*, std::size_t) { return ++calls < 2; });
  EXPECT_FALSE(decoder.Write(stream.data(), stream.size()));
  EXPECT_FALSE(decoder.Finish());
  EXPECT_EQ(calls, 2);
}

TEST(Deflate, CodeLengthsStayWithinTheLimitAndFormACompleteCode) {
  std::vector<std::uint32_t> fibonacci(30);
  fibonacci[0] = fibonacci[1] = 1;
  for (std::size_t index = 2; index < fibonacci.size(); ++index) fibonacci[index] = fibonacci[index - 1] + fibonacci[index - 2];
  const std::vector<std::uint32_t> oneUsed = {0, 0, 5, 0};
  struct Case {
    std::vector<std::uint32_t> frequencies;
    unsigned limit;
  };
  for (const Case& test : {Case{fibonacci, 15}, Case{fibonacci, 7}, Case{std::vector<std::uint32_t>(19, 1), 7},
                           Case{oneUsed, 15}}) {
    std::vector<std::uint8_t> lengths(test.frequencies.size());
    deflate::BuildLimitedCodeLengths(test.frequencies, test.limit, lengths.data());
    // Complete: the lengths use up the code space exactly (Kraft sum 1).
    std::uint64_t space = 0;
    for (std::uint8_t length : lengths) {
      EXPECT_LE(length, test.limit);
      if (length > 0) space += std::uint64_t{1} << (test.limit - length);
    }
    EXPECT_EQ(space, std::uint64_t{1} << test.limit);
    std::vector<std::uint16_t> codes(lengths.size());
    EXPECT_TRUE(deflate::AssignCanonicalCodes(lengths.data(), static_cast<unsigned>(lengths.size()), codes.data()));
  }
}

// Writes a stream bit by bit, as RFC 1951 orders them.
class BitStream {
 public:
  BitStream& Bits(std::uint32_t value, unsigned count) {
    for (unsigned bit = 0; bit < count; ++bit) Push((value >> bit) & 1u);
    return *this;
  }
  // A Huffman code, most significant bit first.
  BitStream& Code(std::uint32_t code, unsigned length) { return Bits(deflate::ReverseBits(code, length), length); }
  BitStream& Bytes(std::initializer_list<std::uint8_t> bytes) {
    for (std::uint8_t byte : bytes) Bits(byte, 8);
    return *this;
  }
  zavex::Bytes Done() const { return bytes_; }

 private:
  void Push(unsigned bit) {
    if (count_ % 8 == 0) bytes_.push_back(0);
    bytes_.back() |= static_cast<std::uint8_t>(bit << (count_ % 8));
    ++count_;
  }
  zavex::Bytes bytes_;
  unsigned count_ = 0;
};

// Fixed-code literal below 144, length symbol 257 (3) and distance symbol 0 (1).
constexpr std::uint32_t kFixedA = 0x30 + 'a';
constexpr std::uint32_t kFixedLength3 = 1;

// A dynamic block whose literal and distance codes each hold one code of
// codeLength bits, and that ends at once.
Bytes OneCodeBlock(unsigned codeLength) {
  unsigned lengthCodes = 0;
  while (deflate::kCodeLengthOrder[lengthCodes++] != codeLength) {
  }
  BitStream stream;
  stream.Bits(5, 3).Bits(0, 5).Bits(0, 5).Bits(lengthCodes - 4, 4);
  for (unsigned index = 0; index < lengthCodes; ++index) {
    const unsigned symbol = deflate::kCodeLengthOrder[index];
    stream.Bits(symbol == 18 || symbol == codeLength ? 1 : 0, 3);
  }
  // codeLength has the code 0, 18 (a run of zeros) the code 1: 256 zero
  // lengths, then codeLength for the end of block and for distance 0.
  stream.Code(1, 1).Bits(127, 7).Code(1, 1).Bits(107, 7).Code(0, 1).Code(0, 1);
  return stream.Code(0, codeLength).Done();
}

struct HandMade {
  const char* name;
  Bytes stream;
  std::uint64_t expectedSize;
  bool valid;
};

TEST(Deflate, HandMadeStreams) {
  const HandMade cases[] = {
      {"stored", BitStream().Bits(1, 3).Bits(0, 5).Bytes({2, 0, 0xFD, 0xFF, 'h', 'i'}).Done(), 2, true},
      {"empty stored then fixed",
       BitStream().Bits(0, 3).Bits(0, 5).Bytes({0, 0, 0xFF, 0xFF}).Bits(3, 3).Code(kFixedA, 8).Code(0, 7).Done(), 1,
       true},
      {"fixed copy overlapping itself",
       BitStream().Bits(3, 3).Code(kFixedA, 8).Code(kFixedLength3, 7).Code(0, 5).Code(0, 7).Done(), 4, true},
      {"stored length and complement disagree",
       BitStream().Bits(1, 3).Bits(0, 5).Bytes({2, 0, 0xFD, 0xFE, 'h', 'i'}).Done(), 2, false},
      {"stored, past the expected size", BitStream().Bits(1, 3).Bits(0, 5).Bytes({2, 0, 0xFD, 0xFF, 'h', 'i'}).Done(),
       1, false},
      {"stored, largest expected size", BitStream().Bits(1, 3).Bits(0, 5).Bytes({2, 0, 0xFD, 0xFF, 'h', 'i'}).Done(),
       UINT64_MAX, false},
      {"fixed copy, largest expected size",
       BitStream().Bits(3, 3).Code(kFixedA, 8).Code(kFixedLength3, 7).Code(0, 5).Code(0, 7).Done(), UINT64_MAX, false},
      {"a single one-bit code", OneCodeBlock(1), 0, true},
      {"an incomplete code", OneCodeBlock(2), 0, false},
      {"reserved block type", BitStream().Bits(7, 3).Bytes({0, 0}).Done(), 0, false},
      {"copy from before the start",
       BitStream().Bits(3, 3).Code(kFixedA, 8).Code(kFixedLength3, 7).Code(1, 5).Code(0, 7).Done(), 4, false},
      {"distance symbol 30", BitStream().Bits(3, 3).Code(kFixedA, 8).Code(kFixedLength3, 7).Code(30, 5).Code(0, 7).Done(),
       4, false},
      {"length symbol 286", BitStream().Bits(3, 3).Code(kFixedA, 8).Code(0xC0 + 6, 8).Code(0, 7).Done(), 4, false},
      {"a block after the final one",
       BitStream().Bits(3, 3).Code(kFixedA, 8).Code(0, 7).Bits(3, 3).Code(kFixedA, 8).Code(0, 7).Done(), 2, false},
      {"no final block", BitStream().Bits(2, 3).Code(kFixedA, 8).Code(0, 7).Done(), 1, false},
      // Dynamic headers: 287 literal codes; an oversubscribed code-length
      // code (four lengths of 1); a repeat with nothing before it.
      {"too many literal codes", BitStream().Bits(5, 3).Bits(30, 5).Bits(0, 5).Bits(0, 4).Bytes({0, 0, 0, 0}).Done(), 0,
       false},
      {"oversubscribed code",
       BitStream().Bits(5, 3).Bits(0, 5).Bits(0, 5).Bits(0, 4).Bits(1, 3).Bits(1, 3).Bits(1, 3).Bits(1, 3).Bytes({0, 0})
           .Done(),
       0, false},
      {"repeat of nothing",
       BitStream().Bits(5, 3).Bits(0, 5).Bits(0, 5).Bits(0, 4).Bits(1, 3).Bits(0, 3).Bits(0, 3).Bits(1, 3).Code(1, 1)
           .Bytes({0, 0})
           .Done(),
       0, false},
  };
  for (const HandMade& test : cases) {
    Bytes decoded;
    EXPECT_EQ(InflateBuffer(test.stream.data(), test.stream.size(), test.expectedSize, decoded), test.valid)
        << test.name;
    EXPECT_LE(decoded.size(), test.expectedSize) << test.name;
  }
  Bytes decoded;
  ASSERT_TRUE(InflateBuffer(cases[2].stream.data(), cases[2].stream.size(), 4, decoded));
  EXPECT_EQ(std::string(decoded.begin(), decoded.end()), "aaaa");
}

}  // namespace
}  // namespace zavex
