#include "platform/sha256_hasher.h"

#include <gtest/gtest.h>

#include <windows.h>

#include "platform/unique_handle.h"
#include "support/http_server.h"
#include "support/test_files.h"

namespace zavex {
namespace {

// Digests computed with sha256sum.
constexpr char kEmptyDigest[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr char kAbcDigest[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
// test::GeneratedBytes(0, n) for n = 2 * 65536 and n = 5 * 1048576 + 12345.
constexpr char kTwoBlocksDigest[] =
    "19d3942dbd24401c4ca7246984db8e2c2a5c50177392775bc9cd1095928aa272";
constexpr char kLargeOddDigest[] =
    "7eb64a252b33671737a34dceb06242a3280040cab1ad6d7bf3dd2ad912f4ddcf";

bool IsLowercaseHex(const std::string& text) {
  return text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

TEST(Sha256HasherTest, MatchesReferenceDigestsInLowercase) {
  test::TempDir temp;
  ASSERT_TRUE(test::WriteTextFile(temp / L"empty", ""));
  ASSERT_TRUE(test::WriteTextFile(temp / L"abc", "abc"));
  ASSERT_TRUE(test::WriteTextFile(temp / L"two-blocks", test::GeneratedBytes(0, 2 * 65536)));
  ASSERT_TRUE(test::WriteTextFile(temp / L"large", test::GeneratedBytes(0, 5 * 1048576 + 12345)));

  Sha256Hasher hasher;
  const std::string empty = hasher.HashFile(temp / L"empty");
  EXPECT_EQ(empty, kEmptyDigest);
  EXPECT_EQ(hasher.HashFile(temp / L"abc"), kAbcDigest);
  EXPECT_EQ(hasher.HashFile(temp / L"two-blocks"), kTwoBlocksDigest);
  const std::string large = hasher.HashFile(temp / L"large");
  EXPECT_EQ(large, kLargeOddDigest);
  // The same hasher again, after other files.
  EXPECT_EQ(hasher.HashFile(temp / L"abc"), kAbcDigest);

  for (const std::string& digest : {empty, large}) {
    EXPECT_EQ(digest.size(), 64u);
    EXPECT_TRUE(IsLowercaseHex(digest)) << digest;
  }
}

// The digest of bytes given in pieces, as a download passes them, equals the
// file's; a digest begun again drops what came before.
TEST(Sha256HasherTest, DigestOfPiecesEqualsTheDigestOfTheWhole) {
  const std::string bytes = test::GeneratedBytes(0, 5 * 1048576 + 12345);
  Sha256Hasher hasher;
  for (const size_t piece : {size_t{63}, size_t{8192}, size_t{65537}, bytes.size()}) {
    hasher.Begin();
    hasher.Add("bytes of an abandoned digest");
    hasher.Begin();
    for (size_t offset = 0; offset < bytes.size(); offset += piece) {
      hasher.Add(std::string_view(bytes).substr(offset, piece));
    }
    EXPECT_EQ(hasher.Finish(), kLargeOddDigest) << piece;
  }
  hasher.Begin();
  EXPECT_EQ(hasher.Finish(), kEmptyDigest);
  EXPECT_EQ(hasher.Finish(), "");  // nothing begun
}

TEST(Sha256HasherTest, UnreadableFilesGiveEmptyText) {
  test::TempDir temp;
  const std::wstring locked = temp / L"locked.bin";
  ASSERT_TRUE(test::WriteTextFile(locked, "locked content"));
  Sha256Hasher hasher;

  EXPECT_EQ(hasher.HashFile(temp / L"missing.bin"), "");
  EXPECT_EQ(hasher.HashFile(temp.path()), "");
  {
    UniqueFile holder(CreateFileW(locked.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder);
    EXPECT_EQ(hasher.HashFile(locked), "");
  }
  EXPECT_EQ(hasher.HashFile(locked).size(), 64u);
}

}  // namespace
}  // namespace zavex
