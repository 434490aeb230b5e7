#include "ops/operation_callbacks.h"

namespace zavex {

void TransferCounts::Accept(const ManifestFile& entry) {
  doneBytes += entry.size;
  ++doneFiles;
}

TransferCounts TransferCounts::Completed() const {
  return TransferCounts{totalFiles, totalFiles, totalBytes, totalBytes};
}

TransferCounts CountTransfer(const std::vector<ManifestFile>& files) {
  TransferCounts counts;
  counts.totalFiles = static_cast<int>(files.size());
  for (const ManifestFile& file : files) counts.totalBytes += file.size;
  return counts;
}

void ReportProgress(const ProgressCallback& callback, const TransferCounts& counts,
                    const std::wstring& text) {
  if (callback) {
    callback(counts.doneFiles, counts.totalFiles, counts.doneBytes, counts.totalBytes, text);
  }
}

}  // namespace zavex
