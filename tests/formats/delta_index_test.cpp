#include <gtest/gtest.h>

#include <string>

#include "formats/delta_index.h"

namespace zavex {
namespace {

const std::string kOld(64, 'a');
const std::string kNew = std::string(63, '0') + "f";

std::string Copy(const std::string& hash, const std::string& size) {
  return "{\"hash\": \"" + hash + "\", \"size\": " + size + "}";
}

std::string Patch(const std::string& from, const std::string& to, const std::string& size) {
  return "{\"from\": \"" + from + "\", \"to\": \"" + to + "\", \"size\": " + size + "}";
}

std::string Index(const std::string& copies, const std::string& patches) {
  return "{\"compressed\": [" + copies + "], \"patches\": [" + patches + "]}";
}

TEST(DeltaIndex, ReadsThePublishersLayout) {
  const std::string text = "{\n  \"compressed\": [\n    " + Copy(kNew, "1200") + "\n  ],\n  \"patches\": [\n    " +
                           Patch(kOld, kNew, "42") + "\n  ]\n}\n";
  DeltaIndex index;
  ASSERT_TRUE(ParseDeltaIndex(text, index));
  EXPECT_EQ(index.CompressedSize(kNew), 1200u);
  EXPECT_EQ(index.CompressedSize(kOld), 0u);
  EXPECT_EQ(index.PatchSize(kOld, kNew), 42u);
  EXPECT_EQ(index.PatchSize(kNew, kOld), 0u);
  EXPECT_EQ(PatchName(kOld, kNew), kOld + "-" + kNew + ".patch");
  EXPECT_EQ(CompressedCopyName(kNew), kNew + ".deflate");
}

TEST(DeltaIndex, AcceptsEmptyListsLargestSizesAndOtherMembers) {
  DeltaIndex index;
  EXPECT_TRUE(ParseDeltaIndex(Index("", ""), index));
  const std::string text = "{\"later\": {\"x\": 1}, " + Index(Copy(kNew, "4294967295"), "").substr(1);
  ASSERT_TRUE(ParseDeltaIndex(text, index));
  EXPECT_EQ(index.CompressedSize(kNew), 4294967295u);
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
      {"copy repeated", Index(Copy(kNew, "5") + "," + Copy(kNew, "6"), "")},
      {"patch repeated", Index("", Patch(kOld, kNew, "5") + "," + Patch(kOld, kNew, "5"))},
      {"nested past the limit", std::string(300, '[') + std::string(300, ']')},
      {"larger than the bound", Index("", "") + std::string(kMaxDeltaIndexBytes, ' ')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DeltaIndex index;
    index.compressedSizes[kOld] = 9;
    EXPECT_FALSE(ParseDeltaIndex(c.text, index));
    EXPECT_TRUE(index.compressedSizes.empty());
    EXPECT_TRUE(index.patchSizes.empty());
  }
}

}  // namespace
}  // namespace zavex
