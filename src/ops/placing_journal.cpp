#include "ops/placing_journal.h"

#include <windows.h>

#include "base/logger.h"
#include "base/product.h"
#include "base/text_conversion.h"
#include "formats/path_index.h"
#include "formats/placing_journal.h"
#include "formats/windows_file_name.h"
#include "ops/installed_manifest.h"
#include "ops/placing_phase.h"
#include "platform/file_system.h"
#include "platform/held_executable.h"
#include "platform/link_safe_file.h"
#include "platform/link_safe_removal.h"
#include "platform/manifest_file.h"
#include "platform/sha256_hasher.h"

namespace zavex {
namespace {

// A journal lists paths and hashes: far below this for any release.
constexpr std::size_t kMaxJournalBytes = std::size_t{64} * 1024 * 1024;

// The record's hash of each file, empty for one it does not list.
std::vector<JournalEntry> JournalEntries(const Manifest& installed,
                                         const std::vector<const StagedFile*>& files) {
  std::vector<ManifestFile> placed;
  for (const StagedFile* file : files) placed.push_back(file->entry);
  std::vector<JournalEntry> entries;
  PathIndex(installed.files).ForEachMatch(placed, [&](const ManifestFile& file,
                                                      const ManifestFile* recorded) {
    entries.push_back(JournalEntry{file.path, recorded ? recorded->hash : "", file.hash});
  });
  return entries;
}

bool DeleteThroughHandle(HANDLE file) {
  FILE_DISPOSITION_INFO disposition = {TRUE};
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                    sizeof(disposition)) != FALSE;
}

enum class JournalRead { kNone, kHeldByAnotherRun, kMalformed, kRead };

// Opens the journal as itself, never through a link, for reading and
// deleting, sharing nothing.
JournalRead OpenJournal(const std::wstring& path, UniqueFile& file) {
  file.reset(CreateFileW(path.c_str(), GENERIC_READ | DELETE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (file) return JournalRead::kRead;
  const DWORD code = GetLastError();
  if (code == ERROR_SHARING_VIOLATION) return JournalRead::kHeldByAnotherRun;
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return JournalRead::kNone;
  Logger::Instance().Warn("The placing journal cannot be opened" + WindowsErrorText(code));
  return JournalRead::kMalformed;
}

JournalRead ReadJournal(HANDLE file, std::vector<JournalEntry>& entries) {
  std::string text;
  if (!ReadOpenedFileAsItself(file, kMaxJournalBytes, text)) return JournalRead::kMalformed;
  return ParsePlacingJournal(text, entries) ? JournalRead::kRead : JournalRead::kMalformed;
}

// The placing never writes these: a journal naming one is not its own.
bool NamesReservedFile(const std::vector<JournalEntry>& entries) {
  for (const JournalEntry& entry : entries) {
    if (NameSameFile(entry.path, kPlacingJournalName) ||
        NameSameFile(entry.path, WideToUtf8(kManifestFileName))) {
      return true;
    }
  }
  return false;
}

bool HasHash(const std::wstring& path, const std::string& hash) {
  return !hash.empty() && Sha256Hasher().HashFile(path) == hash;
}

// A cut placing's journal with the record that names its new files already:
// the record was saved, only the leftovers were not yet deleted.
bool RecordNamesNewFiles(const Manifest& record, const std::vector<JournalEntry>& entries) {
  std::vector<ManifestFile> placed;
  for (const JournalEntry& entry : entries) placed.push_back(ManifestFile{entry.path, entry.newHash});
  bool named = true;
  PathIndex(record.files).ForEachMatch(placed, [&](const ManifestFile& file,
                                                   const ManifestFile* recorded) {
    named = named && recorded && recorded->hash == file.hash;
  });
  return named;
}

struct UndoCounts {
  int putBack = 0;
  int removed = 0;
  int failed = 0;
};

// A file in use (a running program, this one among them) cannot be replaced
// but can be renamed: it moves aside under a ".tmp" name, which a later run
// deletes once the file is no longer in use. It comes back when ".old"
// cannot take its place.
bool PutBackBesideFileInUse(const std::wstring& finalPath) {
  const std::wstring aside = finalPath + L".undone.tmp";
  if (!MoveFileExW(finalPath.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING)) return false;
  if (MoveFileW(PreviousVersionPath(finalPath).c_str(), finalPath.c_str())) return true;
  const DWORD code = GetLastError();
  MoveFileW(aside.c_str(), finalPath.c_str());
  SetLastError(code);
  return false;
}

void PutBack(const std::wstring& finalPath, const std::string& path, UndoCounts& counts) {
  StopHoldingIfAt(finalPath);
  if (PutPreviousBack(finalPath) || PutBackBesideFileInUse(finalPath)) {
    Logger::Instance().Warn("Restored from .old: " + path);
    ++counts.putBack;
    return;
  }
  Logger::Instance().Error("Could not put back " + path + " from .old" +
                           WindowsErrorText(GetLastError()));
  ++counts.failed;
}

// A file that the cut placing added: no ".old", no ".tmp" left, the new
// content, which the record does not list for it.
bool WasAddedByPlacing(const std::wstring& finalPath, const JournalEntry& entry) {
  return entry.recordedHash != entry.newHash && !IsExistingFile(finalPath + L".tmp") &&
         IsExistingFile(finalPath) && HasHash(finalPath, entry.newHash);
}

void UndoEntry(const std::wstring& installPath, const JournalEntry& entry, UndoCounts& counts) {
  const std::wstring finalPath = installPath + L"\\" + Utf8ToWide(entry.path);
  if (PathCrossesLink(installPath, finalPath)) {
    Logger::Instance().Warn("Not undone, behind a link: " + entry.path);
    return;
  }
  if (IsExistingFile(PreviousVersionPath(finalPath))) {
    PutBack(finalPath, entry.path, counts);
  } else if (WasAddedByPlacing(finalPath, entry)) {
    if (RemoveFile(finalPath)) {
      Logger::Instance().Warn("Removed " + entry.path + ", which the interrupted update added");
      ++counts.removed;
    } else {
      ++counts.failed;
    }
  }
}

// Deletes the ".old" (when the record is the new one) and ".tmp" files of
// the journal's paths.
void DeleteLeftoversOf(const std::wstring& installPath, const std::vector<JournalEntry>& entries,
                       bool previousVersionsToo) {
  for (const JournalEntry& entry : entries) {
    const std::wstring finalPath = installPath + L"\\" + Utf8ToWide(entry.path);
    if (PathCrossesLink(installPath, finalPath)) continue;
    RemoveFile(finalPath + L".tmp");
    if (previousVersionsToo) RemoveFile(PreviousVersionPath(finalPath));
  }
}

// False when a file could not be put back: the journal then stays for the
// next start.
bool UndoFromJournal(const std::wstring& installPath, const std::vector<JournalEntry>& entries) {
  Logger& log = Logger::Instance();
  const Manifest record = LoadManifestFile(InstalledManifestPath(installPath));
  if (RecordNamesNewFiles(record, entries)) {
    log.Warn("The interrupted update had saved its record; deleting what it left");
    DeleteLeftoversOf(installPath, entries, true);
    return true;
  }
  log.Warn("Found the journal of an interrupted update: undoing it");
  UndoCounts counts;
  for (const JournalEntry& entry : entries) UndoEntry(installPath, entry, counts);
  if (counts.failed > 0) {
    log.Error("The interrupted update could not be undone: " + std::to_string(counts.failed) +
              " files stay new; trying again at the next start");
    return false;
  }
  DeleteLeftoversOf(installPath, entries, false);
  log.Warn("The interrupted update was undone (files put back from .old: " +
           std::to_string(counts.putBack) + ", files it added removed: " +
           std::to_string(counts.removed) + ")");
  return true;
}

// A build before the journal left no list: the hashes tell a swapped file.
void UndoByHashes(const std::wstring& installPath) {
  const Manifest record = LoadManifestFile(InstalledManifestPath(installPath));
  UndoCounts counts;
  for (const ManifestFile& file : record.files) {
    if (!StaysInsideInstallFolder(file.path)) continue;
    const std::wstring finalPath = installPath + L"\\" + Utf8ToWide(file.path);
    const std::wstring oldPath = PreviousVersionPath(finalPath);
    if (!IsExistingFile(oldPath) || PathCrossesLink(installPath, finalPath)) continue;
    const bool swapped = !IsExistingFile(finalPath) ||
                         (HasHash(oldPath, file.hash) && !HasHash(finalPath, file.hash));
    if (!swapped) continue;
    PutBack(finalPath, file.path, counts);
  }
  if (counts.putBack > 0 && counts.failed == 0) {
    Logger::Instance().Warn("The interrupted update was undone (files put back from .old: " +
                            std::to_string(counts.putBack) + ")");
  }
}

}  // namespace

std::wstring PlacingJournalPath(const std::wstring& installPath) {
  return installPath + L"\\" + Utf8ToWide(kPlacingJournalName);
}

bool PlacingJournal::Write(const std::wstring& installPath, const Manifest& installed,
                           const std::vector<const StagedFile*>& files) {
  path = PlacingJournalPath(installPath);
  const std::string text = SerializePlacingJournal(JournalEntries(installed, files));
  // A journal left behind, or a link of its name, goes as itself first.
  DeleteFileW(path.c_str());
  file.reset(CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                         CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  if (!text.empty() && file &&
      WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
      written == text.size() && FlushFileBuffers(file.get())) {
    return true;
  }
  Logger::Instance().Error("Failed to write the placing journal" +
                           WindowsErrorText(GetLastError()));
  if (file) DeleteThroughHandle(file.get());
  file.reset();
  return false;
}

void PlacingJournal::Remove() {
  if (!file) return;
  const bool deleted = DeleteThroughHandle(file.get());
  file.reset();
  BestEffort(deleted || RemoveFile(path), "Deleting the placing journal");
}

void UndoCutPlacing(const std::wstring& installPath) {
  const std::wstring path = PlacingJournalPath(installPath);
  UniqueFile journal;
  JournalRead state = OpenJournal(path, journal);
  if (state == JournalRead::kHeldByAnotherRun) {
    Logger::Instance().Warn("Another run is placing files in this folder: left alone");
    return;
  }
  if (state == JournalRead::kNone) return UndoByHashes(installPath);
  std::vector<JournalEntry> entries;
  if (state == JournalRead::kRead) state = ReadJournal(journal.get(), entries);
  if (state == JournalRead::kRead && NamesReservedFile(entries)) state = JournalRead::kMalformed;
  if (state == JournalRead::kMalformed) {
    Logger::Instance().Warn("Removed a malformed placing journal without acting on it");
  } else if (!UndoFromJournal(installPath, entries)) {
    return;
  }
  if (!journal || !DeleteThroughHandle(journal.get())) {
    journal.reset();
    BestEffort(RemoveFile(path), "Deleting the placing journal");
  }
  if (state == JournalRead::kMalformed) UndoByHashes(installPath);
}

}  // namespace zavex
