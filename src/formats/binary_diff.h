#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace zavex {

// Receives how many bytes of the new file the diff has covered so far.
using DiffProgress = std::function<void(std::uint64_t newBytesDone)>;

// A patch (see binary_patch.h) that turns oldData into newData. Matches are
// found through a table of 16-byte seeds sampled every 8 bytes of the old
// file, then grown byte by byte allowing mismatches, as bsdiff grows its
// suffix-sorted matches; so memory beyond the two files is about one byte per
// old byte plus the compressed patch, and time grows linearly with the sizes.
// Files must stay below 4 GiB.
std::vector<std::uint8_t> CreatePatch(const std::uint8_t* oldData, std::size_t oldSize, const std::uint8_t* newData,
                                      std::size_t newSize, const DiffProgress& progress = {});

}  // namespace zavex
