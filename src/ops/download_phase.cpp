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
#include "ops/delta_files.h"
#include "ops/installed_manifest.h"
#include "ops/server_manifest.h"
#include "ops/worker_thread.h"
#include "platform/file_system.h"
#include "platform/link_safe_removal.h"
#include "platform/manifest_file.h"
#include "platform/sha256_hasher.h"
#include "platform/unique_handle.h"

namespace zavex {

StagedFile::StagedFile(const std::wstring& installPath, const ManifestFile& manifestEntry)
    : entry(manifestEntry),
      widePath(Utf8ToWide(manifestEntry.path)),
      finalPath(installPath + L"\\" + widePath),
      tempPath(finalPath + L".tmp") {}

std::vector<StagedFile> StageFiles(const std::wstring& installPath,
                                   const std::vector<ManifestFile>& entries,
                                   const Manifest& installed, const DeltaIndex& index) {
  std::vector<std::vector<FetchWay>> ways = PlanFetchWays(entries, installed, index);
  std::vector<StagedFile> files;
  files.reserve(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    files.emplace_back(installPath, entries[i]);
    files.back().ways = std::move(ways[i]);
  }
  return files;
}

TransferCounts CountTransfer(const std::vector<StagedFile>& files) {
  TransferCounts counts;
  counts.totalFiles = static_cast<int>(files.size());
  for (const StagedFile& file : files) counts.totalBytes += file.PlannedBytes();
  return counts;
}

namespace {

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
  void Finish(size_t slot, const StagedFile* accepted) {
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

// Logs the comparison of the digest of what was written with the entry's
// hash; true when they match.
bool LogDigest(LogSink& log, const ManifestFile& entry, const std::string& actualHash) {
  log.Info("Calculating hash for: " + entry.path);
  // A failed digest is empty text; it must not match an entry without a hash.
  const bool match = !actualHash.empty() && actualHash == entry.hash;
  log.Info("  Expected hash: " + entry.hash);
  log.Info("  Actual hash:   " + actualHash);
  log.Info(std::string("  Hash match: ") + (match ? "YES" : "NO"));
  return match;
}

// Downloads from this size on get a note that lets a later run continue them.
constexpr uint64_t kResumableBytes = 1024 * 1024;

// One download into a temp file: the file itself, or a patch or compressed
// copy of it. noted is what a note of a partial download names: the entry,
// or for a patch or copy its address, the file's hash and its size.
struct Download {
  std::wstring url;
  std::wstring tempPath;
  ManifestFile noted;

  // Beside the temp file: noted, as a one-file manifest.
  std::wstring NotePath() const { return tempPath.substr(0, tempPath.size() - 4) + L".part.tmp"; }
};

const char* WayName(FetchWayKind kind) {
  switch (kind) {
    case FetchWayKind::kPatch:
      return "patch";
    case FetchWayKind::kCompressed:
      return "compressed copy";
    case FetchWayKind::kWhole:
      break;
  }
  return "whole file";
}

// The installed content a patch starts from, as the log names it.
std::string HashPrefix(const std::string& hash) { return hash.substr(0, 12); }

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
      progress.Finish(slot, accepted ? &files[index] : nullptr);
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

  // One file into its temp path, by each of its ways in turn until one
  // gives the verified file. Leaves no temp file unless it is verified.
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
    CreateFolderOf(file.finalPath);
    for (size_t way = 0; way + 1 < file.ways.size() && !stop.IsCancelled(); ++way) {
      std::string reason;
      if (FetchDecoded(slot, hasher, file, file.ways[way], log, reason)) return Keep(file, error);
      log.Warn(std::string("The ") + WayName(file.ways[way].kind) + " of " + file.entry.path +
               " was not used (" + reason + "), taking its " + WayName(file.ways[way + 1].kind));
    }
    return FetchWhole(slot, hasher, file, log, error);
  }

  // The file itself, as the manifest lists it.
  FetchResult FetchWhole(size_t slot, Sha256Hasher& hasher, const StagedFile& file, LogLines& log,
                         std::wstring& error) {
    const Download whole = DownloadOf(file, file.ways.back());
    LogDownloadStart(log, file, whole.url);
    uint64_t received = 0;
    uint64_t fetched = 0;
    const DownloadResult result = DownloadInto(slot, hasher, file, whole, received, fetched, log);
    if (!result) {
      log.Error("Download failed for: " + file.entry.path + " (" + result.failure.reason + ")");
      RemoveFile(file.tempPath);
      if (!file.entry.required) return FetchResult::kOptionalMissing;
      error = L"Falha ao baixar: " + file.widePath;
      return FetchResult::kFailed;
    }
    log.Info("Download complete, size: " + std::to_string(received) + " bytes");
    const std::string actualHash = hasher.Finish();
    if (!LogDigest(log, file.entry, actualHash)) {
      LogHashMismatch(log, file.entry, actualHash, received);
      error = L"Hash inválido para: " + file.widePath;
      RemoveFile(file.tempPath);
      return FetchResult::kFailed;
    }
    log.Info("Downloaded " + file.entry.path + " whole: " + std::to_string(fetched) + " bytes fetched");
    return Keep(file, error);
  }

  // A patch or compressed copy: downloaded beside the file, then decoded
  // into its temp path, hashed as it is written, and verified. False with
  // the reason; neither temp file stays then, and the artifact never.
  bool FetchDecoded(size_t slot, Sha256Hasher& hasher, const StagedFile& file, const FetchWay& way,
                    LogLines& log, std::string& reason) {
    const bool patch = way.kind == FetchWayKind::kPatch;
    const Download artifact = DownloadOf(file, way);
    log.Info(patch ? "Downloading the patch of " + file.entry.path + " from " + HashPrefix(way.fromHash)
                   : "Downloading the compressed copy of " + file.entry.path);
    log.Debug("  URL: " + WideToUtf8(artifact.url));
    log.Debug("  Temp path: " + WideToUtf8(artifact.tempPath));
    uint64_t received = 0;
    uint64_t fetched = 0;
    const DownloadResult result = DownloadInto(slot, hasher, file, artifact, received, fetched, log);
    if (!result) reason = result.failure.reason;
    // No byte reaches a decoder unless the index bound to the manifest lists it.
    const bool listed = result && hasher.Finish() == way.hash;
    if (result && !listed) reason = "its bytes do not match the index's SHA-256";
    const bool decoded = listed && Decode(file, way, artifact.tempPath, hasher, log, reason);
    RemoveFile(artifact.tempPath);
    if (!decoded) {
      RemoveFile(file.tempPath);
      return false;
    }
    log.Info((patch ? "Patched " + file.entry.path + " from " + HashPrefix(way.fromHash)
                    : "Downloaded " + file.entry.path + " compressed") +
             ": " + std::to_string(fetched) + " bytes fetched");
    return true;
  }

  // The artifact of way, applied to the installed file or inflated, into
  // the file's temp path; true once it matches the entry's hash.
  static bool Decode(const StagedFile& file, const FetchWay& way, const std::wstring& artifactPath,
                     Sha256Hasher& hasher, LogLines& log, std::string& reason) {
    hasher.Begin();
    const DecodedFile output{file.tempPath, file.entry.size, hasher};
    const bool patch = way.kind == FetchWayKind::kPatch;
    if (!(patch ? ApplyPatchFile(artifactPath, file.finalPath, output, reason)
                : InflateCopyFile(artifactPath, output, reason))) {
      return false;
    }
    log.Info(std::string(patch ? "Patch applied" : "Copy inflated") + ", size: " +
             std::to_string(file.entry.size) + " bytes");
    if (LogDigest(log, file.entry, hasher.Finish())) return true;
    reason = "the result does not match the file's hash";
    return false;
  }

  // Placed files must survive a power cut that follows the record.
  static FetchResult Keep(const StagedFile& file, std::wstring& error) {
    if (FlushFileToDisk(file.tempPath)) return FetchResult::kVerified;
    RemoveFile(file.tempPath);
    error = L"Falha ao instalar: " + file.widePath;
    return FetchResult::kFailed;
  }

  Download DownloadOf(const StagedFile& file, const FetchWay& way) const {
    if (way.kind == FetchWayKind::kWhole) {
      return {run.serverBaseUrl + file.widePath + (run.addNoCacheQuery ? NoCacheQuery() : L""),
              file.tempPath, file.entry};
    }
    // Named by their contents, patches and copies may come from any cache.
    const ManifestFile noted{way.urlPath, file.entry.hash, static_cast<uint32_t>(way.size), true};
    return {run.serverBaseUrl + Utf8ToWide(way.urlPath),
            file.finalPath + (way.kind == FetchWayKind::kPatch ? L".patch.tmp" : L".deflate.tmp"),
            noted};
  }

  // download into its temp file, continuing what a killed run left of it.
  // received counts the bytes in the file, all added to hasher; fetched
  // those that came in this run.
  DownloadResult DownloadInto(size_t slot, Sha256Hasher& hasher, const StagedFile& file,
                              const Download& download, uint64_t& received, uint64_t& fetched,
                              LogLines& log) {
    hasher.Begin();
    received = AdoptPartialFile(hasher, download, log);
    progress.Report(slot, received, file.widePath);
    const DownloadResult result = Transfer(slot, hasher, file, download, received, fetched, log);
    RemoveFile(download.NotePath());
    fetchedBytes += fetched;
    return result;
  }

  // The attempts of one download. received counts the bytes in its temp
  // file, all of them added to hasher.
  DownloadResult Transfer(size_t slot, Sha256Hasher& hasher, const StagedFile& file,
                          const Download& download, uint64_t& received, uint64_t& fetched,
                          LogLines& log) {
    DownloadLimits limits;
    limits.size = download.noted.size;
    limits.onBodyStart = [&](uint64_t offset) {
      if (offset > 0) return;
      hasher.Begin();
      received = 0;
    };
    const auto onChunk = [&](std::string_view chunk, uint32_t, uint32_t) {
      if (stop.IsCancelled()) return false;
      hasher.Add(chunk);
      received += chunk.size();
      fetched += chunk.size();
      progress.Report(slot, received, file.widePath);
      return true;
    };
    DownloadResult result;
    const auto attempt = [&](RequestFailure& failure) {
      // A partial file already whole needs no request.
      if (received > 0 && received == download.noted.size) {
        result = DownloadResult();
        result.success = true;
        return true;
      }
      limits.resumeFrom = received;
      result = run.http.DownloadFile(download.url, download.tempPath, onChunk, &stop, limits);
      if (result.restartWhole) received = 0;
      failure = result.failure;
      return result.success;
    };
    RetryTransientFailures(download.noted.path, &stop, log, attempt,
                           {[&received] { return received; }, [&fetched] { return fetched; }, download.noted.size});
    return result;
  }

  // The bytes of a partial download that an earlier run left for this one,
  // added to hasher; 0 when there is none, or it was left for another and is
  // discarded. Large downloads get a note of what they are, so that a run
  // that ends early leaves what the next one may continue.
  uint64_t AdoptPartialFile(Sha256Hasher& hasher, const Download& download, LogLines& log) {
    const std::wstring notePath = download.NotePath();
    uint64_t kept = 0;
    if (IsExistingFile(download.tempPath) && IsNoteOf(LoadManifestFile(notePath), download.noted)) {
      if (hasher.AddFile(download.tempPath, kept) && kept <= download.noted.size) {
        log.Info("Continuing the partial download of " + download.noted.path + " at byte " +
                 std::to_string(kept));
        return kept;
      }
      hasher.Begin();
    }
    RemoveFile(download.tempPath);
    RemoveFile(notePath);
    if (download.noted.size >= kResumableBytes) WriteWholeFile(notePath, NoteOf(download.noted));
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
      for (const FetchWay& way : files[index].ways) {
        const Download download = DownloadOf(files[index], way);
        RemoveFile(download.tempPath);
        RemoveFile(download.NotePath());
      }
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
  UniqueKernelHandle slotsEnded{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  std::vector<std::thread> threads;

  // An entry is written only by the slot that took its file, and read once
  // every slot has ended.
  std::vector<FetchResult> results;
  std::atomic<uint64_t> fetchedBytes{0};  // over every way and attempt

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
