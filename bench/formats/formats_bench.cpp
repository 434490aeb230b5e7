// Cost per manifest entry of reading, writing and comparing manifests.
//
// Every round handles kEntriesPerRound entries: one manifest of 100,000
// entries, ten of 10,000 or a hundred of 1,000, each in its own memory. The
// working set is then the same for every size, so the figures show how the
// cost grows with the length of one manifest rather than whether the data
// happens to fit in the processor's caches.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <string>
#include <vector>

#include "formats/manifest.h"

namespace zavex {
namespace {

constexpr int kEntriesPerRound = 100000;

std::string HashText(int seed) {
  static constexpr char kHexDigits[] = "0123456789abcdef";
  std::string text(64, '0');
  for (int index = 0; index < 64; ++index) text[index] = kHexDigits[(seed * 31 + index * 7) & 15];
  return text;
}

// entries files under nested folders, each with its own hash.
Manifest MakeManifest(int entries) {
  Manifest manifest;
  manifest.version = "2.4.1";
  manifest.versionCode = 241;
  manifest.releaseDate = "2024-05-01";
  manifest.releaseNotes = "Corre\xC3\xA7\xC3\xB5" "es de estabilidade";
  manifest.minVersion = "2.0.0";
  manifest.files.reserve(entries);
  for (int index = 0; index < entries; ++index) {
    char path[64];
    std::snprintf(path, sizeof(path), "bin\\modules\\%03d\\module_%06d.dll", index % 997, index);
    manifest.files.push_back(ManifestFile{path, HashText(index), 4096u + index, index % 3 != 0});
  }
  return manifest;
}

// The installed manifest: the same files in reverse order, every fourth with
// another hash, every tenth gone and as many other files instead.
Manifest MakeInstalledManifest(const Manifest& newer) {
  Manifest installed = newer;
  installed.files.assign(newer.files.rbegin(), newer.files.rend());
  for (std::size_t index = 0; index < installed.files.size(); ++index) {
    ManifestFile& file = installed.files[index];
    if (index % 4 == 0) file.hash = HashText(static_cast<int>(index) + 1000003);
    if (index % 10 == 0) file.path += ".old";
  }
  return installed;
}

int ManifestsPerRound(const benchmark::State& state) {
  return kEntriesPerRound / static_cast<int>(state.range(0));
}

std::vector<Manifest> MakeManifests(const benchmark::State& state) {
  std::vector<Manifest> manifests;
  for (int copy = 0; copy < ManifestsPerRound(state); ++copy) {
    manifests.push_back(MakeManifest(static_cast<int>(state.range(0))));
  }
  return manifests;
}

std::vector<Manifest> MakeInstalledManifests(const std::vector<Manifest>& newer) {
  std::vector<Manifest> installed;
  for (const Manifest& manifest : newer) installed.push_back(MakeInstalledManifest(manifest));
  return installed;
}

void SetPerEntryCounter(benchmark::State& state) {
  state.counters["per_entry"] = benchmark::Counter(
      kEntriesPerRound,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void ParseManifestBench(benchmark::State& state) {
  std::vector<std::string> texts;
  for (const Manifest& manifest : MakeManifests(state)) texts.push_back(SerializeManifest(manifest));
  for (auto _ : state) {
    for (const std::string& text : texts) benchmark::DoNotOptimize(ParseManifest(text));
  }
  SetPerEntryCounter(state);
}

void SerializeManifestBench(benchmark::State& state) {
  const std::vector<Manifest> manifests = MakeManifests(state);
  for (auto _ : state) {
    for (const Manifest& manifest : manifests) benchmark::DoNotOptimize(SerializeManifest(manifest));
  }
  SetPerEntryCounter(state);
}

// Runs compare(newer, installed) on every pair of a round.
template <typename Comparison>
void CompareBench(benchmark::State& state, Comparison compare) {
  const std::vector<Manifest> newer = MakeManifests(state);
  const std::vector<Manifest> installed = MakeInstalledManifests(newer);
  for (auto _ : state) {
    for (std::size_t pair = 0; pair < newer.size(); ++pair) {
      benchmark::DoNotOptimize(compare(newer[pair], installed[pair]));
    }
  }
  SetPerEntryCounter(state);
}

void GetFilesToUpdateBench(benchmark::State& state) { CompareBench(state, GetFilesToUpdate); }
void GetFilesToDeleteBench(benchmark::State& state) { CompareBench(state, GetFilesToDelete); }

#define ZAVEX_ENTRY_COUNTS Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)
BENCHMARK(ParseManifestBench)->ZAVEX_ENTRY_COUNTS;
BENCHMARK(SerializeManifestBench)->ZAVEX_ENTRY_COUNTS;
BENCHMARK(GetFilesToUpdateBench)->ZAVEX_ENTRY_COUNTS;
BENCHMARK(GetFilesToDeleteBench)->ZAVEX_ENTRY_COUNTS;

}  // namespace
}  // namespace zavex

int main(int argc, char** argv) {
  // By default glibc hands freed memory back to the kernel once a freed block
  // passes its trim threshold, which only the largest manifests reach; every
  // round of those then faults its memory in anew. Fixed thresholds give all
  // sizes the same steady state.
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
