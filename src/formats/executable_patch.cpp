#include "formats/executable_patch.h"

#include <algorithm>
#include <cstring>

#include "formats/deflate_decoder.h"
#include "formats/deflate_encoder.h"
#include "formats/executable_transform.h"

namespace zavex {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kWritePiece = 256 * 1024;

// A transformed patch seen as the patch of the forms alone: its header
// without the transform, then its streams.
class FormPatchReader : public ByteReader {
 public:
  FormPatchReader(ByteReader& patch, const PatchHeader& transformed) : patch_(patch) {
    PatchHeader plain = transformed;
    plain.transform = PatchTransform::kNone;
    plain.sideCompressed = plain.sideDecoded = 0;
    WritePatchHeader(plain, header_);
    streamsAt_ = PatchHeaderSize(transformed) + transformed.sideCompressed;
  }

  std::uint64_t Size() const override { return kForwardPatchHeaderSize + (patch_.Size() - streamsAt_); }

  bool ReadAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) override {
    if (offset > Size() || size > Size() - offset) return false;
    if (offset < kForwardPatchHeaderSize) {
      const std::size_t count = std::min<std::size_t>(size, kForwardPatchHeaderSize - offset);
      std::memcpy(buffer, header_ + offset, count);
      buffer += count;
      offset += count;
      size -= count;
    }
    return size == 0 || patch_.ReadAt(offset - kForwardPatchHeaderSize + streamsAt_, buffer, size);
  }

 private:
  ByteReader& patch_;
  std::uint8_t header_[kForwardPatchHeaderSize];
  std::uint64_t streamsAt_;
};

bool ReadWhole(ByteReader& file, Bytes& bytes) {
  bytes.resize(static_cast<std::size_t>(file.Size()));
  return file.ReadAt(0, bytes.data(), bytes.size());
}

bool ReadSideData(ByteReader& patch, const PatchHeader& header, Bytes& side) {
  Bytes compressed(static_cast<std::size_t>(header.sideCompressed));
  return patch.ReadAt(PatchHeaderSize(header), compressed.data(), compressed.size()) &&
         InflateBuffer(compressed.data(), compressed.size(), header.sideDecoded, side);
}

// The new file's form, from the old file's form and the patch's streams, and
// the old file's labels.
bool ApplyToOldForm(ByteReader& patch, const PatchHeader& header, ByteReader& oldFile, Bytes& image,
                    std::vector<std::uint32_t>& oldLabels) {
  Bytes oldForm;
  if (!ReadWhole(oldFile, oldForm) || !TransformOldExecutable(oldForm, oldLabels)) return false;
  FormPatchReader formPatch(patch, header);
  MemoryReader oldFormReader(oldForm);
  image.reserve(static_cast<std::size_t>(header.newSize));
  return ApplyPatch(formPatch, oldFormReader, header.newSize, [&image](const std::uint8_t* bytes, std::size_t size) {
    image.insert(image.end(), bytes, bytes + size);
    return true;
  });
}

bool ApplyTransformedPatch(ByteReader& patch, const PatchHeader& header, ByteReader& oldFile, std::uint64_t newSize,
                           const ByteSink& newFile) {
  if (!PatchHeaderFits(header, oldFile.Size(), newSize) || header.oldSize > kMaxTransformedFileBytes ||
      header.newSize > kMaxTransformedFileBytes || header.sideCompressed > kMaxSideDataBytes ||
      header.sideDecoded > kMaxSideDataBytes) {
    return false;
  }
  Bytes side;
  Bytes image;
  std::vector<std::uint32_t> oldLabels;
  if (!ReadSideData(patch, header, side) || !ApplyToOldForm(patch, header, oldFile, image, oldLabels) ||
      !RestoreExecutable(oldLabels, side.data(), side.size(), image)) {
    return false;
  }
  for (std::size_t offset = 0; offset < image.size(); offset += kWritePiece) {
    if (!newFile(image.data() + offset, std::min(kWritePiece, image.size() - offset))) return false;
  }
  return true;
}

}  // namespace

bool CreateExecutablePatch(const std::uint8_t* oldData, std::size_t oldSize, const std::uint8_t* newData,
                           std::size_t newSize, Bytes& patch, const DiffProgress& progress) {
  ExecutableForms forms;
  if (oldSize > kMaxTransformedFileBytes || newSize > kMaxTransformedFileBytes ||
      !TransformExecutables(oldData, oldSize, newData, newSize, forms)) {
    return false;
  }
  const Bytes side = DeflateBuffer(forms.sideData.data(), forms.sideData.size());
  if (forms.sideData.size() > kMaxSideDataBytes || side.size() > kMaxSideDataBytes) return false;
  const Bytes streams = CreatePatch(forms.oldForm.data(), forms.oldForm.size(), forms.newForm.data(),
                                    forms.newForm.size(), PatchFormat::kForward, progress);
  PatchHeader header;
  if (!ReadPatchHeader(streams.data(), streams.size(), header)) return false;
  header.transform = PatchTransform::kExecutable;
  header.sideCompressed = side.size();
  header.sideDecoded = forms.sideData.size();
  patch.assign(kTransformedPatchHeaderSize, 0);
  WritePatchHeader(header, patch.data());
  patch.insert(patch.end(), side.begin(), side.end());
  patch.insert(patch.end(), streams.begin() + kForwardPatchHeaderSize, streams.end());
  return true;
}

bool ApplyAnyPatch(ByteReader& patch, ByteReader& oldFile, std::uint64_t newSize, const ByteSink& newFile) {
  PatchHeader header;
  if (!ReadPatchHeaderOf(patch, header)) return false;
  if (header.transform == PatchTransform::kNone) return ApplyPatch(patch, oldFile, newSize, newFile);
  return ApplyTransformedPatch(patch, header, oldFile, newSize, newFile);
}

}  // namespace zavex
