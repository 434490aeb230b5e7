#include "ops/resumable_transfer.h"

#include "ops/request_retry.h"
#include "platform/file_system.h"
#include "platform/manifest_file.h"

namespace zavex {
namespace {

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

// The bytes of a partial download that an earlier run left for this one,
// added to hasher; 0 when there is none, or it was left for another and is
// discarded. Large downloads get a note of what they are, so that a run
// that ends early leaves what the next one may continue.
uint64_t AdoptPartialFile(Sha256Hasher& hasher, const TransferTarget& target, LogLines& log) {
  const bool noted = !target.notePath.empty();
  uint64_t kept = 0;
  if (noted && IsExistingFile(target.partialPath) &&
      IsNoteOf(LoadManifestFile(target.notePath), target.noted)) {
    if (hasher.AddFile(target.partialPath, kept) && kept <= target.noted.size) {
      log.Info("Continuing the partial download of " + target.noted.path + " at byte " +
               std::to_string(kept));
      return kept;
    }
    hasher.Begin();
  }
  RemoveFile(target.partialPath);
  if (noted) WriteWholeFile(target.notePath, NoteOf(target.noted));
  return 0;
}

// The attempts of one download. outcome.received counts the bytes in its
// partial file, all of them added to hasher.
void Transfer(const TransferContext& context, const TransferTarget& target, Sha256Hasher& hasher,
              TransferOutcome& outcome, LogLines& log) {
  DownloadLimits limits;
  limits.size = target.noted.size;
  limits.onBodyStart = [&](uint64_t offset) {
    outcome.continued = offset > 0;
    if (offset > 0) return;
    hasher.Begin();
    outcome.received = 0;
    context.onReceived(0);
  };
  const auto onChunk = [&](std::string_view chunk, uint32_t, uint32_t) {
    if (context.stop.IsCancelled()) return false;
    hasher.Add(chunk);
    outcome.received += chunk.size();
    outcome.fetched += chunk.size();
    context.onReceived(outcome.received);
    return true;
  };
  DownloadResult& result = outcome.result;
  const auto attempt = [&](RequestFailure& failure) {
    // A partial file already whole needs no request.
    if (outcome.received > 0 && outcome.received == target.noted.size) {
      result = DownloadResult();
      result.success = true;
      return true;
    }
    limits.resumeFrom = outcome.received;
    result = context.http.DownloadFile(target.url, target.partialPath, onChunk, &context.stop, limits);
    if (result.restartWhole) outcome.received = 0;
    failure = result.failure;
    return result.success;
  };
  RetryTransientFailures(target.noted.path, &context.stop, log, attempt,
                         {[&outcome] { return outcome.received; }, [&outcome] { return outcome.fetched; },
                          target.noted.size});
}

}  // namespace

TransferOutcome TransferResumable(const TransferContext& context, const TransferTarget& target,
                                  Sha256Hasher& hasher, LogLines& log) {
  TransferOutcome outcome;
  hasher.Begin();
  outcome.received = AdoptPartialFile(hasher, target, log);
  outcome.continued = outcome.received > 0;
  context.onReceived(outcome.received);
  Transfer(context, target, hasher, outcome, log);
  if (!target.notePath.empty()) RemoveFile(target.notePath);
  return outcome;
}

}  // namespace zavex
