#include "ops/download_phase.h"

#include <windows.h>

#include <algorithm>
#include <exception>
#include <mutex>
#include <thread>
#include <unordered_set>

#include "base/logger.h"
#include "base/text_conversion.h"
#include "ops/installed_manifest.h"
#include "ops/server_manifest.h"
#include "ops/worker_thread.h"
#include "platform/file_system.h"
#include "platform/link_safe_removal.h"
#include "platform/sha256_hasher.h"
#include "platform/unique_handle.h"

namespace zavex {

StagedFile::StagedFile(const std::wstring& installPath, const ManifestFile& manifestEntry)
    : entry(manifestEntry),
      widePath(Utf8ToWide(manifestEntry.path)),
      finalPath(installPath + L"\\" + widePath),
      tempPath(finalPath + L".tmp") {}

std::vector<StagedFile> StageFiles(const std::wstring& installPath,
                                   const std::vector<ManifestFile>& entries) {
  std::vector<StagedFile> files;
  files.reserve(entries.size());
  for (const ManifestFile& entry : entries) files.emplace_back(installPath, entry);
  return files;
}

namespace {

constexpr wchar_t kCancelledText[] = L"Cancelado pelo usuário";

enum class FetchResult { kNotStarted, kVerified, kSkipped, kOptionalMissing, kFailed };

// The progress of one run, reported from any of its transfers: the finished
// files, and the bytes of the finished files plus those of the transfers in
// flight. The bytes shown never go back, also when a transfer fails.
class RunProgress {
 public:
  RunProgress(const ProgressCallback& callback, const TransferCounts& start, size_t slots)
      : onProgress(callback), counts(start), inFlight(slots, 0), shownBytes(start.doneBytes) {}

  void Report(size_t slot, uint64_t written, const std::wstring& path) {
    std::lock_guard<std::mutex> lock(mutex);
    inFlight[slot] = written;
    uint64_t bytes = counts.doneBytes;
    for (const uint64_t part : inFlight) bytes += part;
    shownBytes = std::max(shownBytes, bytes);
    TransferCounts shown = counts;
    shown.doneBytes = shownBytes;
    ReportProgress(onProgress, shown, path);
  }

  // The transfer in slot has ended; accepted is its file when it counts as
  // done, otherwise null.
  void Finish(size_t slot, const ManifestFile* accepted) {
    std::lock_guard<std::mutex> lock(mutex);
    inFlight[slot] = 0;
    if (accepted) counts.Accept(*accepted);
  }

  TransferCounts Counts() {
    std::lock_guard<std::mutex> lock(mutex);
    return counts;
  }

 private:
  std::mutex mutex;
  const ProgressCallback& onProgress;
  TransferCounts counts;
  std::vector<uint64_t> inFlight;
  uint64_t shownBytes;
};

void LogDownloadStart(LogSink& log, const StagedFile& file, const std::wstring& url) {
  log.Info("Downloading: " + file.entry.path);
  log.Debug("  URL: " + WideToUtf8(url));
  log.Debug("  Temp path: " + WideToUtf8(file.tempPath));
  log.Debug("  Final path: " + WideToUtf8(file.finalPath));
}

void LogHashMismatch(LogSink& log, const ManifestFile& entry, const std::string& actualHash,
                     uint64_t downloadedSize) {
  log.Error("HASH MISMATCH for: " + entry.path);
  log.Error("  Expected: " + entry.hash);
  log.Error("  Got:      " + actualHash);
  log.Error("  File size: " + std::to_string(downloadedSize) +
            " (expected: " + std::to_string(entry.size) + ")");
}

// Logs the size and compares the digest of what arrived with the entry's
// hash; a mismatch sets error to "Hash inválido para: " and the path.
bool CheckDigest(LogSink& log, const ManifestFile& entry, const std::string& actualHash,
                 uint64_t size, std::wstring& error) {
  log.Info("Download complete, size: " + std::to_string(size) + " bytes");
  log.Info("Calculating hash for: " + entry.path);
  // A failed digest is empty text; it must not match an entry without a hash.
  const bool match = !actualHash.empty() && actualHash == entry.hash;
  log.Info("  Expected hash: " + entry.hash);
  log.Info("  Actual hash:   " + actualHash);
  log.Info(std::string("  Hash match: ") + (match ? "YES" : "NO"));
  if (match) return true;
  LogHashMismatch(log, entry, actualHash, size);
  error = L"Hash inválido para: " + Utf8ToWide(entry.path);
  return false;
}

// Files from this size on get a note that lets a later run continue them.
constexpr uint64_t kResumableBytes = 1024 * 1024;

// Beside the temp file: the entry whose bytes it holds, as a one-file manifest.
std::wstring PartialEntryPath(const StagedFile& file) { return file.finalPath + L".part.tmp"; }

std::string NoteOf(const ManifestFile& entry) {
  Manifest note;
  note.version = "partial";
  note.versionCode = 1;
  note.files.push_back(entry);
  return SerializeManifest(note);
}

bool IsNoteOf(const Manifest& note, const ManifestFile& entry) {
  if (note.files.size() != 1) return false;
  const ManifestFile& noted = note.files[0];
  return noted.path == entry.path && noted.hash == entry.hash && noted.size == entry.size;
}

// The transfers of one download phase. Each slot is a thread that takes the
// next file until none is left or the run stops; the calling thread waits
// for them and turns a cancel of the run into a stop of every transfer.
class ParallelDownload {
 public:
  ParallelDownload(DownloadRun& downloadRun, const std::vector<StagedFile>& stagedFiles)
      : run(downloadRun),
        files(stagedFiles),
        recordPath(InstalledManifestPath(downloadRun.installPath)),
        slotCount(std::min(kMaxParallelTransfers, stagedFiles.size())),
        progress(downloadRun.onProgress, downloadRun.counts, slotCount),
        results(stagedFiles.size(), FetchResult::kNotStarted) {}

  bool Run(DownloadedFiles& downloaded, std::wstring& error) {
    if (run.cancel.IsCancelled()) {
      error = kCancelledText;
      return false;
    }
    if (files.empty()) return true;
    if (!StartSlots(error)) return false;
    WaitForSlots();
    run.counts = progress.Counts();
    // A cancel that cut no required transfer short, also one that came as
    // the last transfers ended, still stops the run before anything is placed.
    if (!failed && run.cancel.IsCancelled()) {
      failed = true;
      firstError = kCancelledText;
    }
    if (failed) {
      DeleteTempFiles();
      error = firstError;
      return false;
    }
    CollectResults(downloaded);
    return true;
  }

 private:
  bool StartSlots(std::wstring& error) {
    if (!slotsEnded) {
      error = L"Falha ao iniciar a operação: ";
      return false;
    }
    runningSlots = slotCount;
    try {
      while (threads.size() < slotCount) {
        const size_t slot = threads.size();
        threads.emplace_back([this, slot] { TransferLoop(slot); });
      }
    } catch (const std::exception& failure) {
      // Runs with the slots that started; fails only when none did.
      std::lock_guard<std::mutex> lock(mutex);
      runningSlots -= slotCount - threads.size();
      if (runningSlots == 0) SetEvent(slotsEnded.get());
      if (threads.empty()) error = L"Falha ao iniciar a operação: " + Utf8ToWide(failure.what());
    }
    return !threads.empty();
  }

  void WaitForSlots() {
    HANDLE events[] = {slotsEnded.get(), run.cancel.Event()};
    const DWORD count = events[1] ? 2 : 1;
    if (WaitForMultipleObjects(count, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
      stop.Cancel();
      WaitForSingleObject(slotsEnded.get(), INFINITE);
    }
    for (std::thread& thread : threads) thread.join();
  }

  // A standard exception (memory ran out) ends the slot, and the run with
  // its text; the file it was on keeps no temp file.
  void TransferLoop(size_t slot) {
    std::wstring error;
    const auto transfer = [this, slot](std::wstring&) {
      TransferFiles(slot);
      return true;
    };
    if (!RunCatchingExceptions(transfer, error)) {
      Finish(FetchResult::kFailed, error);
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (--runningSlots == 0) SetEvent(slotsEnded.get());
  }

  void TransferFiles(size_t slot) {
    Sha256Hasher hasher;
    size_t index = 0;
    while (TakeNextFile(index)) {
      LogLines log;
      std::wstring error;
      const FetchResult result = Fetch(slot, hasher, files[index], log, error);
      Logger::Instance().Write(log);
      const bool accepted = result == FetchResult::kVerified || result == FetchResult::kSkipped;
      progress.Finish(slot, accepted ? &files[index].entry : nullptr);
      results[index] = result;
      Finish(result, error);
    }
  }

  bool TakeNextFile(size_t& index) {
    std::lock_guard<std::mutex> lock(mutex);
    if (failed || stop.IsCancelled() || nextFile == files.size()) return false;
    index = nextFile++;
    results[index] = FetchResult::kFailed;  // until it ends otherwise
    return true;
  }

  // The first failure stops the run and gives its error.
  void Finish(FetchResult result, std::wstring& error) {
    std::lock_guard<std::mutex> lock(mutex);
    if (result != FetchResult::kFailed || failed) return;
    failed = true;
    firstError.swap(error);
    stop.Cancel();
  }

  // One file into its temp path, in up to kMaxAttempts attempts, each
  // continuing where the last one ended. Leaves no temp file unless it is
  // verified.
  FetchResult Fetch(size_t slot, Sha256Hasher& hasher, const StagedFile& file, LogLines& log,
                    std::wstring& error) {
    if (IsSamePath(file.finalPath, recordPath)) {
      log.Info("Skipping manifest.json (written from the verified manifest)");
      return FetchResult::kSkipped;
    }
    if (PathCrossesLink(run.installPath, file.finalPath)) {
      log.Error("Refused to write through a link: " + file.entry.path);
      error = L"Falha ao instalar: " + file.widePath;
      return FetchResult::kFailed;
    }
    const std::wstring url =
        run.serverBaseUrl + file.widePath + (run.addNoCacheQuery ? NoCacheQuery() : L"");
    CreateFolderOf(file.finalPath);
    LogDownloadStart(log, file, url);
    hasher.Begin();
    uint64_t received = AdoptPartialFile(hasher, file, log);
    progress.Report(slot, received, file.widePath);
    const DownloadResult result = Transfer(slot, hasher, file, url, received, log);
    RemoveFile(PartialEntryPath(file));
    if (!result) {
      log.Error("Download failed for: " + file.entry.path + " (" + result.failure.reason + ")");
      RemoveFile(file.tempPath);
      if (!file.entry.required) return FetchResult::kOptionalMissing;
      error = L"Falha ao baixar: " + file.widePath;
      return FetchResult::kFailed;
    }
    if (!CheckDigest(log, file.entry, hasher.Finish(), received, error)) {
      RemoveFile(file.tempPath);
      return FetchResult::kFailed;
    }
    // Placed files must survive a power cut that follows the record.
    if (!FlushFileToDisk(file.tempPath)) {
      RemoveFile(file.tempPath);
      error = L"Falha ao instalar: " + file.widePath;
      return FetchResult::kFailed;
    }
    return FetchResult::kVerified;
  }

  // The attempts of one file. received counts the bytes in its temp file,
  // all of them added to hasher.
  DownloadResult Transfer(size_t slot, Sha256Hasher& hasher, const StagedFile& file,
                          const std::wstring& url, uint64_t& received, LogLines& log) {
    DownloadLimits limits;
    limits.size = file.entry.size;
    limits.onBodyStart = [&](uint64_t offset) {
      if (offset > 0) return;
      hasher.Begin();
      received = 0;
    };
    const auto onChunk = [&](std::string_view chunk, uint32_t, uint32_t) {
      if (stop.IsCancelled()) return false;
      hasher.Add(chunk);
      received += chunk.size();
      progress.Report(slot, received, file.widePath);
      return true;
    };
    DownloadResult result;
    const auto attempt = [&](RequestFailure& failure) {
      // A partial file already whole needs no request.
      if (received > 0 && received == file.entry.size) {
        result = DownloadResult();
        result.success = true;
        return true;
      }
      limits.resumeFrom = received;
      result = run.http.DownloadFile(url, file.tempPath, onChunk, &stop, limits);
      if (result.restartWhole) received = 0;
      failure = result.failure;
      return result.success;
    };
    RetryTransientFailures(file.entry.path, &stop, log, attempt);
    return result;
  }

  // The bytes of a partial file that an earlier run left for this entry,
  // added to hasher; 0 when there is none, or it was left for another entry
  // and is discarded. Large files get a note of their entry, so that a run
  // that ends early leaves what the next one may continue.
  uint64_t AdoptPartialFile(Sha256Hasher& hasher, const StagedFile& file, LogLines& log) {
    const std::wstring notePath = PartialEntryPath(file);
    uint64_t kept = 0;
    if (IsExistingFile(file.tempPath) && IsNoteOf(LoadManifestFile(notePath), file.entry)) {
      if (hasher.AddFile(file.tempPath, kept) && kept <= file.entry.size) {
        log.Info("Continuing the partial download of " + file.entry.path + " at byte " +
                 std::to_string(kept));
        return kept;
      }
      hasher.Begin();
    }
    RemoveFile(file.tempPath);
    RemoveFile(notePath);
    if (file.entry.size >= kResumableBytes) WriteWholeFile(notePath, NoteOf(file.entry));
    return 0;
  }
  // Creates each folder once per run; under Wine every attempt costs a
  // round trip to its server.
  void CreateFolderOf(const std::wstring& path) {
    const std::wstring folder = ParentFolderOf(path);
    std::lock_guard<std::mutex> lock(mutex);
    if (folder.empty() || !createdFolders.insert(folder).second) return;
    CreateDirectoryRecursive(folder);
  }

  // The temp files of every file that started, also of one whose transfer
  // ended by an exception.
  void DeleteTempFiles() {
    for (size_t index = 0; index < files.size(); ++index) {
      if (results[index] == FetchResult::kNotStarted) continue;
      RemoveFile(files[index].tempPath);
      RemoveFile(PartialEntryPath(files[index]));
    }
  }

  void CollectResults(DownloadedFiles& downloaded) const {
    for (size_t index = 0; index < files.size(); ++index) {
      if (results[index] == FetchResult::kVerified) downloaded.verified.push_back(&files[index]);
      if (results[index] == FetchResult::kOptionalMissing) {
        downloaded.missingOptional.push_back(files[index].entry.path);
      }
    }
  }

  DownloadRun& run;
  const std::vector<StagedFile>& files;
  const std::wstring recordPath;
  const size_t slotCount;
  RunProgress progress;
  TransferCancel stop;  // set at the first failure and at a cancel of the run
  UniqueKernelHandle slotsEnded{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  std::vector<std::thread> threads;

  // An entry is written only by the slot that took its file, and read once
  // every slot has ended.
  std::vector<FetchResult> results;

  std::mutex mutex;  // guards what follows while slots run
  size_t nextFile = 0;
  size_t runningSlots = 0;
  std::unordered_set<std::wstring> createdFolders;
  bool failed = false;
  std::wstring firstError;
};

}  // namespace

bool DownloadPhase(DownloadRun& run, const std::vector<StagedFile>& files,
                   DownloadedFiles& downloaded, std::wstring& error) {
  ParallelDownload download(run, files);
  return download.Run(downloaded, error);
}

}  // namespace zavex
