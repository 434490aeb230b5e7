#pragma once

// The executable transform: a PE32 or PE32+ file in a form whose references
// are stable, so that a diff of the old and the new form is much smaller than
// a diff of the files when code moves. In a form:
//   - the operand of every reference (ExecutableReference: rel32 calls and
//     jumps, x86-64 RIP-relative operands, absolute addresses of the base
//     relocation table, code addresses of .eh_frame records, values of COFF
//     symbols) holds the index of its target's label instead of the address,
//     little-endian in the operand's width; an address in a debug section
//     holds the image base plus that index;
//   - each entry of the base relocation table holds its page offset's
//     difference from the entry before (modulo 4096) in place of the offset,
//     and the table holds all its entries first, then all its block headers;
//   - each long symbol name holds its string table offset's difference from
//     the long name before (modulo 2^32);
//   - every other byte stays as it is.
// Labels of the new file take the index of the old label they pair with
// (AlignLabels); labels without a pair come after the old ones.
//
// Use in a patch:
//   publisher: TransformExecutables(old, new) -> oldForm, newForm, sideData;
//              the patch holds a diff of oldForm to newForm and sideData.
//              False: the files are not both PE images the transform reads;
//              diff the files themselves. Otherwise keep the smaller of this
//              patch and the files' own: when the code did not move, the
//              side data is pure cost.
//   client:    TransformOldExecutable(old) -> oldForm (the publisher's bytes)
//              in place, and the old file's labels;
//              apply the diff to it -> newForm;
//              RestoreExecutable(labels, sideData, newForm) -> the new file,
//              byte for byte, in place; then check its hash as for any patch.
// Forms have the size of their files. Every step holds whole files in memory
// (the client two at most, beside the lists of references: bench/README.md
// has the figures); PE files above 4 GiB are refused.
//
// Side data, integers as unsigned LEB128 (signed ones zigzag-coded):
//   old label count
//   per old label, ascending: 0 when no new label pairs with it, otherwise
//     1 + (the pair's RVA difference minus the previous pair's difference)
//   new label count without a pair; their RVAs, ascending, each as the
//     difference from the one before (the first from 0)
//   count of exceptions; their file offsets, ascending, each as the
//     difference from the one before: operands that look like a reference
//     holding a label index but are none and stay as they are (they point
//     outside the image, or in a debug section overlap a reference)
// Small and repetitive: the patch should store it compressed.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zavex {

struct ExecutableForms {
  std::vector<std::uint8_t> oldForm;
  std::vector<std::uint8_t> newForm;
  std::vector<std::uint8_t> sideData;
};

// False when either file is not a PE image that PeImage reads, or when the new
// form would not restore the new file exactly.
bool TransformExecutables(const std::uint8_t* oldData, std::size_t oldSize, const std::uint8_t* newData,
                          std::size_t newSize, ExecutableForms& forms);

// Turns file, the old file, into the old form that TransformExecutables makes
// of it, in place, and gives the old file's labels (RVAs, ascending) for
// RestoreExecutable. False, file unchanged, when it is not a PE image that
// PeImage reads.
bool TransformOldExecutable(std::vector<std::uint8_t>& file, std::vector<std::uint32_t>& oldLabels);

// Turns image, the new form, into the new file in place, from the labels
// that TransformOldExecutable gave. False when the form is not a PE image
// PeImage reads, the side data is malformed or was made for another old file,
// or an operand names a label the side data does not place inside the image;
// image is then unspecified.
bool RestoreExecutable(const std::vector<std::uint32_t>& oldLabels, const std::uint8_t* sideData,
                       std::size_t sideSize, std::vector<std::uint8_t>& image);

}  // namespace zavex
