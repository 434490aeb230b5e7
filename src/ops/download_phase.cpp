#include "ops/download_phase.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <unordered_set>

#include "base/logger.h"
#include "base/text_conversion.h"
#include "ops/download_staging.h"
#include "ops/fetch_ways.h"
#include "ops/installed_manifest.h"
#include "ops/worker_thread.h"
#include "platform/file_system.h"
#include "platform/link_safe_removal.h"
#include "platform/unique_handle.h"

namespace zavex {
namespace {


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
  void EndTransfer(size_t slot, const StagedFile* accepted) {
    std::lock_guard<std::mutex> lock(mutex);
    inFlight[slot] = 0;
    if (accepted) counts.Accept(accepted->PlannedBytes());
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
        fetchRun{downloadRun.installPath, downloadRun.serverBaseUrl, downloadRun.addNoCacheQuery,
                 downloadRun.http, stop, fetchedBytes},
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
    LogFetchedBytes(downloaded);
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
      StopAtFirstFailure(FetchResult::kFailed, error);
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (--runningSlots == 0) SetEvent(slotsEnded.get());
  }

  void TransferFiles(size_t slot) {
    WayFetcher fetcher(fetchRun, [this, slot](const StagedFile& file, uint64_t received) {
      progress.Report(slot, received, file.widePath);
    });
    size_t index = 0;
    while (TakeNextFile(index)) {
      LogLines log;
      std::wstring error;
      const FetchResult result = Fetch(fetcher, files[index], log, error);
      Logger::Instance().Write(log);
      const bool accepted = result == FetchResult::kVerified || result == FetchResult::kSkipped;
      progress.EndTransfer(slot, accepted ? &files[index] : nullptr);
      results[index] = result;
      StopAtFirstFailure(result, error);
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
  void StopAtFirstFailure(FetchResult result, std::wstring& error) {
    std::lock_guard<std::mutex> lock(mutex);
    if (result != FetchResult::kFailed || failed) return;
    failed = true;
    firstError.swap(error);
    stop.Cancel();
  }

  // One file into its temp path by its ways; leaves no temp file unless it
  // is verified.
  FetchResult Fetch(WayFetcher& fetcher, const StagedFile& file, LogLines& log, std::wstring& error) {
    if (IsSamePath(file.finalPath, recordPath)) {
      log.Info("Skipping manifest.json (written from the verified manifest)");
      return FetchResult::kSkipped;
    }
    if (PathCrossesLink(run.installPath, file.finalPath)) {
      log.Error("Refused to write through a link: " + file.entry.path);
      error = L"Falha ao instalar: " + file.widePath;
      return FetchResult::kFailed;
    }
    CreateFolderOf(file.finalPath);
    return fetcher.Fetch(file, log, error);
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
  // ended by an exception; the staging folder goes as the phase ends.
  void DeleteTempFiles() {
    for (size_t index = 0; index < files.size(); ++index) {
      if (results[index] != FetchResult::kNotStarted) RemoveFile(files[index].tempPath);
    }
  }

  // What patches and compressed copies saved in this run.
  void LogFetchedBytes(const DownloadedFiles& downloaded) const {
    uint64_t wholeBytes = 0;
    for (const StagedFile* file : downloaded.verified) wholeBytes += file->entry.size;
    Logger::Instance().Info("Fetched " + std::to_string(fetchedBytes) + " bytes for " +
                            std::to_string(downloaded.verified.size()) + " files of " +
                            std::to_string(wholeBytes) + " bytes");
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
  std::atomic<uint64_t> fetchedBytes{0};  // over every way and attempt
  const FetchRun fetchRun;
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
  const bool downloadedAll = download.Run(downloaded, error);
  RemoveStagingFolder(run.installPath);
  return downloadedAll;
}

}  // namespace zavex
