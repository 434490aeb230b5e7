#include "formats/path_index.h"

#include "formats/windows_file_name.h"

namespace zavex {
namespace {

// How many entries ahead each step of a lookup is fetched, to overlap the
// memory waits of successive entries.
constexpr std::size_t kFetchDistance = 16;

// A power of two at least twice count, so probe runs stay short.
std::size_t SlotCountFor(std::size_t count) {
  std::size_t slots = 16;
  while (slots < 2 * count) slots *= 2;
  return slots;
}

std::uint32_t HashTag(std::size_t pathHash) { return static_cast<std::uint32_t>(pathHash); }

// Texts of a few dozen bytes may straddle two cache lines.
void FetchText(const std::string& text) {
  __builtin_prefetch(text.data());
  if (!text.empty()) __builtin_prefetch(text.data() + text.size() - 1);
}

}  // namespace

PathIndex::PathIndex(const std::vector<ManifestFile>& files)
    : files(files), slots(SlotCountFor(files.size())), mask(slots.size() - 1) {
  const std::vector<std::size_t> pathHashes = PathHashes(files);
  for (std::size_t entry = 0; entry < files.size(); ++entry) {
    if (entry + kFetchDistance < files.size()) FetchSlot(pathHashes[entry + kFetchDistance]);
    Slot& slot = slots[SlotOf(files[entry].path, pathHashes[entry])];
    if (slot.entryPlusOne != 0) continue;  // a repeated path: the first entry stays
    slot.hashTag = HashTag(pathHashes[entry]);
    slot.entryPlusOne = static_cast<std::uint32_t>(entry + 1);
  }
}

std::vector<std::size_t> PathIndex::PathHashes(const std::vector<ManifestFile>& files) {
  std::vector<std::size_t> hashes;
  hashes.reserve(files.size());
  for (const ManifestFile& file : files) {
    hashes.push_back(FileNameHash(file.path));
  }
  return hashes;
}

const ManifestFile* PathIndex::Match(const std::string& path, std::size_t pathHash) const {
  const Slot& slot = slots[SlotOf(path, pathHash)];
  return slot.entryPlusOne == 0 ? nullptr : &files[slot.entryPlusOne - 1];
}

std::size_t PathIndex::SlotOf(const std::string& path, std::size_t pathHash) const {
  const std::uint32_t tag = HashTag(pathHash);
  for (std::size_t index = pathHash & mask;; index = (index + 1) & mask) {
    const Slot& slot = slots[index];
    if (slot.entryPlusOne == 0) return index;
    if (slot.hashTag == tag && NameSameFile(files[slot.entryPlusOne - 1].path, path)) return index;
  }
}

const ManifestFile* PathIndex::FirstCandidate(std::size_t pathHash) const {
  const Slot& slot = slots[pathHash & mask];
  return slot.entryPlusOne == 0 ? nullptr : &files[slot.entryPlusOne - 1];
}

void PathIndex::FetchSlot(std::size_t pathHash) const {
  __builtin_prefetch(&slots[pathHash & mask]);
}

// A lookup reads a slot, then the entry it names, then that entry's texts;
// each is fetched for a later probe once the step before it has arrived.
// The hash text is fetched too: GetFilesToUpdate compares it next.
void PathIndex::FetchAheadOfProbe(const std::vector<std::size_t>& pathHashes,
                                  std::size_t probe) const {
  const std::size_t count = pathHashes.size();
  if (probe + 3 * kFetchDistance < count) FetchSlot(pathHashes[probe + 3 * kFetchDistance]);
  if (probe + 2 * kFetchDistance < count) {
    if (const ManifestFile* entry = FirstCandidate(pathHashes[probe + 2 * kFetchDistance])) {
      // An entry may straddle two cache lines.
      __builtin_prefetch(&entry->path);
      __builtin_prefetch(&entry->hash);
    }
  }
  if (probe + kFetchDistance < count) {
    if (const ManifestFile* entry = FirstCandidate(pathHashes[probe + kFetchDistance])) {
      FetchText(entry->path);
      FetchText(entry->hash);
    }
  }
}

}  // namespace zavex
