#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zavex {

// The file at the top of the installation folder that says a placing is under
// way: written and flushed before the first file is swapped, removed once the
// record is saved and the leftovers are deleted.
inline constexpr char kPlacingJournalName[] = "zavex_placing.journal";

// One file that a placing puts in place.
struct JournalEntry {
  std::string path;          // as the manifest writes it
  std::string recordedHash;  // the record's hash of the path; empty when it lists none
  std::string newHash;
};

// The journal's text: a header line, then one line per entry, the recorded
// hash ("-" for none), the new hash and the path, separated by one blank,
// each line ended by LF. Empty when a path holds a control character.
std::string SerializePlacingJournal(const std::vector<JournalEntry>& entries);

// Reads exactly what SerializePlacingJournal writes, with at least one entry,
// hashes of 64 lowercase hexadecimal digits and paths that stay inside the
// installation folder. False for anything else, with entries left empty.
bool ParsePlacingJournal(std::string_view text, std::vector<JournalEntry>& entries);

}  // namespace zavex
