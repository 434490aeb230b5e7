#include "formats/label_alignment.h"

#include <algorithm>
#include <cstring>
#include <tuple>

namespace zavex {
namespace {

constexpr std::size_t kSeedSize = 16;
constexpr std::size_t kSeedStep = 4;
constexpr int kMostCandidates = 16;
constexpr std::int32_t kNoSeed = -1;

using Bytes = std::vector<std::uint8_t>;

// new[newStart, newStart + length) equals old[oldStart, oldStart + length).
struct Run {
  std::size_t newStart;
  std::size_t oldStart;
  std::size_t length;
};

struct Vote {
  std::uint32_t newLabel;
  std::uint32_t oldLabel;
  bool operator<(const Vote& other) const {
    return std::tie(newLabel, oldLabel) < std::tie(other.newLabel, other.oldLabel);
  }
};

struct Tally {
  std::size_t count;
  Vote vote;
};

Bytes WithOperandsBlanked(const LabelledImage& side) {
  Bytes bytes(side.data, side.data + side.size);
  for (const ExecutableReference& reference : side.references) {
    std::memset(bytes.data() + reference.fileOffset, 0, reference.width);
  }
  return bytes;
}

std::uint64_t SeedHash(const std::uint8_t* bytes) {
  std::uint64_t first = 0;
  std::uint64_t second = 0;
  std::memcpy(&first, bytes, sizeof(first));
  std::memcpy(&second, bytes + sizeof(first), sizeof(second));
  return ((first * 0x9E3779B97F4A7C15ull) ^ second) * 0xC2B2AE3D27D4EB4Full;
}

// The old file's seeds, every kSeedStep bytes, by hash.
class SeedTable {
 public:
  explicit SeedTable(const Bytes& old) {
    const std::size_t count = old.size() < kSeedSize ? 0 : (old.size() - kSeedSize) / kSeedStep + 1;
    while ((std::size_t{1} << bits_) < count) ++bits_;
    head_.assign(std::size_t{1} << bits_, kNoSeed);
    next_.assign(count, kNoSeed);
    for (std::size_t seed = 0; seed < count; ++seed) {
      const std::size_t slot = Slot(old.data() + seed * kSeedStep);
      next_[seed] = head_[slot];
      head_[slot] = static_cast<std::int32_t>(seed);
    }
  }

  // Old offsets whose seed may equal bytes[0, kSeedSize), at most kMostCandidates.
  template <typename Visit>
  void ForCandidates(const std::uint8_t* bytes, Visit visit) const {
    std::int32_t seed = head_[Slot(bytes)];
    for (int visited = 0; seed != kNoSeed && visited < kMostCandidates; ++visited, seed = next_[seed]) {
      visit(static_cast<std::size_t>(seed) * kSeedStep);
    }
  }

 private:
  std::size_t Slot(const std::uint8_t* bytes) const {
    return static_cast<std::size_t>(SeedHash(bytes) >> (64 - bits_));
  }

  unsigned bits_ = 1;
  std::vector<std::int32_t> head_;
  std::vector<std::int32_t> next_;
};

std::size_t CommonLength(const Bytes& old, std::size_t oldStart, const Bytes& newer, std::size_t newStart) {
  std::size_t length = 0;
  while (oldStart + length < old.size() && newStart + length < newer.size() &&
         old[oldStart + length] == newer[newStart + length]) {
    ++length;
  }
  return length;
}

// Greedy runs of equal bytes, in ascending and disjoint new ranges.
std::vector<Run> MatchingRuns(const Bytes& old, const Bytes& newer) {
  const SeedTable table(old);
  std::vector<Run> runs;
  std::size_t position = 0;
  std::size_t covered = 0;
  while (position + kSeedSize <= newer.size()) {
    Run best{position, 0, 0};
    table.ForCandidates(newer.data() + position, [&](std::size_t oldStart) {
      const std::size_t length = CommonLength(old, oldStart, newer, position);
      if (length > best.length) best = Run{position, oldStart, length};
    });
    if (best.length < kSeedSize) {
      ++position;
      continue;
    }
    while (best.newStart > covered && best.oldStart > 0 && old[best.oldStart - 1] == newer[best.newStart - 1]) {
      --best.newStart;
      --best.oldStart;
      ++best.length;
    }
    runs.push_back(best);
    position = best.newStart + best.length;
    covered = position;
  }
  return runs;
}

// The old offset of new bytes [offset, offset + size) that lie in one run.
bool OldOffsetOf(const std::vector<Run>& runs, std::size_t offset, std::size_t size, std::size_t& oldOffset) {
  auto after = std::upper_bound(runs.begin(), runs.end(), offset,
                                [](std::size_t value, const Run& run) { return value < run.newStart; });
  if (after == runs.begin()) return false;
  const Run& run = *(after - 1);
  if (offset + size > run.newStart + run.length) return false;
  oldOffset = run.oldStart + (offset - run.newStart);
  return true;
}

const ExecutableReference* ReferenceAt(const std::vector<ExecutableReference>& references, std::size_t fileOffset) {
  auto found = std::lower_bound(references.begin(), references.end(), fileOffset,
                                [](const ExecutableReference& reference, std::size_t value) {
                                  return reference.fileOffset < value;
                                });
  return found != references.end() && found->fileOffset == fileOffset ? &*found : nullptr;
}

void VoteByReferences(const LabelledImage& old, const LabelledImage& newer, const std::vector<Run>& runs,
                      std::vector<Vote>& votes) {
  for (const ExecutableReference& reference : newer.references) {
    std::size_t oldOffset = 0;
    if (!OldOffsetOf(runs, reference.fileOffset, reference.width, oldOffset)) continue;
    const ExecutableReference* oldReference = ReferenceAt(old.references, oldOffset);
    if (oldReference == nullptr || oldReference->width != reference.width ||
        oldReference->kind != reference.kind) {
      continue;
    }
    votes.push_back({LabelIndex(newer.labels, reference.target), LabelIndex(old.labels, oldReference->target)});
  }
}

void VoteByTargets(const LabelledImage& old, const LabelledImage& newer, const std::vector<Run>& runs,
                   std::vector<Vote>& votes) {
  for (std::uint32_t label = 0; label < newer.labels.size(); ++label) {
    std::uint32_t newOffset = 0;
    std::size_t oldOffset = 0;
    std::uint32_t oldTarget = 0;
    if (!newer.image.OffsetOfRva(newer.labels[label], 1, newOffset) || !OldOffsetOf(runs, newOffset, 1, oldOffset) ||
        !old.image.RvaOfOffset(oldOffset, oldTarget)) {
      continue;
    }
    const std::uint32_t oldLabel = LabelIndex(old.labels, oldTarget);
    if (oldLabel != kNoLabel) votes.push_back({label, oldLabel});
  }
}

std::vector<Tally> CountVotes(std::vector<Vote>& votes) {
  std::sort(votes.begin(), votes.end());
  std::vector<Tally> tallies;
  for (std::size_t start = 0, end = 0; start < votes.size(); start = end) {
    end = start;
    while (end < votes.size() && !(votes[start] < votes[end])) ++end;
    tallies.push_back({end - start, votes[start]});
  }
  std::stable_sort(tallies.begin(), tallies.end(), [](const Tally& a, const Tally& b) { return a.count > b.count; });
  return tallies;
}

// Pairs a new label left without one with the old label at its RVA less the
// shift of the closest paired label below it, when that one is free.
void PairByNeighbours(const LabelledImage& old, const LabelledImage& newer, std::vector<std::uint32_t>& pairs,
                      std::vector<bool>& oldTaken) {
  std::int64_t shift = 0;
  for (std::size_t label = 0; label < newer.labels.size(); ++label) {
    if (pairs[label] != kNoLabel) {
      shift = std::int64_t{newer.labels[label]} - old.labels[pairs[label]];
      continue;
    }
    const std::int64_t oldTarget = std::int64_t{newer.labels[label]} - shift;
    if (oldTarget < 0 || oldTarget > std::int64_t{0xFFFFFFFF}) continue;
    const std::uint32_t oldLabel = LabelIndex(old.labels, static_cast<std::uint32_t>(oldTarget));
    if (oldLabel == kNoLabel || oldTaken[oldLabel]) continue;
    pairs[label] = oldLabel;
    oldTaken[oldLabel] = true;
  }
}

}  // namespace

std::vector<std::uint32_t> LabelsOf(const std::vector<ExecutableReference>& references) {
  std::vector<std::uint32_t> labels;
  labels.reserve(references.size());
  for (const ExecutableReference& reference : references) labels.push_back(reference.target);
  std::sort(labels.begin(), labels.end());
  labels.erase(std::unique(labels.begin(), labels.end()), labels.end());
  return labels;
}

std::uint32_t LabelIndex(const std::vector<std::uint32_t>& labels, std::uint32_t target) {
  auto found = std::lower_bound(labels.begin(), labels.end(), target);
  if (found == labels.end() || *found != target) return kNoLabel;
  return static_cast<std::uint32_t>(found - labels.begin());
}

std::vector<std::uint32_t> AlignLabels(const LabelledImage& old, const LabelledImage& newer) {
  const std::vector<Run> runs = MatchingRuns(WithOperandsBlanked(old), WithOperandsBlanked(newer));
  std::vector<Vote> votes;
  VoteByReferences(old, newer, runs, votes);
  VoteByTargets(old, newer, runs, votes);
  std::vector<std::uint32_t> pairs(newer.labels.size(), kNoLabel);
  std::vector<bool> oldTaken(old.labels.size(), false);
  for (const Tally& tally : CountVotes(votes)) {
    if (pairs[tally.vote.newLabel] != kNoLabel || oldTaken[tally.vote.oldLabel]) continue;
    pairs[tally.vote.newLabel] = tally.vote.oldLabel;
    oldTaken[tally.vote.oldLabel] = true;
  }
  PairByNeighbours(old, newer, pairs, oldTaken);
  return pairs;
}

}  // namespace zavex
