// Our DEFLATE against zlib's: zlib's raw streams at every level and strategy
// decode with ours, and zlib inflates every stream ours writes.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "formats/deflate_decoder.h"
#include "formats/deflate_encoder.h"
#include "sample_bytes.h"
#include "zlib_reference.h"

namespace zavex {
namespace {

std::vector<Bytes> Inputs() {
  Bytes mixed = WordBytes(300000, 11);
  const Bytes random = RandomBytes(100000, 12);
  mixed.insert(mixed.begin() + 1000, random.begin(), random.end());
  return {Bytes{}, Bytes{7}, RandomBytes(70000, 13), Bytes(500000, 0xAB), WordBytes(600000, 14), mixed,
          SkewedBytes(15)};
}

TEST(DeflateAgainstZlib, DecodesZlibAtEveryLevelAndStrategy) {
  for (const Bytes& input : Inputs()) {
    for (int strategy : {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED}) {
      for (int level = 0; level <= 9; ++level) {
        Bytes stream;
        ASSERT_TRUE(ZlibDeflate(input, {level, strategy}, stream));
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
    Bytes inflated;
    EXPECT_EQ(ZlibInflate(stream.data(), stream.size(), input.size(), inflated), ZlibVerdict::kWhole)
        << input.size() << " bytes";
    EXPECT_TRUE(inflated == input);
    // Within a tenth of zlib's default level.
    Bytes zlibStream;
    ASSERT_TRUE(ZlibDeflate(input, {6}, zlibStream));
    EXPECT_LE(stream.size(), zlibStream.size() * 11 / 10 + 16) << input.size();
  }
}

}  // namespace
}  // namespace zavex
