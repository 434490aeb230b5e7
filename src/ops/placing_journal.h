#pragma once

#include <string>
#include <vector>

#include "formats/manifest.h"
#include "ops/download_phase.h"
#include "platform/unique_handle.h"

namespace zavex {

// installPath\zavex_placing.journal.
std::wstring PlacingJournalPath(const std::wstring& installPath);

// The journal of one placing (formats/placing_journal.h). It stays open,
// shared for reading only, from its writing to its removal, so that another
// run tells a placing under way from one that a kill or a power cut ended.
class PlacingJournal {
 public:
  // Lists files with the hashes that installed records for them, at the top
  // of installPath, flushed to disk; false when it could not be written.
  bool Write(const std::wstring& installPath, const Manifest& installed,
             const std::vector<const StagedFile*>& files);
  // Deletes the journal once the record is saved and the leftovers are
  // deleted; a journal that stays is logged as a WARN.
  void Remove();

 private:
  UniqueFile file;
  std::wstring path;
};

// At the start of every mode that may write the installation: a journal left
// by a cut placing puts every swapped file back from its ".old", removes the
// files that placing added, deletes its ".tmp" files and then the journal;
// when the record names the placing's new files already, only the leftovers
// go. Without a journal, a listed file that is missing, or whose ".old" has
// the recorded hash while it has not, is put back. A journal that another run
// holds open is left alone; one that is malformed or names a path outside the
// folder is removed without acting on it.
void UndoCutPlacing(const std::wstring& installPath);

}  // namespace zavex
