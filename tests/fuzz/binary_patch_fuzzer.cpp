// libFuzzer target: the patch applier and the diff. Input: one byte of
// flags, eight bytes of expected new size, two bytes of old size, the old
// file, then the rest. Flag 1 takes the expected new size from the rest's
// header when it reads, flag 2 writes the old file's size into that header
// (both little-endian, as the fuzzing host is), so
// every header field, the sizes that must fit it and a decodable patch are
// all within reach; flag 4 makes the diff write a forward patch, whose
// version the rest's header may name as well; flag 8 also makes a
// transformed patch when old and rest are PE files. The rest as a patch, of
// any transform, must apply or be refused, never
// writing more than the expected size, nothing at all when its header does
// not fit, and exactly that size when it applies. As a new file, the patches
// made of it must rebuild it exactly.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "formats/binary_diff.h"
#include "formats/binary_patch.h"
#include "formats/executable_patch.h"

namespace {

constexpr std::size_t kFlagsAndSizes = 11;
constexpr std::size_t kOldSizeField = 5;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kFlagsAndSizes) return 0;
  const std::uint8_t flags = data[0];
  const zavex::PatchFormat format = (flags & 4) ? zavex::PatchFormat::kForward : zavex::PatchFormat::kSeeking;
  std::uint64_t expectedNew = 0;
  std::memcpy(&expectedNew, data + 1, sizeof(expectedNew));
  const std::size_t oldSize = std::min<std::size_t>(data[9] | data[10] << 8, size - kFlagsAndSizes);
  const std::uint8_t* old = data + kFlagsAndSizes;
  const std::vector<std::uint8_t> rest(old + oldSize, data + size);
  std::vector<std::uint8_t> patch = rest;
  if ((flags & 2) && patch.size() >= zavex::kPatchHeaderSize) {
    const std::uint64_t oldSizeField = oldSize;
    std::memcpy(patch.data() + kOldSizeField, &oldSizeField, sizeof(oldSizeField));
  }
  zavex::PatchHeader header;
  const bool readable = patch.size() >= zavex::kPatchHeaderSize &&
                        zavex::ReadPatchHeader(patch.data(), patch.size(), header);
  if ((flags & 1) && readable) expectedNew = header.newSize;

  zavex::MemoryReader oldReader(old, oldSize);
  zavex::MemoryReader patchReader(patch);
  std::uint64_t written = 0;
  const bool applied =
      zavex::ApplyAnyPatch(patchReader, oldReader, expectedNew, [&](const std::uint8_t*, std::size_t count) {
        written += count;
        if (written > expectedNew) __builtin_trap();
        return true;
      });
  const bool fits = readable && zavex::PatchHeaderFits(header, oldSize, expectedNew);
  if ((applied && (!fits || written != expectedNew)) || (!fits && written != 0)) __builtin_trap();

  std::vector<std::vector<std::uint8_t>> made = {zavex::CreatePatch(old, oldSize, rest.data(), rest.size(), format)};
  std::vector<std::uint8_t> transformed;
  if ((flags & 8) && zavex::CreateExecutablePatch(old, oldSize, rest.data(), rest.size(), transformed)) {
    made.push_back(std::move(transformed));
  }
  for (const std::vector<std::uint8_t>& madePatch : made) {
    zavex::MemoryReader madeReader(madePatch);
    std::vector<std::uint8_t> rebuilt;
    const bool rebuiltOk = zavex::ApplyAnyPatch(
        madeReader, oldReader, rest.size(), [&rebuilt](const std::uint8_t* bytes, std::size_t count) {
          rebuilt.insert(rebuilt.end(), bytes, bytes + count);
          return true;
        });
    if (!rebuiltOk || rebuilt != rest) __builtin_trap();
  }
  return 0;
}
