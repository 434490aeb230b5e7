#include "formats/placing_journal.h"

#include <algorithm>

#include "formats/manifest.h"

namespace zavex {
namespace {

constexpr std::string_view kHeader = "zavex placing journal 1\n";
constexpr std::string_view kNoHash = "-";
constexpr std::size_t kHashLength = 64;

bool IsHash(std::string_view text) {
  return text.size() == kHashLength && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

bool HasControlCharacter(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// The text up to the next blank, which is consumed; false without one.
bool TakeField(std::string_view& line, std::string_view& field) {
  const std::size_t blank = line.find(' ');
  if (blank == std::string_view::npos) return false;
  field = line.substr(0, blank);
  line.remove_prefix(blank + 1);
  return true;
}

bool ParseLine(std::string_view line, JournalEntry& entry) {
  std::string_view recorded;
  std::string_view fresh;
  if (!TakeField(line, recorded) || !TakeField(line, fresh)) return false;
  if (recorded != kNoHash && !IsHash(recorded)) return false;
  if (!IsHash(fresh) || line.empty() || HasControlCharacter(line)) return false;
  if (!StaysInsideInstallFolder(std::string(line))) return false;
  entry.path = std::string(line);
  entry.recordedHash = recorded == kNoHash ? std::string() : std::string(recorded);
  entry.newHash = std::string(fresh);
  return true;
}

}  // namespace

std::string SerializePlacingJournal(const std::vector<JournalEntry>& entries) {
  std::string text(kHeader);
  for (const JournalEntry& entry : entries) {
    if (HasControlCharacter(entry.path)) return "";
    text += entry.recordedHash.empty() ? std::string(kNoHash) : entry.recordedHash;
    text += ' ' + entry.newHash + ' ' + entry.path + '\n';
  }
  return text;
}

bool ParsePlacingJournal(std::string_view text, std::vector<JournalEntry>& entries) {
  entries.clear();
  if (text.substr(0, kHeader.size()) != kHeader || text.size() == kHeader.size()) return false;
  text.remove_prefix(kHeader.size());
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    JournalEntry entry;
    if (end == std::string_view::npos || !ParseLine(text.substr(0, end), entry)) {
      entries.clear();
      return false;
    }
    entries.push_back(std::move(entry));
    text.remove_prefix(end + 1);
  }
  return true;
}

}  // namespace zavex
