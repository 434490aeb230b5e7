// The executable transform against today's patches, on pairs of PE files.
//
//   pe_transform_bench OLD NEW [OLD NEW ...]
//
// Per pair, one row: the new file's bytes; the version 1 patch, the forward
// patch and the transformed one ("-" when the transform does not take the
// pair); the forward patch the publisher keeps (the smaller of the last two)
// and its share of version 1 in %; the seconds to apply it natively, which
// must give the new bytes exactly. Last, the median share. Build it without
// sanitizers (see CMakeLists.txt) for meaningful times.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "formats/binary_diff.h"
#include "formats/binary_patch.h"
#include "formats/executable_patch.h"
#include "formats/sample_bytes.h"

namespace zavex {
namespace {

template <typename Work>
double SecondsOf(Work work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

Bytes ReadFileBytes(const char* path) {
  std::ifstream file(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The kept patch's share of version 1, or 0 when it does not rebuild the new file.
double MeasurePair(const char* oldPath, const char* newPath) {
  const Bytes old = ReadFileBytes(oldPath);
  const Bytes newer = ReadFileBytes(newPath);
  const Bytes seeking = CreatePatch(old.data(), old.size(), newer.data(), newer.size(), PatchFormat::kSeeking);
  const Bytes forward = CreatePatch(old.data(), old.size(), newer.data(), newer.size(), PatchFormat::kForward);
  Bytes transformed;
  const bool transforms = CreateExecutablePatch(old.data(), old.size(), newer.data(), newer.size(), transformed);
  const Bytes& kept = transforms && transformed.size() < forward.size() ? transformed : forward;
  Bytes rebuilt;
  bool applied = false;
  const double applySeconds = SecondsOf([&] {
    MemoryReader patchReader(kept);
    MemoryReader oldReader(old);
    applied = ApplyAnyPatch(patchReader, oldReader, newer.size(), [&rebuilt](const std::uint8_t* bytes, std::size_t size) {
      rebuilt.insert(rebuilt.end(), bytes, bytes + size);
      return true;
    });
  });
  const double share = static_cast<double>(kept.size()) / seeking.size();
  std::printf("%10zu %10zu %10zu %10s %10zu %8.1f %8.3f%s\n", newer.size(), seeking.size(), forward.size(),
              transforms ? std::to_string(transformed.size()).c_str() : "-", kept.size(), 100.0 * share,
              applySeconds, applied && rebuilt == newer ? "" : "  REBUILD FAILED");
  return applied && rebuilt == newer ? share : 0;
}

}  // namespace
}  // namespace zavex

int main(int argc, char** argv) {
  if (argc < 3 || argc % 2 == 0) {
    std::fprintf(stderr, "usage: %s OLD NEW [OLD NEW ...]\n", argv[0]);
    return 2;
  }
  std::vector<double> shares;
  for (int index = 1; index + 1 < argc; index += 2) shares.push_back(zavex::MeasurePair(argv[index], argv[index + 1]));
  std::sort(shares.begin(), shares.end());
  const std::size_t middle = shares.size() / 2;
  const double median = shares.size() % 2 != 0 ? shares[middle] : (shares[middle - 1] + shares[middle]) / 2;
  std::printf("median: kept patch %.1f%% of version 1 over %zu pairs\n", 100.0 * median, shares.size());
  return std::count(shares.begin(), shares.end(), 0.0) == 0 ? 0 : 1;
}
