// The executable transform against today's patch, on pairs of PE files.
//
//   pe_transform_bench OLD NEW [OLD NEW ...]
//
// Per pair: today's patch (the diff of the files), the transformed patch (the
// diff of the two forms plus the compressed side data) and their ratio; the
// publisher's time for each and the client's time to rebuild the new file
// (old form, applying, restoring), which must give the new bytes exactly.
// Last, the median ratio over the pairs. Build it without sanitizers (see
// CMakeLists.txt) for meaningful times.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "formats/binary_diff.h"
#include "formats/binary_patch.h"
#include "formats/deflate_encoder.h"
#include "formats/executable_transform.h"
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

// The client's steps: true when they rebuild newer exactly.
bool Rebuilds(const Bytes& old, const Bytes& newer, const Bytes& formPatch, const Bytes& side) {
  Bytes oldForm;
  if (!TransformOldExecutable(old.data(), old.size(), oldForm)) return false;
  Bytes image = AppliedPatch(formPatch, oldForm, newer.size());
  return image.size() == newer.size() && RestoreExecutable(old.data(), old.size(), side.data(), side.size(), image) &&
         image == newer;
}

// The transformed patch's share of today's, or 0 when the pair failed.
double MeasurePair(const char* oldPath, const char* newPath) {
  const Bytes old = ReadFileBytes(oldPath);
  const Bytes newer = ReadFileBytes(newPath);
  Bytes today;
  const double todaySeconds = SecondsOf(
      [&] { today = CreatePatch(old.data(), old.size(), newer.data(), newer.size(), PatchFormat::kSeeking); });
  ExecutableForms forms;
  Bytes formPatch;
  bool transformed = false;
  const double transformSeconds = SecondsOf([&] {
    transformed = TransformExecutables(old.data(), old.size(), newer.data(), newer.size(), forms);
    if (transformed) {
      formPatch = CreatePatch(forms.oldForm.data(), forms.oldForm.size(), forms.newForm.data(), forms.newForm.size(),
                              PatchFormat::kSeeking);
    }
  });
  if (!transformed) {
    std::printf("%s -> %s: not transformed\n", oldPath, newPath);
    return 0;
  }
  const Bytes side = DeflateBuffer(forms.sideData.data(), forms.sideData.size());
  bool exact = false;
  const double clientSeconds = SecondsOf([&] { exact = Rebuilds(old, newer, formPatch, forms.sideData); });
  const double share = static_cast<double>(formPatch.size() + side.size()) / today.size();
  std::printf("%s -> %s: new %zu bytes; today's patch %zu bytes (%.2f s); transformed %zu + side %zu = %zu bytes"
              " (%.2f s), %.1f%% of today's; client rebuild %.2f s%s\n",
              oldPath, newPath, newer.size(), today.size(), todaySeconds, formPatch.size(), side.size(),
              formPatch.size() + side.size(), transformSeconds, 100.0 * share, clientSeconds,
              exact ? "" : "  REBUILD FAILED");
  return exact ? share : 0;
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
  std::printf("median: transformed patch %.1f%% of today's over %zu pairs\n", 100.0 * median, shares.size());
  return std::count(shares.begin(), shares.end(), 0.0) == 0 ? 0 : 1;
}
