#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "formats/binary_patch.h"

namespace zavex {

// Receives how many bytes of the new file the diff has covered so far.
using DiffProgress = std::function<void(std::uint64_t newBytesDone)>;

// A patch (see binary_patch.h) of format that turns oldData into newData. Matches are
// found through a table of 16-byte seeds sampled every 8 bytes of the old
// file, then grown byte by byte allowing mismatches, as bsdiff grows its
// suffix-sorted matches; so memory beyond the two files is about one byte per
// old byte plus the compressed patch, and time grows linearly with the sizes.
// Files must stay below 4 GiB. A forward patch only takes matches within its
// window, also from the seeds of the old file up to kForwardLookaheadBytes
// past the window, indexed as it moves; a match further on leaps over old
// bytes that later matches can no longer use, so it must be longer.
inline constexpr std::int64_t kForwardLookaheadBytes = 4 << 20;
std::vector<std::uint8_t> CreatePatch(const std::uint8_t* oldData, std::size_t oldSize, const std::uint8_t* newData,
                                      std::size_t newSize, PatchFormat format, const DiffProgress& progress = {});

}  // namespace zavex
