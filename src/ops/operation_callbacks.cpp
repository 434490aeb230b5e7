#include "ops/operation_callbacks.h"

#include <algorithm>

namespace zavex {

void TransferCounts::Accept(uint64_t fileBytes) {
  doneBytes += fileBytes;
  ++doneFiles;
}

TransferCounts TransferCounts::Completed() const {
  return TransferCounts{totalFiles, totalFiles, totalBytes, totalBytes};
}

void ReportProgress(const ProgressCallback& callback, const TransferCounts& counts,
                    const std::wstring& text) {
  const auto clamped = [](uint64_t bytes) {
    return static_cast<uint32_t>(std::min<uint64_t>(bytes, UINT32_MAX));
  };
  if (callback) {
    callback(counts.doneFiles, counts.totalFiles, clamped(counts.doneBytes),
             clamped(counts.totalBytes), text);
  }
}

}  // namespace zavex
