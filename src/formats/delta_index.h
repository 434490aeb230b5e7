#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace zavex {

class JsonValue;

// The release folder's folder of compressed copies and patches, and the
// index of what it holds, with the size and SHA-256 ("sha256") of each:
//   {"compressed": [{"hash": H, "size": N, "sha256": S}, ...],
//    "patches": [{"from": H1, "to": H2, "size": N, "sha256": S}, ...],
//    "forwardPatches": [the same for forward patches]}
// "patches" lists patches of version 1 (formats/binary_patch.h), the only
// ones that updaters older than forward patches read; they never look at
// "forwardPatches", which may be missing.
// The manifest names the index by its own SHA-256 (DeltaIndexName); older
// updaters read it as kOlderUpdatersIndexName, ignoring "sha256".
inline constexpr char kDeltaFolderName[] = "zavex_delta";
inline constexpr char kOlderUpdatersIndexName[] = "index.json";

// An index larger than this is refused before it is read: it is held in
// memory whole.
inline constexpr std::size_t kMaxDeltaIndexBytes = 8u << 20;

// The address of one of the folder's files below the release folder.
std::string DeltaFolderPath(const std::string& name);
// The index whose bytes have this SHA-256.
std::string DeltaIndexName(const std::string& hash);
// A content's compressed copy (raw DEFLATE), named by its SHA-256.
std::string CompressedCopyName(const std::string& hash);
// The patch (formats/binary_patch.h) from one content to another: version 1,
// and the forward patch.
std::string PatchName(const std::string& fromHash, const std::string& toHash);
std::string ForwardPatchName(const std::string& fromHash, const std::string& toHash);

// The index as the manifest names it: the SHA-256 and size of its bytes.
// An empty hash names none.
struct DeltaIndexRef {
  std::string hash;
  std::uint64_t size = 0;
};

// Reads the manifest's "deltaIndex" member. False unless it is an object
// whose "hash" is 64 lowercase hexadecimal digits and whose "size" is a
// whole number from 1 to kMaxDeltaIndexBytes; other members are ignored.
bool ReadDeltaIndexRef(const JsonValue& member, DeltaIndexRef& ref);

// A compressed copy or patch as the index lists it: the size and SHA-256 of
// its own bytes.
struct DeltaArtifact {
  std::uint64_t size = 0;
  std::string hash;
};

// What the index lists.
struct DeltaIndex {
  std::map<std::string, DeltaArtifact> compressed;  // by the content's hash
  std::map<std::string, DeltaArtifact> patches;     // by PatchName
  std::map<std::string, DeltaArtifact> forwardPatches;  // by ForwardPatchName

  // Null when the index lists none.
  const DeltaArtifact* FindCompressed(const std::string& hash) const;
  const DeltaArtifact* FindPatch(const std::string& fromHash, const std::string& toHash) const;
  const DeltaArtifact* FindForwardPatch(const std::string& fromHash, const std::string& toHash) const;
};

// Reads an index. False, leaving index empty, for text of more than
// kMaxDeltaIndexBytes, that is not one JSON object (space around it
// allowed), lacks "compressed" or "patches", has a "forwardPatches" that is
// not a list, or has an entry whose hashes ("hash", "from",
// "to", "sha256") are not 64 lowercase hexadecimal digits, whose size is not a whole number from 1 to
// 2^32 - 1, or that repeats an earlier one. Other members are ignored.
bool ParseDeltaIndex(const std::string& text, DeltaIndex& index) noexcept;

}  // namespace zavex
