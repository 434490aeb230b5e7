#include "ops/delta_files.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "formats/binary_patch.h"
#include "formats/deflate_decoder.h"
#include "platform/unique_handle.h"

namespace zavex {
namespace {

constexpr size_t kReadCacheBytes = 64 * 1024;
// Decoders hand over a few bytes at a time (about a hundred on average for a
// patch of a large library); one WriteFile each would cost far more than the
// decoding.
constexpr size_t kWriteBufferBytes = 256 * 1024;

// A file read by offset through a cache of one piece: the patch applier
// asks for small ranges, mostly in order.
class FileReader : public ByteReader {
 public:
  explicit FileReader(const std::wstring& path)
      : file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr)),
        cache(kReadCacheBytes) {
    LARGE_INTEGER length = {};
    opened = file && GetFileSizeEx(file.get(), &length);
    if (opened) size = static_cast<uint64_t>(length.QuadPart);
  }

  bool IsOpen() const { return opened; }
  uint64_t Size() const override { return size; }

  bool ReadAt(uint64_t offset, uint8_t* buffer, size_t count) override {
    if (offset > size || count > size - offset) return false;
    while (count > 0) {
      if ((offset < cacheStart || offset >= cacheStart + cacheFill) && !Fill(offset)) return false;
      const size_t piece = static_cast<size_t>(std::min<uint64_t>(count, cacheStart + cacheFill - offset));
      std::memcpy(buffer, cache.data() + (offset - cacheStart), piece);
      buffer += piece;
      offset += piece;
      count -= piece;
    }
    return true;
  }

 private:
  bool Fill(uint64_t offset) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD wanted = static_cast<DWORD>(std::min<uint64_t>(cache.size(), size - offset));
    DWORD read = 0;
    if (!ReadFile(file.get(), cache.data(), wanted, &read, &at) || read == 0) return false;
    cacheStart = offset;
    cacheFill = read;
    return true;
  }

  UniqueFile file;
  bool opened = false;
  uint64_t size = 0;
  std::vector<uint8_t> cache;
  uint64_t cacheStart = 0;
  size_t cacheFill = 0;
};

// The sink of a decoder: writes the file through a buffer, hashing each
// byte as it is written, and refuses what would pass the file's size.
class DecodedFileWriter {
 public:
  explicit DecodedFileWriter(const DecodedFile& target)
      : output(target),
        file(CreateFileW(target.path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr)) {
    pending.reserve(kWriteBufferBytes);
  }

  bool IsOpen() const { return static_cast<bool>(file); }

  ByteSink Sink() {
    return [this](const uint8_t* data, size_t count) { return Write(data, count); };
  }

  // True when the decoder ended well and wrote the whole file; otherwise
  // sets reason, decoderFailure when the fault was the decoder's.
  bool Completed(bool decoded, const char* decoderFailure, std::string& reason) {
    if (decoded && written == output.size && Flush()) return true;
    if (overrun) {
      reason = "it decodes to more than " + std::to_string(output.size) + " bytes";
    } else if (writeFailed) {
      reason = "cannot write the file";
    } else if (decoded) {
      reason = "it decodes to " + std::to_string(written) + " bytes, not " + std::to_string(output.size);
    } else {
      reason = decoderFailure;
    }
    return false;
  }

 private:
  bool Write(const uint8_t* data, size_t count) {
    if (count > output.size - written) {
      overrun = true;
      return false;
    }
    pending.insert(pending.end(), data, data + count);
    written += count;
    return pending.size() < kWriteBufferBytes || Flush();
  }

  bool Flush() {
    DWORD done = 0;
    if (!pending.empty() &&
        (!WriteFile(file.get(), pending.data(), static_cast<DWORD>(pending.size()), &done, nullptr) ||
         done != pending.size())) {
      writeFailed = true;
      return false;
    }
    output.hasher.Add(std::string_view(reinterpret_cast<const char*>(pending.data()), pending.size()));
    pending.clear();
    return true;
  }

  const DecodedFile& output;
  UniqueFile file;
  std::vector<uint8_t> pending;
  uint64_t written = 0;  // accepted, pending included
  bool overrun = false;
  bool writeFailed = false;
};

// Streams the compressed copy through a decoder into writer.
bool Inflate(FileReader& copy, uint64_t size, DecodedFileWriter& writer) {
  DeflateDecoder decoder(size, writer.Sink());
  std::vector<uint8_t> piece(kReadCacheBytes);
  for (uint64_t offset = 0; offset < copy.Size();) {
    const size_t count = static_cast<size_t>(std::min<uint64_t>(piece.size(), copy.Size() - offset));
    if (!copy.ReadAt(offset, piece.data(), count) || !decoder.Write(piece.data(), count)) return false;
    offset += count;
  }
  return decoder.Finish();
}

}  // namespace

bool ApplyPatchFile(const std::wstring& patchPath, const std::wstring& oldPath,
                    const DecodedFile& output, std::string& reason) {
  FileReader patch(patchPath);
  FileReader oldFile(oldPath);
  DecodedFileWriter writer(output);
  if (!patch.IsOpen() || !oldFile.IsOpen() || !writer.IsOpen()) {
    reason = !oldFile.IsOpen() ? "cannot read the installed file" : "cannot open the patch or the output";
    return false;
  }
  return writer.Completed(ApplyPatch(patch, oldFile, writer.Sink()), "it does not apply to the installed file",
                          reason);
}

bool InflateCopyFile(const std::wstring& copyPath, const DecodedFile& output, std::string& reason) {
  FileReader copy(copyPath);
  DecodedFileWriter writer(output);
  if (!copy.IsOpen() || !writer.IsOpen()) {
    reason = "cannot open the compressed copy or the output";
    return false;
  }
  return writer.Completed(Inflate(copy, output.size, writer), "it is not a valid compressed copy of the file",
                          reason);
}

}  // namespace zavex
