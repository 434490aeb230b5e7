#pragma once

#include <cstdint>
#include <string>

#include "ops/arriving_file.h"
#include "platform/sha256_hasher.h"
#include "platform/transfer_cancel.h"

namespace zavex {

// Where a file decoded from a patch or a compressed copy goes: created or
// truncated, every byte added to hasher (begun by the caller) as it is
// written, and never more than size bytes. The decoding looks at cancel at
// least once per kCancelCheckBytes that it reads and that it writes, and
// ends with the reason "cancelled" once it is set.
struct DecodedFile {
  const std::wstring& path;
  uint64_t size;
  Sha256Hasher& hasher;
  const TransferCancel& cancel;
};

inline constexpr uint64_t kCancelCheckBytes = 256 * 1024;

// Writes output from the patch file applied to the old file, both read by
// offset, so memory stays bounded whatever their sizes; a transformed patch
// holds the old and the new file's forms in memory, within
// kMaxTransformedFileBytes (formats/executable_patch.h). False, with the
// reason for the log, when a file cannot be read or written, the patch is
// malformed or not made for the old file, or its output is not output.size
// bytes long.
bool ApplyPatchFile(const std::wstring& patchPath, const std::wstring& oldPath,
                    const DecodedFile& output, std::string& reason);

// A patch that a download is writing into path, of size bytes once whole.
struct ArrivingPatch {
  const std::wstring& path;
  uint64_t size;
  ArrivingFile& arriving;
};

// As ApplyPatchFile, reading each byte of the patch once the download has
// written it: the patch is applied as it arrives. False also when the
// download ends short of the bytes it needs or writes the file again.
bool ApplyArrivingPatch(const ArrivingPatch& patch, const std::wstring& oldPath, const DecodedFile& output,
                        std::string& reason);

// Writes output by inflating the compressed copy (raw DEFLATE) as it is
// read. False, with the reason, as for ApplyPatchFile.
bool InflateCopyFile(const std::wstring& copyPath, const DecodedFile& output, std::string& reason);

}  // namespace zavex
