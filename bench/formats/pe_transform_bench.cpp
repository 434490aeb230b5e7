// The executable transform against today's patches, on pairs of PE files.
//
//   pe_transform_bench OLD NEW [OLD NEW ...]
//
// Per pair, one row: the new file's bytes; the version 1 patch, the forward
// patch and the transformed one ("-" when the transform does not take the
// pair); the forward patch the publisher keeps (the smaller of the last two)
// and its share of version 1 in %; the seconds to apply it natively, which
// must give the new bytes exactly, and the most heap the apply held at once in
// MiB (what it adds to the updater's own working set). Last, the median
// share. Build it without sanitizers (see CMakeLists.txt) for meaningful times.
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "formats/binary_diff.h"
#include "formats/binary_patch.h"
#include "formats/executable_patch.h"
#include "formats/sample_bytes.h"

namespace {

// Heap bytes held now and the most since the last ResetHeapPeak.
std::atomic<std::size_t> heapHeld{0};
std::atomic<std::size_t> heapPeak{0};

void ResetHeapPeak() { heapPeak = heapHeld.load(); }

}  // namespace

void* operator new(std::size_t size) {
  void* block = std::malloc(size ? size : 1);
  if (!block) throw std::bad_alloc();
  const std::size_t held = heapHeld += malloc_usable_size(block);
  for (std::size_t peak = heapPeak; held > peak && !heapPeak.compare_exchange_weak(peak, held);) {
  }
  return block;
}

void operator delete(void* block) noexcept {
  if (!block) return;
  heapHeld -= malloc_usable_size(block);
  std::free(block);
}

void operator delete(void* block, std::size_t) noexcept { operator delete(block); }

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
  // Compared as it is written, as the updater writes it to a file.
  std::size_t rebuilt = 0;
  const auto matches = [&](const std::uint8_t* bytes, std::size_t size) {
    if (size > newer.size() - rebuilt || std::memcmp(bytes, newer.data() + rebuilt, size) != 0) return false;
    rebuilt += size;
    return true;
  };
  bool applied = false;
  const std::size_t heapBefore = heapHeld;
  ResetHeapPeak();
  const double applySeconds = SecondsOf([&] {
    MemoryReader patchReader(kept);
    MemoryReader oldReader(old);
    applied = ApplyAnyPatch(patchReader, oldReader, newer.size(), matches);
  });
  const double applyMiB = static_cast<double>(heapPeak - heapBefore) / (1 << 20);
  const bool rebuilds = applied && rebuilt == newer.size();
  const double share = static_cast<double>(kept.size()) / seeking.size();
  std::printf("%10zu %10zu %10zu %10s %10zu %8.1f %8.3f %8.1f%s\n", newer.size(), seeking.size(), forward.size(),
              transforms ? std::to_string(transformed.size()).c_str() : "-", kept.size(), 100.0 * share,
              applySeconds, applyMiB, rebuilds ? "" : "  REBUILD FAILED");
  return rebuilds ? share : 0;
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
