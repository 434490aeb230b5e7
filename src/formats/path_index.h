#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "formats/manifest.h"

namespace zavex {

// Index from path to the first entry of a file list that names the same file
// as Windows sees it (NameSameFile). Built and queried in bulk over flat open
// addressing, with the memory each lookup needs fetched some entries ahead, so
// that lists of 100,000 files cost little more per entry than short ones. The
// list must outlive the index, unchanged.
class PathIndex {
 public:
  explicit PathIndex(const std::vector<ManifestFile>& files);

  // Calls visit(probe, match) for each entry of probes, in order, with the
  // first indexed entry naming the same file, or null. Each call follows its
  // lookup at once, while the match's memory is fresh in the cache.
  template <typename Visit>
  void ForEachMatch(const std::vector<ManifestFile>& probes, Visit visit) const {
    const std::vector<std::size_t> pathHashes = PathHashes(probes);
    for (std::size_t probe = 0; probe < probes.size(); ++probe) {
      FetchAheadOfProbe(pathHashes, probe);
      visit(probes[probe], Match(probes[probe].path, pathHashes[probe]));
    }
  }

 private:
  struct Slot {
    std::uint32_t hashTag = 0;
    std::uint32_t entryPlusOne = 0;  // 0: empty
  };

  static std::vector<std::size_t> PathHashes(const std::vector<ManifestFile>& files);
  const ManifestFile* Match(const std::string& path, std::size_t pathHash) const;
  // Index of the slot holding path, or of the empty slot where it belongs.
  std::size_t SlotOf(const std::string& path, std::size_t pathHash) const;
  // The entry in the first slot that a path with this hash probes, if any.
  const ManifestFile* FirstCandidate(std::size_t pathHash) const;
  void FetchSlot(std::size_t pathHash) const;
  void FetchAheadOfProbe(const std::vector<std::size_t>& pathHashes, std::size_t probe) const;

  const std::vector<ManifestFile>& files;
  std::vector<Slot> slots;
  std::size_t mask = 0;
};

}  // namespace zavex
