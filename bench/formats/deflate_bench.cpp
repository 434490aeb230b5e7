// Our DEFLATE against zlib's, and the diff and the patch applier.
//
//   deflate_bench                 encode and decode speed and size next to
//                                 zlib (level 6, raw streams), on generated
//                                 inputs, then a diff of a generated pair
//   deflate_bench OLD NEW         the diff of two files alone, in each patch
//                                 format: time, patch size, the process's
//                                 peak memory and the apply time
//
// Every figure comes with the baseline measured in the same run. Build it
// without sanitizers (see CMakeLists.txt) for meaningful numbers.
#include <sys/resource.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "formats/binary_diff.h"
#include "formats/binary_patch.h"
#include "formats/deflate_decoder.h"
#include "formats/deflate_encoder.h"
#include "formats/sample_bytes.h"

namespace zavex {
namespace {

constexpr double kMiB = 1024.0 * 1024.0;

template <typename Work>
double SecondsOf(Work work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The fastest of three runs: the first one also pays for fresh memory.
template <typename Work>
double BestSecondsOf(Work work) {
  return std::min({SecondsOf(work), SecondsOf(work), SecondsOf(work)});
}

Bytes ZlibDeflate(const Bytes& input) {
  z_stream stream{};
  deflateInit2(&stream, 6, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
  Bytes output(deflateBound(&stream, input.size()) + 16);
  stream.next_in = const_cast<Bytef*>(input.data());
  stream.avail_in = static_cast<uInt>(input.size());
  stream.next_out = output.data();
  stream.avail_out = static_cast<uInt>(output.size());
  deflate(&stream, Z_FINISH);
  output.resize(stream.total_out);
  deflateEnd(&stream);
  return output;
}

// Inflates through a 64 KiB buffer, as our decoder hands out its output.
std::size_t ZlibInflate(const Bytes& stream) {
  z_stream inflater{};
  inflateInit2(&inflater, -15);
  std::vector<std::uint8_t> buffer(65536);
  inflater.next_in = const_cast<Bytef*>(stream.data());
  inflater.avail_in = static_cast<uInt>(stream.size());
  int result = Z_OK;
  while (result == Z_OK) {
    inflater.next_out = buffer.data();
    inflater.avail_out = static_cast<uInt>(buffer.size());
    result = inflate(&inflater, Z_NO_FLUSH);
  }
  const std::size_t total = inflater.total_out;
  inflateEnd(&inflater);
  return total;
}

std::size_t OurInflate(const Bytes& stream, std::size_t expected) {
  std::size_t total = 0;
  DeflateDecoder decoder(expected, [&total](const std::uint8_t*, std::size_t size) {
    total += size;
    return true;
  });
  decoder.Write(stream.data(), stream.size());
  return decoder.Finish() ? total : 0;
}

void CompareWithZlib(const char* name, const Bytes& input) {
  Bytes ours;
  Bytes zlibs;
  const double ourEncode = BestSecondsOf([&] { ours = DeflateBuffer(input.data(), input.size()); });
  const double zlibEncode = BestSecondsOf([&] { zlibs = ZlibDeflate(input); });
  std::size_t ourDecoded = 0;
  std::size_t zlibDecoded = 0;
  const double ourDecode = BestSecondsOf([&] { ourDecoded = OurInflate(zlibs, input.size()); });
  const double zlibDecode = BestSecondsOf([&] { zlibDecoded = ZlibInflate(zlibs); });
  const double megabytes = input.size() / kMiB;
  std::printf("%-14s %7.1f MiB  size %6.2f%% (zlib %6.2f%%)  encode %6.1f MiB/s (zlib %6.1f, x%.2f)"
              "  decode %6.1f MiB/s (zlib %6.1f, x%.2f)%s\n",
              name, megabytes, 100.0 * ours.size() / input.size(), 100.0 * zlibs.size() / input.size(),
              megabytes / ourEncode, megabytes / zlibEncode, zlibEncode / ourEncode, megabytes / ourDecode,
              megabytes / zlibDecode, zlibDecode / ourDecode,
              ourDecoded == input.size() && zlibDecoded == input.size() ? "" : "  DECODE FAILED");
}

long PeakMemoryKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// The diff of each patch format, the seeking (version 1) one first.
void MeasureDiff(const char* name, const Bytes& old, const Bytes& newer) {
  for (const PatchFormat format : {PatchFormat::kSeeking, PatchFormat::kForward}) {
    const long memoryBefore = PeakMemoryKiB();
    Bytes patch;
    const double diffSeconds =
        SecondsOf([&] { patch = CreatePatch(old.data(), old.size(), newer.data(), newer.size(), format); });
    const long diffMemory = PeakMemoryKiB() - memoryBefore;
    Bytes compressed;
    const double deflateSeconds = SecondsOf([&] { compressed = DeflateBuffer(newer.data(), newer.size()); });
    MemoryReader patchReader(patch);
    MemoryReader oldReader(old);
    std::size_t written = 0;
    bool applied = false;
    const double applySeconds = SecondsOf([&] {
      written = 0;
      applied = ApplyPatch(patchReader, oldReader, newer.size(), [&written](const std::uint8_t*, std::size_t size) {
        written += size;
        return true;
      });
    });
    std::printf("%-14s %-7s old %.1f MiB, new %.1f MiB: patch %lu bytes, %.2f%% of new (compressed copy %.2f%%);"
                " diff %.1f s (compressing the new file %.1f s), %.2f bytes of extra memory per input byte;"
                " apply %.3f s (%.0f MiB/s)%s\n",
                name, format == PatchFormat::kForward ? "forward" : "seeking", old.size() / kMiB,
                newer.size() / kMiB, static_cast<unsigned long>(patch.size()), 100.0 * patch.size() / newer.size(),
                100.0 * compressed.size() / newer.size(), diffSeconds, deflateSeconds,
                diffMemory * 1024.0 / (old.size() + newer.size()), applySeconds,
                newer.size() / kMiB / applySeconds, applied && written == newer.size() ? "" : "  APPLY FAILED");
  }
}

Bytes ReadWholeFile(const char* path) {
  std::ifstream file(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace
}  // namespace zavex

int main(int argc, char** argv) {
  using namespace zavex;
  if (argc == 3) {
    const Bytes old = ReadWholeFile(argv[1]);
    const Bytes newer = ReadWholeFile(argv[2]);
    MeasureDiff("files", old, newer);
    return 0;
  }
  {
    // First, while the peak memory is still the diff's own.
    const Bytes old = RandomBytes(64 << 20, 3);
    MeasureDiff("edited random", old, EditedBytes(old, 100, 4));
  }
  CompareWithZlib("words", WordBytes(32 << 20, 1));
  CompareWithZlib("random", RandomBytes(16 << 20, 2));
  CompareWithZlib("zeros", Bytes(64 << 20, 0));
  return 0;
}
