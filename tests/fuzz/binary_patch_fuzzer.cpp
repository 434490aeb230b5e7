// libFuzzer target: the patch applier and the diff. Input: two bytes of old
// size, the old file, then the rest. The rest as a patch must apply or be
// refused without writing more than it announced; as a new file, the patch
// the diff makes must rebuild it exactly.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "formats/binary_diff.h"
#include "formats/binary_patch.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t oldSize = std::min<std::size_t>(data[0] | data[1] << 8, size - 2);
  const std::uint8_t* old = data + 2;
  const std::uint8_t* rest = old + oldSize;
  const std::size_t restSize = size - 2 - oldSize;

  zavex::MemoryReader oldReader(old, oldSize);
  zavex::MemoryReader patchReader(rest, restSize);
  std::uint64_t written = 0;
  const bool applied = zavex::ApplyPatch(patchReader, oldReader, [&written](const std::uint8_t*, std::size_t count) {
    written += count;
    return true;
  });
  if (applied && restSize >= zavex::kPatchHeaderSize) {
    std::uint64_t announced = 0;
    for (int index = 7; index >= 0; --index) announced = announced << 8 | rest[13 + index];
    if (written != announced) __builtin_trap();
  }

  const std::vector<std::uint8_t> patch = zavex::CreatePatch(old, oldSize, rest, restSize);
  zavex::MemoryReader madeReader(patch);
  std::vector<std::uint8_t> rebuilt;
  const bool rebuiltOk = zavex::ApplyPatch(madeReader, oldReader, [&rebuilt](const std::uint8_t* bytes, std::size_t count) {
    rebuilt.insert(rebuilt.end(), bytes, bytes + count);
    return true;
  });
  if (!rebuiltOk || rebuilt != std::vector<std::uint8_t>(rest, rest + restSize)) __builtin_trap();
  return 0;
}
