#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace zavex {

// (current file, file count, bytes done, bytes total, path or step text).
// A step announced before any file is known passes four zeros.
using ProgressCallback =
    std::function<void(int current, int total, uint32_t bytesDone, uint32_t bytesTotal,
                       const std::wstring& text)>;

// The error text of an operation that a cancel stopped.
inline constexpr wchar_t kCancelledText[] = L"Cancelado pelo usuário";

// Called once at the end of an install or update, on its worker thread:
// true with an empty text, or false with the text to show to the user.
using CompletionCallback = std::function<void(bool success, const std::wstring& error)>;

// Files and bytes accepted so far in one run, and the run's totals. Bytes
// are those each file is planned to fetch, added up in 64 bits.
struct TransferCounts {
  int doneFiles = 0;
  int totalFiles = 0;
  uint64_t doneBytes = 0;
  uint64_t totalBytes = 0;

  void Accept(uint64_t fileBytes);
  // Every file done: the counts of the reports after the last file.
  TransferCounts Completed() const;
};

// Calls callback with the counts, bytes clamped to 32 bits, and text when it
// is not empty.
void ReportProgress(const ProgressCallback& callback, const TransferCounts& counts,
                    const std::wstring& text);

}  // namespace zavex
