// libFuzzer target: the PE parser and the executable transform. Input: two
// bytes of a cut (little-endian), then an old file. The new file is the old
// one with an E8 opcode inserted at the cut and the 63 bytes after it moved
// on by one, the last dropped, so code moves while the headers stay. Any
// input must parse or be refused; when both files parse, the transform must
// work and the client's steps must give the publisher's old form and the
// new file exactly. Side data or a new form with one byte changed (chosen by
// the cut) must be refused or restore something, never crash.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "formats/executable_transform.h"
#include "formats/pe_image.h"

namespace {

constexpr std::size_t kCutField = 2;
constexpr std::size_t kMovedBytes = 64;

std::vector<std::uint8_t> WithInsertedCall(const std::vector<std::uint8_t>& old, std::size_t cut) {
  std::vector<std::uint8_t> newer = old;
  if (cut >= old.size()) return newer;
  const std::size_t end = std::min(old.size(), cut + kMovedBytes);
  std::copy(old.begin() + static_cast<std::ptrdiff_t>(cut), old.begin() + static_cast<std::ptrdiff_t>(end - 1),
            newer.begin() + static_cast<std::ptrdiff_t>(cut + 1));
  newer[cut] = 0xE8;
  return newer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kCutField) return 0;
  const std::size_t cut = data[0] | data[1] << 8;
  const std::vector<std::uint8_t> old(data + kCutField, data + size);
  const std::vector<std::uint8_t> newer = WithInsertedCall(old, cut);
  zavex::PeImage oldImage;
  zavex::PeImage newImage;
  const bool parsed = oldImage.Parse(old.data(), old.size()) && newImage.Parse(newer.data(), newer.size());
  zavex::ExecutableForms forms;
  const bool transformed = zavex::TransformExecutables(old.data(), old.size(), newer.data(), newer.size(), forms);
  if (parsed != transformed) std::abort();
  if (!transformed) return 0;
  std::vector<std::uint8_t> oldForm = old;
  std::vector<std::uint32_t> oldLabels;
  if (!zavex::TransformOldExecutable(oldForm, oldLabels) || oldForm != forms.oldForm) std::abort();
  std::vector<std::uint8_t> image = forms.newForm;
  if (!zavex::RestoreExecutable(oldLabels, forms.sideData.data(), forms.sideData.size(), image) || image != newer) {
    std::abort();
  }
  image = forms.newForm;
  std::vector<std::uint8_t> side = forms.sideData;
  side[cut % side.size()] ^= data[0] | 1;
  zavex::RestoreExecutable(oldLabels, side.data(), side.size(), image);
  image = forms.newForm;
  image[cut % image.size()] ^= data[0] | 1;
  zavex::RestoreExecutable(oldLabels, forms.sideData.data(), forms.sideData.size(), image);
  return 0;
}
