#pragma once

// Pairs the labels (reference targets) of a new PE image with those of an old
// one, so that code and data that only moved keep their labels. Only the
// sizes of what the transform produces depend on the pairing, never its
// correctness.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "formats/executable_references.h"
#include "formats/pe_image.h"

namespace zavex {

inline constexpr std::uint32_t kNoLabel = 0xFFFFFFFF;

// An image with its references (ascending file order) and its labels: the
// distinct targets of those references, ascending.
struct LabelledImage {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  PeImage image;
  std::vector<ExecutableReference> references;
  std::vector<std::uint32_t> labels;
};

// The labels of references: their distinct targets, ascending.
std::vector<std::uint32_t> LabelsOf(const std::vector<ExecutableReference>& references);

// The index of target in labels, or kNoLabel.
std::uint32_t LabelIndex(const std::vector<std::uint32_t>& labels, std::uint32_t target);

// For each label of newer, the index of the old label it pairs with, or
// kNoLabel; no old label pairs twice. Pairs come from the bytes of both
// files with their reference operands blanked: where a run of new bytes
// matches old bytes, references at the same place pair their targets, and
// a target whose bytes match pairs with the old target at the matched place.
std::vector<std::uint32_t> AlignLabels(const LabelledImage& old, const LabelledImage& newer);

}  // namespace zavex
