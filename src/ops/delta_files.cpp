#include "ops/delta_files.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "formats/binary_patch.h"
#include "formats/executable_patch.h"
#include "formats/deflate_decoder.h"
#include "platform/unique_handle.h"

namespace zavex {
namespace {

// How the files are read. A patch's three streams are read in turns, a page
// each. A version 1 patch reads its old file where each piece of the new one
// came from, all over the file, so it gets many pages; each read costs more
// than its bytes under Wine, so pages stay larger than 4 KiB (measured in
// bench/README.md). A forward patch reads it in order through a ring of its
// own; only its copies from behind the ring, within the window, come through
// a few pages, allocated at the first.
struct ReadPages {
  size_t bytes;
  size_t count;
};
constexpr ReadPages kPatchPages = {64 * 1024, 4};
constexpr ReadPages kOldFilePages = {16 * 1024, 128};
constexpr ReadPages kForwardOldFilePages = {16 * 1024, 32};
constexpr ReadPages kCopyPages = {64 * 1024, 1};
// Decoders hand over a few bytes at a time; one WriteFile each would cost
// far more than the decoding.
constexpr size_t kWriteBufferBytes = 256 * 1024;

// Looks at the cancel of a decoding after each kCancelCheckBytes of its
// reads and writes together.
class CancelCheck {
 public:
  explicit CancelCheck(const TransferCancel& cancel) : cancel(cancel) {}

  // False once a look has found the cancel set.
  bool Pass(size_t bytes) {
    sinceLook += bytes;
    if (sinceLook >= kCancelCheckBytes) {
      sinceLook = 0;
      cancelled = cancel.IsCancelled();
    }
    return !cancelled;
  }

  bool Cancelled() const { return cancelled; }

 private:
  const TransferCancel& cancel;
  uint64_t sinceLook = 0;
  bool cancelled = false;
};

// A file read by offset through a cache of pages, each offset's page in one
// slot; the cache is taken at the first read that needs it.
class FileReader : public ByteReader {
 public:
  FileReader(const std::wstring& path, ReadPages pages, CancelCheck& cancelCheck)
      : path(path), pages(pages), cancelCheck(cancelCheck) {
    LARGE_INTEGER length = {};
    opened = Open(FILE_SHARE_READ | FILE_SHARE_DELETE) && GetFileSizeEx(file.get(), &length);
    if (opened) size = static_cast<uint64_t>(length.QuadPart);
  }

  // A file that a download still writes, of fileSize bytes once whole: a
  // read waits for its bytes, and the file is opened at the first.
  FileReader(const std::wstring& path, uint64_t fileSize, ArrivingFile& arriving, ReadPages pages,
             CancelCheck& cancelCheck)
      : path(path), pages(pages), cancelCheck(cancelCheck), arriving(&arriving), opened(true), size(fileSize) {}

  bool IsOpen() const { return opened; }
  uint64_t Size() const override { return size; }

  bool ReadAt(uint64_t offset, uint8_t* buffer, size_t count) override {
    if (offset > size || count > size - offset || !cancelCheck.Pass(count)) return false;
    if (count >= pages.bytes) return ReadDirect(offset, buffer, count);
    while (count > 0) {
      const uint64_t page = offset / pages.bytes;
      const uint8_t* bytes = Page(page);
      if (!bytes) return false;
      const size_t within = static_cast<size_t>(offset - page * pages.bytes);
      const size_t piece = std::min(count, pages.bytes - within);
      std::memcpy(buffer, bytes + within, piece);
      buffer += piece;
      offset += piece;
      count -= piece;
    }
    return true;
  }

 private:
  static constexpr uint64_t kNoPage = UINT64_MAX;

  bool Open(DWORD share) {
    file.reset(CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                           nullptr));
    return static_cast<bool>(file);
  }

  const uint8_t* Page(uint64_t page) {
    if (cache.empty()) {
      cache.resize(pages.bytes * pages.count);
      pageInSlot.assign(pages.count, kNoPage);
    }
    const size_t slot = static_cast<size_t>(page % pages.count);
    uint8_t* bytes = cache.data() + slot * pages.bytes;
    if (pageInSlot[slot] == page) return bytes;
    const uint64_t start = page * pages.bytes;
    if (!ReadDirect(start, bytes, static_cast<size_t>(std::min<uint64_t>(pages.bytes, size - start)))) return nullptr;
    pageInSlot[slot] = page;
    return bytes;
  }

  // Reads count bytes at offset, which are in the file, in one call.
  bool ReadDirect(uint64_t offset, uint8_t* buffer, size_t count) {
    // The download writes the file meanwhile.
    if (arriving && !(arriving->WaitFor(offset + count) &&
                      (file || Open(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)))) {
      return false;
    }
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    return ReadFile(file.get(), buffer, static_cast<DWORD>(count), &read, &at) && read == count;
  }

  const std::wstring& path;
  ReadPages pages;
  CancelCheck& cancelCheck;
  ArrivingFile* arriving = nullptr;
  UniqueFile file;
  bool opened = false;
  uint64_t size = 0;
  std::vector<uint8_t> cache;
  std::vector<uint64_t> pageInSlot;
};

// The sink of a decoder: writes the file through a buffer, hashing each
// byte as it is written, and refuses what would pass the file's size.
class DecodedFileWriter {
 public:
  DecodedFileWriter(const DecodedFile& target, CancelCheck& cancelCheck)
      : output(target),
        cancelCheck(cancelCheck),
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
    if (cancelCheck.Cancelled()) {
      reason = "cancelled";
    } else if (overrun) {
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
    if (!cancelCheck.Pass(count)) return false;
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
  CancelCheck& cancelCheck;
  UniqueFile file;
  std::vector<uint8_t> pending;
  uint64_t written = 0;  // accepted, pending included
  bool overrun = false;
  bool writeFailed = false;
};

// Streams the compressed copy through a decoder into writer.
bool Inflate(FileReader& copy, uint64_t size, DecodedFileWriter& writer) {
  DeflateDecoder decoder(size, writer.Sink());
  std::vector<uint8_t> piece(kCopyPages.bytes);
  for (uint64_t offset = 0; offset < copy.Size();) {
    const size_t count = static_cast<size_t>(std::min<uint64_t>(piece.size(), copy.Size() - offset));
    if (!copy.ReadAt(offset, piece.data(), count) || !decoder.Write(piece.data(), count)) return false;
    offset += count;
  }
  return decoder.Finish();
}

// The pages of the installed file for patch: none for a forward patch.
ReadPages OldFilePages(ByteReader& patch) {
  PatchHeader header;
  const bool forward = ReadPatchHeaderOf(patch, header) && header.version == kForwardPatchVersion;
  return forward ? kForwardOldFilePages : kOldFilePages;
}

bool ApplyPatchFrom(FileReader& patch, const std::wstring& oldPath, const DecodedFile& output,
                    CancelCheck& cancelCheck, std::string& reason) {
  FileReader oldFile(oldPath, patch.IsOpen() ? OldFilePages(patch) : kOldFilePages, cancelCheck);
  DecodedFileWriter writer(output, cancelCheck);
  if (!patch.IsOpen() || !oldFile.IsOpen() || !writer.IsOpen()) {
    reason = !oldFile.IsOpen() ? "cannot read the installed file" : "cannot open the patch or the output";
    return false;
  }
  return writer.Completed(ApplyAnyPatch(patch, oldFile, output.size, writer.Sink()),
                          "it does not apply to the installed file", reason);
}

}  // namespace

bool ApplyPatchFile(const std::wstring& patchPath, const std::wstring& oldPath,
                    const DecodedFile& output, std::string& reason) {
  CancelCheck cancelCheck(output.cancel);
  FileReader patch(patchPath, kPatchPages, cancelCheck);
  return ApplyPatchFrom(patch, oldPath, output, cancelCheck, reason);
}

bool ApplyArrivingPatch(const ArrivingPatch& arrivingPatch, const std::wstring& oldPath,
                        const DecodedFile& output, std::string& reason) {
  CancelCheck cancelCheck(output.cancel);
  FileReader patch(arrivingPatch.path, arrivingPatch.size, arrivingPatch.arriving, kPatchPages, cancelCheck);
  return ApplyPatchFrom(patch, oldPath, output, cancelCheck, reason);
}

bool InflateCopyFile(const std::wstring& copyPath, const DecodedFile& output, std::string& reason) {
  CancelCheck cancelCheck(output.cancel);
  FileReader copy(copyPath, kCopyPages, cancelCheck);
  DecodedFileWriter writer(output, cancelCheck);
  if (!copy.IsOpen() || !writer.IsOpen()) {
    reason = "cannot open the compressed copy or the output";
    return false;
  }
  return writer.Completed(Inflate(copy, output.size, writer), "it is not a valid compressed copy of the file",
                          reason);
}

}  // namespace zavex
