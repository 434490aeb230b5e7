#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "formats/rollout.h"

namespace zavex {
namespace {

Manifest Release(std::int32_t rollout, std::int32_t criticalBelow = 0) {
  Manifest release;
  release.versionCode = 20;
  release.rollout = rollout;
  release.criticalBelow = criticalBelow;
  return release;
}

TEST(IsValidChannelName, LettersDigitsAndDashUpTo32) {
  for (const std::string& name : std::vector<std::string>{std::string("beta"), "Stable-2", "a", std::string(32, 'x')}) {
    EXPECT_TRUE(IsValidChannelName(name)) << name;
  }
  for (const std::string& name : std::vector<std::string>{std::string(), std::string(33, 'x'), "be ta", "../x", "beta/", "b_eta", "beta.",
                                 "b\xC3\xA9ta"}) {
    EXPECT_FALSE(IsValidChannelName(name)) << name;
  }
}

TEST(InstallationId, TextReadsBackAndOnlyExactHexIsAccepted) {
  InstallationId id{};
  for (std::size_t index = 0; index < id.size(); ++index) id[index] = static_cast<std::uint8_t>(index * 17);
  const std::string text = InstallationIdText(id);
  EXPECT_EQ(text, "00112233445566778899aabbccddeeff\n");
  InstallationId read{};
  ASSERT_TRUE(ParseInstallationId(text, read));
  EXPECT_EQ(read, id);
  EXPECT_TRUE(ParseInstallationId(text.substr(0, 32), read));
  for (const std::string& bad : std::vector<std::string>{std::string(), text.substr(0, 31), text + "\n",
                                std::string("00112233445566778899AABBCCDDEEFF"),
                                std::string("0011223344556677 8899aabbccddeef"), text.substr(0, 32) + "\r\n"}) {
    EXPECT_FALSE(ParseInstallationId(bad, read)) << bad;
  }
}

TEST(RolloutHashInput, IdThenVersionCodeLeastSignificantByteFirst) {
  InstallationId id{};
  id[0] = 0xAB;
  const std::string input = RolloutHashInput(id, 0x01020304);
  ASSERT_EQ(input.size(), 20u);
  EXPECT_EQ(static_cast<unsigned char>(input[0]), 0xAB);
  EXPECT_EQ(input.substr(16), std::string("\x04\x03\x02\x01", 4));
}

TEST(RolloutBucket, First8BytesBigEndianModulo10000) {
  RolloutDigest digest{};
  digest[7] = 0x01;
  digest[6] = 0x27;  // 0x2701 = 9985
  digest[8] = 0xFF;  // beyond the first 8 bytes: ignored
  EXPECT_EQ(RolloutBucket(digest), 9985);
  digest.fill(0xFF);  // 2^64 - 1 = 18446744073709551615
  EXPECT_EQ(RolloutBucket(digest), 1615);
}

TEST(BucketPercentText, TwoDecimals) {
  EXPECT_EQ(BucketPercentText(4317), "43.17");
  EXPECT_EQ(BucketPercentText(5), "0.05");
  EXPECT_EQ(BucketPercentText(9990), "99.90");
  EXPECT_EQ(BucketPercentText(0), "0.00");
}

struct DecisionCase {
  std::int32_t rollout;
  std::int32_t criticalBelow;
  int bucket;
  bool asked;
  RolloutDecision expected;
};

TEST(DecideRollout, HaltWinsThenCriticalThenAskedOrBucket) {
  const DecisionCase cases[] = {
      {100, 0, 9999, false, RolloutDecision::kTake},
      {10, 0, 999, false, RolloutDecision::kTake},
      {10, 0, 1000, false, RolloutDecision::kHeldBack},
      {10, 0, 1000, true, RolloutDecision::kAsked},
      {10, 0, 999, true, RolloutDecision::kTake},
      {1, 0, 100, false, RolloutDecision::kHeldBack},
      {0, 0, 0, true, RolloutDecision::kHalted},
      {0, 99, 0, false, RolloutDecision::kHalted},
      {10, 6, 5000, false, RolloutDecision::kCritical},  // installed code 5
      {10, 5, 5000, false, RolloutDecision::kHeldBack},  // not below 5
  };
  for (const DecisionCase& c : cases) {
    EXPECT_EQ(DecideRollout(Release(c.rollout, c.criticalBelow), 5, c.bucket, c.asked), c.expected)
        << c.rollout << " " << c.criticalBelow << " " << c.bucket << " " << c.asked;
  }
}

}  // namespace
}  // namespace zavex
