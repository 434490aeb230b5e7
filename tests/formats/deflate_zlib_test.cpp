// Our DEFLATE against zlib's: zlib's raw streams at every level and strategy
// decode with ours, and zlib inflates every stream ours writes.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <vector>

#include "formats/deflate_decoder.h"
#include "formats/deflate_encoder.h"
#include "sample_bytes.h"

namespace zavex {
namespace {

std::vector<Bytes> Inputs() {
  Bytes mixed = WordBytes(300000, 11);
  const Bytes random = RandomBytes(100000, 12);
  mixed.insert(mixed.begin() + 1000, random.begin(), random.end());
  return {Bytes{}, Bytes{7}, RandomBytes(70000, 13), Bytes(500000, 0xAB), WordBytes(600000, 14), mixed,
          SkewedBytes(15)};
}

Bytes ZlibDeflate(const Bytes& input, int level, int strategy) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, level, Z_DEFLATED, -15, 9, strategy), Z_OK);
  // zlib 1.2.13 bounds an empty stored stream one byte short.
  Bytes output(deflateBound(&stream, input.size()) + 16);
  stream.next_in = const_cast<Bytef*>(input.data());
  stream.avail_in = static_cast<uInt>(input.size());
  stream.next_out = output.data();
  stream.avail_out = static_cast<uInt>(output.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  output.resize(stream.total_out);
  deflateEnd(&stream);
  return output;
}

// True when zlib inflates stream to exactly expected, with nothing after it.
bool ZlibInflates(const Bytes& stream, const Bytes& expected) {
  z_stream inflater{};
  EXPECT_EQ(inflateInit2(&inflater, -15), Z_OK);
  Bytes output(expected.size() + 1);
  inflater.next_in = const_cast<Bytef*>(stream.data());
  inflater.avail_in = static_cast<uInt>(stream.size());
  inflater.next_out = output.data();
  inflater.avail_out = static_cast<uInt>(output.size());
  const int result = inflate(&inflater, Z_FINISH);
  const bool whole = result == Z_STREAM_END && inflater.avail_in == 0 && inflater.total_out == expected.size();
  inflateEnd(&inflater);
  output.resize(expected.size());
  return whole && output == expected;
}

TEST(DeflateAgainstZlib, DecodesZlibAtEveryLevelAndStrategy) {
  for (const Bytes& input : Inputs()) {
    for (int strategy : {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED}) {
      for (int level = 0; level <= 9; ++level) {
        const Bytes stream = ZlibDeflate(input, level, strategy);
        Bytes decoded;
        ASSERT_TRUE(InflateBuffer(stream.data(), stream.size(), input.size(), decoded))
            << input.size() << " bytes, level " << level << ", strategy " << strategy;
        ASSERT_TRUE(decoded == input);
      }
    }
  }
}

TEST(DeflateAgainstZlib, ZlibInflatesOurStreams) {
  for (const Bytes& input : Inputs()) {
    const Bytes stream = DeflateBuffer(input.data(), input.size());
    EXPECT_TRUE(ZlibInflates(stream, input)) << input.size() << " bytes";
    // Within a tenth of zlib's default level.
    EXPECT_LE(stream.size(), ZlibDeflate(input, 6, Z_DEFAULT_STRATEGY).size() * 11 / 10 + 16) << input.size();
  }
}

}  // namespace
}  // namespace zavex
