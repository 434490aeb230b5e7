#include <gtest/gtest.h>

#include <string>

#include "formats/delta_index.h"
#include "formats/json_parser.h"

namespace zavex {
namespace {

const std::string kOld(64, 'a');
const std::string kNew = std::string(63, '0') + "f";
const std::string kBytes(64, 'c');  // the SHA-256 of a copy's or patch's own bytes

std::string Copy(const std::string& hash, const std::string& size, const std::string& bytesHash = kBytes) {
  return "{\"hash\": \"" + hash + "\", \"size\": " + size + ", \"sha256\": \"" + bytesHash + "\"}";
}

std::string Patch(const std::string& from, const std::string& to, const std::string& size) {
  return "{\"from\": \"" + from + "\", \"to\": \"" + to + "\", \"size\": " + size + ", \"sha256\": \"" +
         kBytes + "\"}";
}

std::string Index(const std::string& copies, const std::string& patches, const std::string& forward = "") {
  return "{\"compressed\": [" + copies + "], \"patches\": [" + patches + "]" + forward + "}";
}

TEST(DeltaIndex, ReadsThePublishersLayout) {
  const std::string text = "{\n  \"compressed\": [\n    " + Copy(kNew, "1200") + "\n  ],\n  \"patches\": [\n    " +
                           Patch(kOld, kNew, "42") + "\n  ],\n  \"forwardPatches\": [\n    " +
                           Patch(kOld, kNew, "40") + "\n  ]\n}\n";
  DeltaIndex index;
  ASSERT_TRUE(ParseDeltaIndex(text, index));
  ASSERT_NE(index.FindCompressed(kNew), nullptr);
  EXPECT_EQ(index.FindCompressed(kNew)->size, 1200u);
  EXPECT_EQ(index.FindCompressed(kNew)->hash, kBytes);
  EXPECT_EQ(index.FindCompressed(kOld), nullptr);
  ASSERT_NE(index.FindPatch(kOld, kNew), nullptr);
  EXPECT_EQ(index.FindPatch(kOld, kNew)->size, 42u);
  EXPECT_EQ(index.FindPatch(kOld, kNew)->hash, kBytes);
  EXPECT_EQ(index.FindPatch(kNew, kOld), nullptr);
  ASSERT_NE(index.FindForwardPatch(kOld, kNew), nullptr);
  EXPECT_EQ(index.FindForwardPatch(kOld, kNew)->size, 40u);
  EXPECT_EQ(index.FindForwardPatch(kNew, kOld), nullptr);
  EXPECT_EQ(PatchName(kOld, kNew), kOld + "-" + kNew + ".patch");
  EXPECT_EQ(ForwardPatchName(kOld, kNew), kOld + "-" + kNew + ".forward.patch");
  EXPECT_EQ(CompressedCopyName(kNew), kNew + ".deflate");
  EXPECT_EQ(DeltaFolderPath(DeltaIndexName(kNew)), "zavex_delta/index-" + kNew + ".json");
}

TEST(DeltaIndex, AcceptsEmptyListsLargestSizesAndOtherMembers) {
  DeltaIndex index;
  EXPECT_TRUE(ParseDeltaIndex(Index("", ""), index));
  const std::string text = "{\"later\": {\"x\": 1}, " + Index(Copy(kNew, "4294967295"), "").substr(1);
  ASSERT_TRUE(ParseDeltaIndex(text, index));
  EXPECT_EQ(index.FindCompressed(kNew)->size, 4294967295u);
}

TEST(DeltaIndex, RefusesWhatIsNotAnIndexAndLeavesItEmpty) {
  const std::string upper = std::string(64, 'A');
  const struct {
    const char* name;
    std::string text;
  } cases[] = {
      {"empty", ""},
      {"not JSON", "index"},
      {"an array", "[]"},
      {"cut short", Index(Copy(kNew, "5"), "").substr(0, 30)},
      {"text after the object", Index("", "") + " {}"},
      {"zero byte after the object", Index("", "") + std::string(1, '\0')},
      {"no patches", "{\"compressed\": []}"},
      {"compressed not a list", "{\"compressed\": {}, \"patches\": []}"},
      {"entry not an object", Index("1", "")},
      {"short hash", Index(Copy(kNew.substr(1), "5"), "")},
      {"uppercase hash", Index(Copy(upper, "5"), "")},
      {"hash not text", Index("{\"hash\": 7, \"size\": 5}", "")},
      {"no size", Index("{\"hash\": \"" + kNew + "\"}", "")},
      {"size zero", Index(Copy(kNew, "0"), "")},
      {"negative size", Index(Copy(kNew, "-5"), "")},
      {"fractional size", Index(Copy(kNew, "5.5"), "")},
      {"size of 4 GiB", Index(Copy(kNew, "4294967296"), "")},
      {"size as text", Index(Copy(kNew, "\"5\""), "")},
      {"patch without from", Index("", "{\"to\": \"" + kNew + "\", \"size\": 5}")},
      {"copy without its own hash", Index("{\"hash\": \"" + kNew + "\", \"size\": 5}", "")},
      {"patch without its own hash",
       Index("", "{\"from\": \"" + kOld + "\", \"to\": \"" + kNew + "\", \"size\": 5}")},
      {"own hash uppercase", Index(Copy(kNew, "5", upper), "")},
      {"copy repeated", Index(Copy(kNew, "5") + "," + Copy(kNew, "6"), "")},
      {"patch repeated", Index("", Patch(kOld, kNew, "5") + "," + Patch(kOld, kNew, "5"))},
      {"forward patches not a list", Index("", "", ", \"forwardPatches\": {}")},
      {"forward patch of size zero", Index("", "", ", \"forwardPatches\": [" + Patch(kOld, kNew, "0") + "]")},
      {"forward patch repeated",
       Index("", "", ", \"forwardPatches\": [" + Patch(kOld, kNew, "5") + "," + Patch(kOld, kNew, "6") + "]")},
      {"nested past the limit", std::string(300, '[') + std::string(300, ']')},
      {"larger than the bound", Index("", "") + std::string(kMaxDeltaIndexBytes, ' ')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DeltaIndex index;
    index.compressed[kOld] = {9, kBytes};
    index.forwardPatches[kOld] = {9, kBytes};
    EXPECT_FALSE(ParseDeltaIndex(c.text, index));
    EXPECT_TRUE(index.compressed.empty());
    EXPECT_TRUE(index.patches.empty());
    EXPECT_TRUE(index.forwardPatches.empty());
  }
}

// The manifest's "deltaIndex" member.
TEST(DeltaIndexRef, ReadsAHashAndASizeUpToTheBound) {
  const struct {
    const char* name;
    std::string member;
    std::uint64_t size;  // 0: refused
  } cases[] = {
      {"as published", "{\"hash\": \"" + kNew + "\", \"size\": 1234}", 1234},
      {"largest", "{\"size\": 8388608, \"hash\": \"" + kNew + "\", \"later\": 1}", kMaxDeltaIndexBytes},
      {"past the bound", "{\"hash\": \"" + kNew + "\", \"size\": 8388609}", 0},
      {"size zero", "{\"hash\": \"" + kNew + "\", \"size\": 0}", 0},
      {"fractional size", "{\"hash\": \"" + kNew + "\", \"size\": 1.5}", 0},
      {"no size", "{\"hash\": \"" + kNew + "\"}", 0},
      {"uppercase hash", "{\"hash\": \"" + std::string(64, 'A') + "\", \"size\": 1}", 0},
      {"short hash", "{\"hash\": \"" + kNew.substr(1) + "\", \"size\": 1}", 0},
      {"not an object", "\"" + kNew + "\"", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DeltaIndexRef ref{"before", 7};
    EXPECT_EQ(ReadDeltaIndexRef(JsonParser(c.member).ParseValue(), ref), c.size != 0);
    EXPECT_EQ(ref.hash, c.size ? kNew : "before");
    EXPECT_EQ(ref.size, c.size ? c.size : 7u);
  }
}

}  // namespace
}  // namespace zavex
