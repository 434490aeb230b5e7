#include "formats/binary_diff.h"

#include <algorithm>

#include "formats/binary_patch.h"

namespace zavex {
namespace {

constexpr std::int64_t kSeedLength = 16;
constexpr std::int64_t kSampleStep = 8;
// Exact matches are measured up to this length: enough to tell a new
// alignment from the current one, and it bounds the work per seed.
constexpr std::int64_t kMaxMeasured = 1 << 16;
constexpr std::int64_t kNearShift = 16;
constexpr std::uint32_t kHashBase = 0x01000193;
constexpr std::int64_t kProgressStep = 1 << 20;
// A forward patch takes a match that leaps past its seeds' reach only when
// it is at least this long: a leap gives up the old bytes it passes.
constexpr std::int64_t kLeapLength = 128;
constexpr std::size_t kPieceSize = 16384;

constexpr std::uint32_t TopPower() {
  std::uint32_t power = 1;
  for (std::int64_t index = 1; index < kSeedLength; ++index) power *= kHashBase;
  return power;
}

std::uint32_t SeedHash(const std::uint8_t* bytes) {
  std::uint32_t hash = 0;
  for (std::int64_t index = 0; index < kSeedLength; ++index) hash = hash * kHashBase + bytes[index];
  return hash;
}

// The seeds of the old file: for every kSampleStep-th position, its position
// under the hash of the kSeedLength bytes there. One position per slot, the
// first that is still wanted; later ones with the same slot are forgotten.
class SeedIndex {
 public:
  SeedIndex(const std::uint8_t* data, std::int64_t size) : data_(data), size_(size) {
    const std::int64_t samples = size / kSampleStep + 1;
    while ((std::int64_t{1} << bits_) < 2 * samples) ++bits_;
    slots_.assign(std::size_t{1} << bits_, 0);
  }

  // Indexes the seeds that start before end, each taking its slot when
  // empty or holding a position before floor.
  void IndexUpTo(std::int64_t end, std::int64_t floor) {
    for (; next_ < end && next_ + kSeedLength <= size_; next_ += kSampleStep) {
      std::uint32_t& slot = slots_[Slot(SeedHash(data_ + next_))];
      if (slot == 0 || static_cast<std::int64_t>(slot) - 1 < floor) slot = static_cast<std::uint32_t>(next_ + 1);
    }
  }

  // A position whose seed may hash to hash, or -1.
  std::int64_t Find(std::uint32_t hash) const { return static_cast<std::int64_t>(slots_[Slot(hash)]) - 1; }

 private:
  std::size_t Slot(std::uint32_t hash) const { return (hash * 0x9E3779B1u) >> (32 - bits_); }

  const std::uint8_t* data_;
  std::int64_t size_;
  std::int64_t next_ = 0;  // the next position to index
  unsigned bits_ = 1;
  std::vector<std::uint32_t> slots_;  // position + 1, 0 for none
};

// The bsdiff scan with sampled seeds for its matches.
class Differ {
 public:
  Differ(const std::uint8_t* oldData, std::int64_t oldSize, const std::uint8_t* newData, std::int64_t newSize,
         PatchFormat format, const DiffProgress& progress)
      : old_(oldData),
        oldSize_(oldSize),
        new_(newData),
        newSize_(newSize),
        forward_(format == PatchFormat::kForward),
        progress_(progress),
        index_(oldData, oldSize),
        recent_(oldData, forward_ ? oldSize : 0),
        writer_(static_cast<std::uint64_t>(oldSize), static_cast<std::uint64_t>(newSize), format) {
    index_.IndexUpTo(oldSize, 0);
  }

  std::vector<std::uint8_t> Run() {
    std::int64_t scan = 0;
    std::int64_t length = 0;
    std::int64_t matchPosition = 0;
    std::int64_t nextReport = kProgressStep;
    while (scan < newSize_) {
      // Matches with the current alignment in [scan, counted).
      std::int64_t oldScore = 0;
      std::int64_t counted = scan += length;
      for (; scan < newSize_; ++scan) {
        length = MatchAt(scan, matchPosition);
        counted = std::max(counted, scan);
        for (; counted < scan + length; ++counted) oldScore += MatchesAligned(counted);
        if ((length == oldScore && length != 0) || length > oldScore + 8) break;
        if (scan < counted) oldScore -= MatchesAligned(scan);
      }
      if (length != oldScore || scan == newSize_) Emit(scan, matchPosition);
      if (progress_ && scan >= nextReport) {
        progress_(static_cast<std::uint64_t>(std::min(scan, newSize_)));
        nextReport = scan + kProgressStep;
      }
    }
    return writer_.Finish();
  }

 private:
  int MatchesAligned(std::int64_t newPosition) const {
    const std::int64_t oldPosition = newPosition + lastOffset_;
    return oldPosition >= 0 && oldPosition < oldSize_ && old_[oldPosition] == new_[newPosition];
  }

  // The lowest old position where the next add may start, when the pending
  // one ends by pendingEnd: 0, or for a forward patch kPatchWindowBytes
  // before the end of the furthest add.
  std::int64_t WindowFloor(std::int64_t pendingEnd) const {
    return forward_ ? std::max(furthest_, pendingEnd) - static_cast<std::int64_t>(kPatchWindowBytes) : 0;
  }

  // Where a match may start: not before floor, and past leapFrom only when
  // kLeapLength long.
  struct Reach {
    std::int64_t floor;
    std::int64_t leapFrom;
  };

  // For a forward patch, indexes the recent seeds up to the reach, which
  // assumes that the pending add ends where it now does; Emit shortens it
  // when it ends further.
  Reach ReachAt(std::int64_t scan) {
    if (!forward_) return {0, INT64_MAX};
    const std::int64_t floor = WindowFloor(lastPosition_ + ForwardLength(scan));
    const std::int64_t leapFrom = floor + static_cast<std::int64_t>(kPatchWindowBytes) + kForwardLookaheadBytes;
    recent_.IndexUpTo(leapFrom, floor);
    return {floor, leapFrom};
  }

  // The length of the exact match at scan that a seed points to, 0 when none.
  std::int64_t MatchAt(std::int64_t scan, std::int64_t& matchPosition) {
    if (newSize_ - scan < kSeedLength) return 0;
    const Reach reach = ReachAt(scan);
    if (scan == hashedAt_ + 1) {
      hash_ = (hash_ - new_[scan - 1] * TopPower()) * kHashBase + new_[scan + kSeedLength - 1];
    } else if (scan != hashedAt_) {
      hash_ = SeedHash(new_ + scan);
    }
    hashedAt_ = scan;
    const std::int64_t candidate = index_.Find(hash_);
    const std::int64_t recent = forward_ ? recent_.Find(hash_) : -1;
    if (candidate < 0 && recent < 0) return 0;
    // In repetitive data the seed's position is one of many; a small shift
    // of the current alignment, as an inserted or removed byte makes, often
    // matches longer.
    std::int64_t best = 0;
    for (std::int64_t shift = -kNearShift; shift <= kNearShift; ++shift) {
      MeasureMatch(scan, scan + lastOffset_ + shift, reach, best, matchPosition);
    }
    MeasureMatch(scan, candidate, reach, best, matchPosition);
    MeasureMatch(scan, recent, reach, best, matchPosition);
    return best;
  }

  // Makes oldPosition the match when reach allows it and its exact match
  // with scan is longer than best and at least a seed long.
  void MeasureMatch(std::int64_t scan, std::int64_t oldPosition, const Reach& reach, std::int64_t& best,
                    std::int64_t& matchPosition) const {
    if (oldPosition < std::max<std::int64_t>(reach.floor, 0) || oldPosition >= oldSize_) return;
    const std::int64_t longest = std::min({kMaxMeasured, oldSize_ - oldPosition, newSize_ - scan});
    std::int64_t length = 0;
    while (length < longest && old_[oldPosition + length] == new_[scan + length]) ++length;
    if (length <= best || length < (oldPosition >= reach.leapFrom ? kLeapLength : kSeedLength)) return;
    best = length;
    matchPosition = oldPosition;
  }

  // Ends the stretch since the last triple at scan, where the match at
  // matchPosition starts: the old bytes at the last alignment are extended
  // forward and those of the new match backward, each while at least half
  // of them agree, and what lies between goes to the extra stream.
  // A forward patch's add ends early enough for the next to start at the
  // match.
  void Emit(std::int64_t scan, std::int64_t matchPosition) {
    std::int64_t forward = ForwardLength(scan);
    if (forward_ && scan < newSize_) {
      forward = std::min(forward, matchPosition + static_cast<std::int64_t>(kPatchWindowBytes) - lastPosition_);
    }
    std::int64_t backward = scan < newSize_ ? BackwardLength(scan, matchPosition, WindowFloor(lastPosition_ + forward)) : 0;
    if (lastScan_ + forward > scan - backward) SplitOverlap(scan, matchPosition, forward, backward);
    // Every triple must write a byte: when the new match would start where
    // the last stretch did, its first byte goes to the extra stream.
    if (scan - backward == lastScan_) --backward;

    AddDiff(forward);
    const std::int64_t extra = (scan - backward) - (lastScan_ + forward);
    writer_.AddExtra(new_ + lastScan_ + forward, static_cast<std::size_t>(extra));
    const std::int64_t seek = scan < newSize_ ? (matchPosition - backward) - (lastPosition_ + forward) : 0;
    writer_.AddControl(static_cast<std::uint64_t>(forward), static_cast<std::uint64_t>(extra), seek);
    if (forward > 0) furthest_ = std::max(furthest_, lastPosition_ + forward);

    lastScan_ = scan - backward;
    lastPosition_ = matchPosition - backward;
    lastOffset_ = matchPosition - scan;
    stretch_ = {};
  }

  // The forward stretch from the last alignment up to scan, grown as the
  // scan moves on.
  std::int64_t ForwardLength(std::int64_t scan) {
    Stretch& s = stretch_;
    while (lastScan_ + s.index < scan && lastPosition_ + s.index < oldSize_) {
      if (old_[lastPosition_ + s.index] == new_[lastScan_ + s.index]) ++s.agreeing;
      ++s.index;
      if (s.agreeing * 2 - s.index > s.best * 2 - s.length) {
        s.best = s.agreeing;
        s.length = s.index;
      }
    }
    return s.length;
  }

  // Backward from the match, not past floor.
  std::int64_t BackwardLength(std::int64_t scan, std::int64_t matchPosition, std::int64_t floor) const {
    std::int64_t agreeing = 0;
    std::int64_t best = 0;
    std::int64_t length = 0;
    for (std::int64_t index = 1; scan >= lastScan_ + index && matchPosition - index >= std::max<std::int64_t>(floor, 0);
         ++index) {
      if (old_[matchPosition - index] == new_[scan - index]) ++agreeing;
      if (agreeing * 2 - index > best * 2 - length) {
        best = agreeing;
        length = index;
      }
    }
    return length;
  }

  // Where the forward and backward stretches overlap, the split that keeps
  // the most agreeing bytes.
  void SplitOverlap(std::int64_t scan, std::int64_t matchPosition, std::int64_t& forward,
                    std::int64_t& backward) const {
    const std::int64_t overlap = (lastScan_ + forward) - (scan - backward);
    std::int64_t score = 0;
    std::int64_t bestScore = 0;
    std::int64_t split = 0;
    for (std::int64_t index = 0; index < overlap; ++index) {
      if (new_[lastScan_ + forward - overlap + index] == old_[lastPosition_ + forward - overlap + index]) ++score;
      if (new_[scan - backward + index] == old_[matchPosition - backward + index]) --score;
      if (score > bestScore) {
        bestScore = score;
        split = index + 1;
      }
    }
    forward += split - overlap;
    backward -= split;
  }

  void AddDiff(std::int64_t length) {
    std::uint8_t piece[kPieceSize];
    for (std::int64_t done = 0; done < length;) {
      const std::int64_t count = std::min<std::int64_t>(length - done, kPieceSize);
      for (std::int64_t index = 0; index < count; ++index) {
        piece[index] = static_cast<std::uint8_t>(new_[lastScan_ + done + index] - old_[lastPosition_ + done + index]);
      }
      writer_.AddDiff(piece, static_cast<std::size_t>(count));
      done += count;
    }
  }

  const std::uint8_t* old_;
  std::int64_t oldSize_;
  const std::uint8_t* new_;
  std::int64_t newSize_;
  bool forward_;
  const DiffProgress& progress_;
  SeedIndex index_;
  SeedIndex recent_;  // a forward patch's seeds near its window, the first of each still in it
  PatchWriter writer_;

  std::int64_t lastScan_ = 0;
  std::int64_t lastPosition_ = 0;
  std::int64_t lastOffset_ = 0;
  std::int64_t furthest_ = 0;  // the end of the furthest add
  // How far the bytes from the last alignment agree.
  struct Stretch {
    std::int64_t index = 0;
    std::int64_t agreeing = 0;
    std::int64_t best = 0;
    std::int64_t length = 0;  // of the best start
  } stretch_;
  std::uint32_t hash_ = 0;
  std::int64_t hashedAt_ = -2;
};

}  // namespace

std::vector<std::uint8_t> CreatePatch(const std::uint8_t* oldData, std::size_t oldSize, const std::uint8_t* newData,
                                      std::size_t newSize, PatchFormat format, const DiffProgress& progress) {
  Differ differ(oldData, static_cast<std::int64_t>(oldSize), newData, static_cast<std::int64_t>(newSize), format,
                progress);
  return differ.Run();
}

}  // namespace zavex
