// libFuzzer target: the DEFLATE decoder. Input: two bytes of expected size,
// one byte of piece size, then the stream. Fed in pieces it must agree with
// the whole-buffer decode and never pass the expected size; the input itself
// must survive a round trip through the encoder.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "formats/deflate_decoder.h"
#include "formats/deflate_encoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> roundTrip;
  const std::vector<std::uint8_t> encoded = zavex::DeflateBuffer(data, size);
  if (!zavex::InflateBuffer(encoded.data(), encoded.size(), size, roundTrip) ||
      roundTrip != std::vector<std::uint8_t>(data, data + size)) {
    __builtin_trap();
  }
  if (size < 3) return 0;
  const std::size_t expected = data[0] | data[1] << 8;
  const std::size_t pieceSize = data[2] + 1;
  const std::uint8_t* stream = data + 3;
  const std::size_t streamSize = size - 3;

  std::vector<std::uint8_t> whole;
  const bool wholeDecoded = zavex::InflateBuffer(stream, streamSize, expected, whole);
  std::vector<std::uint8_t> pieces;
  zavex::DeflateDecoder decoder(expected, [&pieces](const std::uint8_t* bytes, std::size_t count) {
    pieces.insert(pieces.end(), bytes, bytes + count);
    return true;
  });
  bool decoded = true;
  for (std::size_t offset = 0; decoded && offset < streamSize; offset += pieceSize) {
    decoded = decoder.Write(stream + offset, std::min(pieceSize, streamSize - offset));
  }
  decoded = decoded && decoder.Finish();
  if (decoded != wholeDecoded || pieces.size() > expected || (decoded && (pieces != whole || whole.size() != expected))) {
    __builtin_trap();
  }
  return 0;
}
