// libFuzzer target: the placing journal reader accepts exactly the texts that
// the writer produces.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "formats/placing_journal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<zavex::JournalEntry> entries;
  if (!zavex::ParsePlacingJournal(input, entries)) return 0;
  if (entries.empty() || zavex::SerializePlacingJournal(entries) != input) __builtin_trap();
  return 0;
}
