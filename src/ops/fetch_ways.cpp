#include "ops/fetch_ways.h"

#include "base/text_conversion.h"
#include "ops/delta_files.h"
#include "ops/download_staging.h"
#include "ops/server_manifest.h"
#include "ops/worker_thread.h"
#include "platform/file_system.h"

namespace zavex {
namespace {

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

// Placed files must survive a power cut that follows the record.
FetchResult FlushForPlacing(const StagedFile& file, std::wstring& error) {
  if (FlushFileToDisk(file.tempPath)) return FetchResult::kVerified;
  RemoveFile(file.tempPath);
  error = L"Falha ao instalar: " + file.widePath;
  return FetchResult::kFailed;
}

}  // namespace

WayFetcher::WayFetcher(const FetchRun& fetchRun, std::function<void(const StagedFile&, uint64_t)> onReceived)
    : run(fetchRun), onReceived(std::move(onReceived)) {}

FetchResult WayFetcher::Fetch(const StagedFile& file, LogLines& log, std::wstring& error) {
  for (size_t way = 0; way + 1 < file.ways.size() && !run.stop.IsCancelled(); ++way) {
    std::string reason;
    if (FetchDecoded(file, file.ways[way], log, reason)) return FlushForPlacing(file, error);
    log.Warn(std::string("The ") + WayName(file.ways[way].kind) + " of " + file.entry.path +
             " was not used (" + reason + "), taking its " + WayName(file.ways[way + 1].kind));
  }
  return FetchWhole(file, log, error);
}

// The file itself, as the manifest lists it.
FetchResult WayFetcher::FetchWhole(const StagedFile& file, LogLines& log, std::wstring& error) {
  const TransferTarget whole = TargetOf(file, file.ways.back());
  LogDownloadStart(log, file, whole.url);
  TransferOutcome outcome = DownloadTarget(file, whole, log);
  std::string actualHash = outcome.result ? hasher.Finish() : "";
  // After a power cut a file may keep its length with zeros for data.
  if (outcome.result && outcome.continued && actualHash != file.entry.hash) {
    log.Warn("The continued download of " + file.entry.path +
             " does not match its hash, fetching it again from byte 0");
    RemoveFile(file.tempPath);
    const uint64_t fetchedBefore = outcome.fetched;
    outcome = DownloadTarget(file, whole, log);
    outcome.fetched += fetchedBefore;
    actualHash = outcome.result ? hasher.Finish() : "";
  }
  if (!outcome.result) {
    log.Error("Download failed for: " + file.entry.path + " (" + outcome.result.failure.reason + ")");
    RemoveFile(file.tempPath);
    if (!file.entry.required) return FetchResult::kOptionalMissing;
    error = L"Falha ao baixar: " + file.widePath;
    return FetchResult::kFailed;
  }
  log.Info("Download complete, size: " + std::to_string(outcome.received) + " bytes");
  if (!LogDigest(log, file.entry, actualHash)) {
    LogHashMismatch(log, file.entry, actualHash, outcome.received);
    error = L"Hash inválido para: " + file.widePath;
    RemoveFile(file.tempPath);
    return FetchResult::kFailed;
  }
  log.Info("Downloaded " + file.entry.path + " whole: " + std::to_string(outcome.fetched) + " bytes fetched");
  return FlushForPlacing(file, error);
}

// A patch or compressed copy: downloaded into the staging folder and decoded
// into the file's temp path, hashed as it is written. A forward patch is
// applied as it arrives (see DownloadApplying); anything else is decoded
// once its bytes match the SHA-256 that the index lists. Either way the
// result counts only when those bytes match and it matches the entry's hash.
// False with the reason; neither file stays then, and the artifact never.
bool WayFetcher::FetchDecoded(const StagedFile& file, const FetchWay& way, LogLines& log, std::string& reason) {
  const bool patch = way.kind == FetchWayKind::kPatch;
  const TransferTarget artifact = TargetOf(file, way);
  log.Info(patch ? "Downloading the patch of " + file.entry.path + " from " + HashPrefix(way.fromHash)
                 : "Downloading the compressed copy of " + file.entry.path);
  log.Debug("  URL: " + WideToUtf8(artifact.url));
  log.Debug("  Temp path: " + WideToUtf8(artifact.partialPath));
  if (!PrepareStagingPath(run.installPath, artifact.partialPath)) {
    reason = "the staging folder is behind a link";
    return false;
  }
  EarlyApply early;
  const TransferOutcome outcome =
      way.forward ? DownloadApplying(file, way, artifact, log, early) : DownloadTarget(file, artifact, log);
  if (!outcome.result) reason = outcome.result.failure.reason;
  // Nothing decoded counts, and no byte reaches a decoder afterwards, unless
  // the index bound to the manifest lists the bytes.
  const bool listed = outcome.result && hasher.Finish() == way.hash;
  if (outcome.result && !listed) reason = "its bytes do not match the index's SHA-256";
  bool decoded = false;
  if (listed && early.ran) {
    decoded = early.applied;
    if (!decoded) reason = early.reason;
  } else if (listed) {
    decoded = Decode(file, way, artifact.partialPath, reason);
  }
  decoded = decoded && Verified(file, way, early.ran, log, reason);
  RemoveFile(artifact.partialPath);
  if (!decoded) {
    RemoveFile(file.tempPath);
    return false;
  }
  log.Info((patch ? "Patched " + file.entry.path + " from " + HashPrefix(way.fromHash)
                  : "Downloaded " + file.entry.path + " compressed") +
           ": " + std::to_string(outcome.fetched) + " bytes fetched");
  return true;
}

// The download of a forward patch, while its apply into the file's temp
// path runs on the same thread as the patch's bytes arrive (see
// ArrivingFile). early.ran tells whether that apply stands: not when it could
// not start or the download wrote the patch again from an earlier byte; the
// caller then applies it after.
TransferOutcome WayFetcher::DownloadApplying(const StagedFile& file, const FetchWay& way,
                                             const TransferTarget& artifact, LogLines& log, EarlyApply& early) {
  ArrivingFile arriving;
  const bool started = arriving.Start([&] {
    std::wstring error;
    early.applied = RunCatchingExceptions(
        [&](std::wstring&) {
          return ApplyArrivingPatch({artifact.partialPath, way.size, arriving}, file.finalPath, Output(file),
                                    early.reason);
        },
        error);
    if (!error.empty()) early.reason = WideToUtf8(error);
  });
  if (!started) log.Warn("The patch of " + file.entry.path + " is applied after its download (no fiber)");
  const TransferOutcome outcome = DownloadTarget(file, artifact, log, started ? &arriving : nullptr);
  arriving.End();
  early.ran = started && !arriving.Rewritten();
  return outcome;
}

// Where the artifact of a file is decoded: its temp path, hashed by
// outputHasher, begun afresh.
DecodedFile WayFetcher::Output(const StagedFile& file) {
  outputHasher.Begin();
  return {file.tempPath, file.entry.size, outputHasher, run.stop};
}

// The downloaded artifact of way, applied to the installed file or inflated.
bool WayFetcher::Decode(const StagedFile& file, const FetchWay& way, const std::wstring& artifactPath,
                        std::string& reason) {
  return way.kind == FetchWayKind::kPatch ? ApplyPatchFile(artifactPath, file.finalPath, Output(file), reason)
                                          : InflateCopyFile(artifactPath, Output(file), reason);
}

// True once what was decoded matches the entry's hash.
bool WayFetcher::Verified(const StagedFile& file, const FetchWay& way, bool asItArrived, LogLines& log,
                          std::string& reason) {
  log.Info(std::string(way.kind == FetchWayKind::kPatch ? "Patch applied" : "Copy inflated") +
           (asItArrived ? " as it arrived" : "") + ", size: " + std::to_string(file.entry.size) + " bytes");
  if (LogDigest(log, file.entry, outputHasher.Finish())) return true;
  reason = "the result does not match the file's hash";
  return false;
}

TransferOutcome WayFetcher::DownloadTarget(const StagedFile& file, const TransferTarget& target, LogLines& log,
                                           ArrivingFile* arriving) {
  const TransferContext context{run.http, run.stop, [this, &file, arriving](uint64_t received) {
                                  onReceived(file, received);
                                  if (arriving) arriving->Report(received);
                                }};
  const TransferOutcome outcome = TransferResumable(context, target, hasher, log);
  run.fetchedBytes += outcome.fetched;
  return outcome;
}

TransferTarget WayFetcher::TargetOf(const StagedFile& file, const FetchWay& way) const {
  TransferTarget target;
  if (way.kind == FetchWayKind::kWhole) {
    target = {run.serverBaseUrl + file.widePath + (run.addNoCacheQuery ? NoCacheQuery() : L""), file.tempPath,
              L"", file.entry};
  } else {
    // Named by their contents, patches and copies may come from any cache.
    const StagedKind kind = way.kind == FetchWayKind::kPatch ? StagedKind::kPatch : StagedKind::kCompressedCopy;
    target = {run.serverBaseUrl + Utf8ToWide(way.urlPath), StagingPath(run.installPath, kind, file.widePath), L"",
              {way.urlPath, file.entry.hash, static_cast<uint32_t>(way.size), true}};
  }
  const std::wstring notePath = StagingPath(run.installPath, StagedKind::kNote, file.widePath);
  if (target.noted.size >= kResumableBytes && PrepareStagingPath(run.installPath, notePath)) {
    target.notePath = notePath;
  }
  return target;
}

}  // namespace zavex
