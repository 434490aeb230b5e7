#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace zavex {

// The release folder's folder of compressed copies and patches, and the
// index of what it holds:
//   {"compressed": [{"hash": H, "size": N}, ...],
//    "patches": [{"from": H1, "to": H2, "size": N}, ...]}
inline constexpr char kDeltaFolderName[] = "zavex_delta";
inline constexpr char kDeltaIndexName[] = "index.json";

// An index larger than this is refused before it is read: it is unsigned
// input, held in memory whole.
inline constexpr std::size_t kMaxDeltaIndexBytes = 8u << 20;

// A content's compressed copy (raw DEFLATE), named by its SHA-256.
std::string CompressedCopyName(const std::string& hash);
// The patch (formats/binary_patch.h) from one content to another.
std::string PatchName(const std::string& fromHash, const std::string& toHash);

// What the index lists, with the sizes it gives; a size of 0 means none.
struct DeltaIndex {
  std::map<std::string, std::uint64_t> compressedSizes;  // by hash
  std::map<std::string, std::uint64_t> patchSizes;       // by PatchName

  std::uint64_t CompressedSize(const std::string& hash) const;
  std::uint64_t PatchSize(const std::string& fromHash, const std::string& toHash) const;
};

// Reads an index. False, leaving index empty, for text of more than
// kMaxDeltaIndexBytes, that is not one JSON object (space around it
// allowed), lacks either list, or has an entry whose hashes are not 64
// lowercase hexadecimal digits, whose size is not a whole number from 1 to
// 2^32 - 1, or that repeats an earlier one. Other members are ignored.
bool ParseDeltaIndex(const std::string& text, DeltaIndex& index) noexcept;

}  // namespace zavex
