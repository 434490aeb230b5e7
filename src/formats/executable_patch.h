#pragma once

// Patches between PE files through the executable transform: a forward patch
// (binary_patch.h) with PatchTransform::kExecutable, whose streams turn the
// old file's form into the new file's form (executable_transform.h) and whose
// side data turns that form back into the new file.
//
// The client holds the old file's form (made in place of the old file) and
// the new form in memory: twice kMaxTransformedFileBytes at most, plus the
// side data and the transform's lists of references. Hence the caps, which
// the publisher keeps and the client checks before it allocates anything.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "formats/binary_diff.h"
#include "formats/binary_patch.h"

namespace zavex {

// The largest old or new file of a transformed patch.
inline constexpr std::uint64_t kMaxTransformedFileBytes = 8u << 20;
// The largest side data, compressed or decoded.
inline constexpr std::uint64_t kMaxSideDataBytes = 1u << 20;

// A transformed patch from oldData to newData. False when either file is
// above kMaxTransformedFileBytes, the side data would be above
// kMaxSideDataBytes, or the files are not both PE images the transform reads.
bool CreateExecutablePatch(const std::uint8_t* oldData, std::size_t oldSize, const std::uint8_t* newData,
                           std::size_t newSize, std::vector<std::uint8_t>& patch,
                           const DiffProgress& progress = {});

// ApplyPatch for a patch without a transform; for a transformed one the same
// checks and, before it reads the old file, false when the old or new size
// is above kMaxTransformedFileBytes or the side data above
// kMaxSideDataBytes; false also when the transform refuses the old file or
// cannot restore the new one. Writes newFile only once the whole new file is
// restored.
bool ApplyAnyPatch(ByteReader& patch, ByteReader& oldFile, std::uint64_t newSize, const ByteSink& newFile);

}  // namespace zavex
