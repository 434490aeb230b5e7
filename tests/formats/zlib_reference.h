#pragma once

// zlib as the reference for our DEFLATE: its raw streams (RFC 1951, no
// header) both ways.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zavex {

struct ZlibSettings {
  int level = Z_DEFAULT_COMPRESSION;
  int strategy = Z_DEFAULT_STRATEGY;
  int windowBits = 15;  // 9 to 15 for raw streams
  int memoryLevel = 8;
};

// The raw stream zlib makes of input; false if zlib refused the settings.
inline bool ZlibDeflate(const std::vector<std::uint8_t>& input, const ZlibSettings& settings,
                        std::vector<std::uint8_t>& output) {
  z_stream stream{};
  if (deflateInit2(&stream, settings.level, Z_DEFLATED, -settings.windowBits, settings.memoryLevel,
                   settings.strategy) != Z_OK) {
    return false;
  }
  // zlib 1.2.13 bounds an empty stored stream one byte short.
  output.resize(deflateBound(&stream, input.size()) + 16);
  stream.next_in = const_cast<Bytef*>(input.data());
  stream.avail_in = static_cast<uInt>(input.size());
  stream.next_out = output.data();
  stream.avail_out = static_cast<uInt>(output.size());
  const bool ended = deflate(&stream, Z_FINISH) == Z_STREAM_END;
  output.resize(stream.total_out);
  deflateEnd(&stream);
  return ended;
}

enum class ZlibVerdict { kWhole, kRefused, kLonger };

// Inflates a raw stream with a 32 KiB window into at most limit bytes.
// kWhole: the stream ended exactly at its last byte. kRefused: malformed,
// truncated or followed by more bytes. kLonger: it would decode to more than
// limit bytes. output holds what was decoded either way.
inline ZlibVerdict ZlibInflate(const std::uint8_t* stream, std::size_t size, std::size_t limit,
                               std::vector<std::uint8_t>& output) {
  z_stream inflater{};
  output.assign(limit + 1, 0);
  if (inflateInit2(&inflater, -15) != Z_OK) return ZlibVerdict::kRefused;
  inflater.next_in = const_cast<Bytef*>(stream);
  inflater.avail_in = static_cast<uInt>(size);
  inflater.next_out = output.data();
  inflater.avail_out = static_cast<uInt>(output.size());
  const int result = inflate(&inflater, Z_FINISH);
  output.resize(inflater.total_out);
  const bool whole = result == Z_STREAM_END && inflater.avail_in == 0;
  inflateEnd(&inflater);
  if (output.size() > limit) return ZlibVerdict::kLonger;
  return whole ? ZlibVerdict::kWhole : ZlibVerdict::kRefused;
}

}  // namespace zavex
