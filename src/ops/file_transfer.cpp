#include "ops/file_transfer.h"

#include <windows.h>

#include <ctime>

#include "app/logger.h"
#include "app/text_conversion.h"
#include "ops/manifest_signature.h"
#include "platform/file_system.h"

namespace zavex {
namespace {

void LogHashMismatch(const ManifestFile& entry, const std::string& actualHash,
                     uint32_t downloadedSize) {
  Logger& log = Logger::Instance();
  log.Error("HASH MISMATCH for: " + entry.path);
  log.Error("  Expected: " + entry.hash);
  log.Error("  Got:      " + actualHash);
  log.Error("  File size: " + std::to_string(downloadedSize) +
            " (expected: " + std::to_string(entry.size) + ")");
}

}  // namespace

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

std::wstring NoCacheQuery() {
  return L"?nocache=" + std::to_wstring(static_cast<long long>(_time64(nullptr)));
}

std::wstring ParentFolderOf(const std::wstring& path) {
  const size_t separator = path.find_last_of(L"\\/");
  return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

void CreateParentFolder(const std::wstring& path) {
  const std::wstring folder = ParentFolderOf(path);
  if (!folder.empty()) CreateDirectoryRecursive(folder);
}

uint32_t FileSizeLow(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return data.nFileSizeLow;
}

DownloadProgressCallback MakeDownloadProgress(const TransferCancel& cancel,
                                              const ProgressCallback& onProgress,
                                              const TransferCounts& counts,
                                              const std::wstring& widePath) {
  return [&cancel, &onProgress, &counts, &widePath](uint32_t written, uint32_t) {
    if (cancel.IsCancelled()) return false;
    TransferCounts current = counts;
    current.doneBytes += written;
    ReportProgress(onProgress, current, widePath);
    return true;
  };
}

bool FetchServerManifest(HttpClient& http, const std::wstring& url,
                         const ManifestFetchTexts& texts, Manifest& manifest,
                         std::wstring& error) {
  Logger& log = Logger::Instance();
  const HttpResponse response = http.Get(url);
  if (!response.success) {
    log.Error(texts.failureLog + WideToUtf8(response.error));
    error = texts.failureError + response.error;
    return false;
  }
  log.Info(texts.downloadedLog + std::to_string(response.body.size()) + " bytes");
  if (!CheckManifestSignature(http, url, response.body, CompiledReleaseKeys())) {
    error = L"Manifest inválido";
    return false;
  }
  manifest = ParseManifest(response.body);
  if (IsValid(manifest)) return true;
  log.Error(texts.invalidLog);
  error = L"Manifest inválido";
  return false;
}

bool DownloadEntry(HttpClient& http, const ManifestFile& entry, const std::wstring& url,
                   const std::wstring& targetPath, DownloadProgressCallback progress,
                   const TransferCancel& cancel) {
  if (http.DownloadFile(url, targetPath, std::move(progress), &cancel)) return true;
  Logger::Instance().Error("Download failed for: " + entry.path);
  return false;
}

bool VerifyDownloadedFile(Sha256Hasher& hasher, const ManifestFile& entry,
                          const std::wstring& downloadedPath, std::wstring& error) {
  Logger& log = Logger::Instance();
  const uint32_t size = FileSizeLow(downloadedPath);
  log.Info("Download complete, size: " + std::to_string(size) + " bytes");
  log.Info("Calculating hash for: " + entry.path);
  const std::string actualHash = hasher.HashFile(downloadedPath);
  // A failed hash is empty text; it must not match an entry without a hash.
  const bool match = !actualHash.empty() && actualHash == entry.hash;
  log.Info("  Expected hash: " + entry.hash);
  log.Info("  Actual hash:   " + actualHash);
  log.Info(std::string("  Hash match: ") + (match ? "YES" : "NO"));
  if (match) return true;
  LogHashMismatch(entry, actualHash, size);
  RemoveFile(downloadedPath);
  error = L"Hash inválido para: " + Utf8ToWide(entry.path);
  return false;
}

}  // namespace zavex
