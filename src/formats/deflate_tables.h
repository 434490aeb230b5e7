#pragma once

#include <cstdint>
#include <vector>

// Constants of the DEFLATE format (RFC 1951) shared by the encoder and the
// decoder.
namespace zavex::deflate {

inline constexpr unsigned kWindowSize = 32768;
inline constexpr unsigned kMinMatch = 3;
inline constexpr unsigned kMaxMatch = 258;
inline constexpr unsigned kEndOfBlock = 256;
inline constexpr unsigned kLiteralCodes = 286;
inline constexpr unsigned kFixedLiteralCodes = 288;
inline constexpr unsigned kDistanceCodes = 30;
inline constexpr unsigned kFixedDistanceCodes = 32;
inline constexpr unsigned kCodeLengthCodes = 19;
inline constexpr unsigned kMaxCodeBits = 15;
inline constexpr unsigned kMaxCodeLengthBits = 7;
inline constexpr unsigned kMaxStoredBlock = 65535;

inline constexpr std::uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,
                                                  15, 17, 19, 23, 27, 31, 35, 43, 51,  59,
                                                  67, 83, 99, 115, 131, 163, 195, 227, 258};
inline constexpr std::uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
inline constexpr std::uint16_t kDistanceBase[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
inline constexpr std::uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// The order in which a dynamic block lists the code-length code's lengths.
inline constexpr std::uint8_t kCodeLengthOrder[kCodeLengthCodes] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                                    11, 4,  12, 3, 13, 2, 14, 1, 15};

// The code reversed in its length bits: Huffman codes go to the stream most
// significant bit first, everything else least significant bit first.
inline std::uint32_t ReverseBits(std::uint32_t code, unsigned length) {
  std::uint32_t reversed = 0;
  for (unsigned bit = 0; bit < length; ++bit) reversed |= ((code >> bit) & 1u) << (length - 1 - bit);
  return reversed;
}

// The canonical codes (RFC 1951, 3.2.2) for lengths[0..count), not yet
// reversed; false when the lengths oversubscribe the code space.
bool AssignCanonicalCodes(const std::uint8_t* lengths, unsigned count, std::uint16_t* codes);

// Huffman code lengths for frequencies (0 for unused symbols), none above
// limit. Every code gets at least two used symbols, as some decoders refuse
// codes with one. Frequencies are halved until the tree fits the limit.
void BuildLimitedCodeLengths(std::vector<std::uint32_t> frequencies, unsigned limit, std::uint8_t* lengths);

}  // namespace zavex::deflate
