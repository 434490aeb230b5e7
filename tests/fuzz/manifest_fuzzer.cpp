// libFuzzer target: ParseManifest never throws, the comparisons agree with
// their entry-by-entry definition, and the stored form is a fixed point.
// An input holds the newer manifest, optionally a zero byte and the installed one.
#include <cstddef>
#include <cstdint>
#include <string>

#include "formats/comparison_by_definition.h"
#include "formats/manifest.h"

namespace {

using zavex::Manifest;

// Keeps the entry-by-entry definition cheap enough for many runs a second.
constexpr std::size_t kMaxFilesCompared = 512;

void CheckComparisons(const Manifest& newer, const Manifest& installed) {
  if (newer.files.size() > kMaxFilesCompared || installed.files.size() > kMaxFilesCompared) {
    return;
  }
  using namespace zavex::test;
  if (Describe(zavex::GetFilesToUpdate(newer, installed)) !=
      Describe(FilesToUpdateByDefinition(newer, installed))) {
    __builtin_trap();
  }
  if (zavex::GetFilesToDelete(newer, installed) != FilesToDeleteByDefinition(newer, installed)) {
    __builtin_trap();
  }
}

void CheckRoundTrip(const Manifest& manifest) {
  const std::string stored = zavex::SerializeManifest(manifest);
  const Manifest reread = zavex::ParseManifest(stored);
  if (zavex::SerializeManifest(reread) != stored) __builtin_trap();
  if (zavex::IsValid(reread) != zavex::IsValid(manifest)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\0');
  const Manifest newer = zavex::ParseManifest(input.substr(0, split));
  const Manifest installed =
      split == std::string::npos ? newer : zavex::ParseManifest(input.substr(split + 1));
  CheckComparisons(newer, installed);
  CheckComparisons(installed, newer);
  CheckRoundTrip(newer);
  CheckRoundTrip(installed);
  return 0;
}
