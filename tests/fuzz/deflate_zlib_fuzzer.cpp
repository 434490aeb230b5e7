// libFuzzer target: our DEFLATE against zlib's. Input: one byte each of
// level, strategy, window bits and memory level, then the data. zlib's raw
// stream of the data at those settings must decode with ours to the data, and
// ours must inflate with zlib to it. The data as a raw stream must be
// accepted by ours exactly when zlib accepts it, with the same bytes; where
// both refuse, the bytes each decoded first agree.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "formats/deflate_decoder.h"
#include "formats/deflate_encoder.h"
#include "formats/zlib_reference.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Streams decoding to more are left out: a 64 KiB input can name 64 MiB.
constexpr std::size_t kLargestOutput = 1 << 20;
constexpr int kStrategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};

// What ours decodes of stream, at most limit bytes, and whether it is a whole
// stream of exactly that many.
bool OursAccepts(const Bytes& stream, std::size_t limit, Bytes& output) {
  output.clear();
  zavex::DeflateDecoder decoder(limit, [&output](const std::uint8_t* bytes, std::size_t count) {
    output.insert(output.end(), bytes, bytes + count);
    return true;
  });
  if (decoder.Write(stream.data(), stream.size()) && decoder.Finish()) return true;
  Bytes again;
  return output.size() < limit && zavex::InflateBuffer(stream.data(), stream.size(), output.size(), again) &&
         again == output;
}

bool StartsWith(const Bytes& longer, const Bytes& shorter) {
  return shorter.size() <= longer.size() && std::equal(shorter.begin(), shorter.end(), longer.begin());
}

void CheckBothWays(const Bytes& data, const zavex::ZlibSettings& settings) {
  Bytes zlibStream;
  Bytes decoded;
  if (!zavex::ZlibDeflate(data, settings, zlibStream) ||
      !zavex::InflateBuffer(zlibStream.data(), zlibStream.size(), data.size(), decoded) || decoded != data) {
    __builtin_trap();
  }
  const Bytes ourStream = zavex::DeflateBuffer(data.data(), data.size());
  Bytes inflated;
  if (zavex::ZlibInflate(ourStream.data(), ourStream.size(), data.size(), inflated) != zavex::ZlibVerdict::kWhole ||
      inflated != data) {
    __builtin_trap();
  }
}

void CheckSameVerdict(const Bytes& stream) {
  Bytes zlibOutput;
  const zavex::ZlibVerdict verdict = zavex::ZlibInflate(stream.data(), stream.size(), kLargestOutput, zlibOutput);
  Bytes ourOutput;
  const bool accepted = OursAccepts(stream, kLargestOutput, ourOutput);
  if (verdict == zavex::ZlibVerdict::kLonger || ourOutput.size() == kLargestOutput) return;
  if (accepted != (verdict == zavex::ZlibVerdict::kWhole)) __builtin_trap();
  if (accepted ? ourOutput != zlibOutput : !StartsWith(zlibOutput, ourOutput) && !StartsWith(ourOutput, zlibOutput)) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const zavex::ZlibSettings settings{data[0] % 10, kStrategies[data[1] % 5], 9 + data[2] % 7, 1 + data[3] % 9};
  const Bytes rest(data + 4, data + size);
  CheckBothWays(rest, settings);
  CheckSameVerdict(rest);
  return 0;
}
