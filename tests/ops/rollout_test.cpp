#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <iostream>
#include <vector>

#include "formats/rollout.h"
#include "ops/installation_identity.h"
#include "ops/updater_run_fixture.h"
#include "platform/system_random.h"
#include "publish/file_hasher.h"
#include "publish/publisher.h"

namespace zavex::test {
namespace {

constexpr int kIds = 100000;

double PercentBelow(const std::vector<int>& buckets, int percentage) {
  const auto below = std::count_if(buckets.begin(), buckets.end(),
                                   [percentage](int bucket) { return bucket < percentage * 100; });
  return 100.0 * static_cast<double>(below) / static_cast<double>(buckets.size());
}

// Ids from the system's generator, as installations make them; the figures
// are printed for the record.
TEST(RolloutBucket, EachRolloutTakesItsShareAndEachReleaseDrawsItsFirstGroupAnew) {
  std::vector<int> release7(kIds);
  std::vector<int> release8(kIds);
  for (int index = 0; index < kIds; ++index) {
    InstallationId id{};
    ASSERT_TRUE(FillWithSystemRandom(id.data(), id.size()));
    ASSERT_TRUE(InstallationBucket(id, 7, release7[index]));
    ASSERT_TRUE(InstallationBucket(id, 8, release8[index]));
  }
  for (const int rollout : {1, 5, 25, 50}) {
    const double share = PercentBelow(release7, rollout);
    std::cout << "rollout " << rollout << " %: " << share << " % of " << kIds << " ids take part\n";
    EXPECT_NEAR(share, rollout, 0.5);
  }
  int inFirst = 0;
  int inBoth = 0;
  for (int index = 0; index < kIds; ++index) {
    if (release7[index] >= 500) continue;
    ++inFirst;
    if (release8[index] < 500) ++inBoth;
  }
  const double overlap = 100.0 * inBoth / inFirst;
  std::cout << "the first 5 % of code 7 (" << inFirst << " ids) hold " << inBoth
            << " of the first 5 % of code 8: " << overlap << " %\n";
  EXPECT_NEAR(overlap, 5.0, 1.5);
}

// SHA-256 of the id's bytes and the code's 4 bytes, least significant first,
// as Python's hashlib computes it.
TEST(RolloutBucket, KnownAnswer) {
  InstallationId id{};
  ASSERT_TRUE(ParseInstallationId(kTestInstallationId, id));
  int bucket = -1;
  ASSERT_TRUE(InstallationBucket(id, 2, bucket));
  EXPECT_EQ(bucket, 7899);
  ASSERT_TRUE(InstallationBucket(id, 5, bucket));
  EXPECT_EQ(bucket, 1258);
}

// The installation's id (kTestInstallationId) is at 78.99 % of release 2.
class RolloutTest : public UpdaterRunTest {
 protected:
  std::string Log() const { return ReadTextFile(folder + L"\\zavex_updater.log"); }
  std::string IdText() const { return ReadTextFile(PathIn(folder, kInstallationIdFileName)); }
  std::string ChannelText() const { return ReadTextFile(PathIn(folder, kChannelFileName)); }
  // The release in site, re-signed at rollout by the publisher, served afresh.
  void SetRollout(const std::wstring& site, std::int32_t rollout) {
    PublishOptions options;
    options.releaseFolder = site;
    options.signingKeyFile = ZAVEX_TESTS_SOURCE_DIR_WIN L"\\support\\keys\\first.pem";
    options.rollout = rollout;
    PublishSummary summary;
    std::string error;
    ASSERT_TRUE(ReSignRelease(options, *CreateSha256FileHasher(), summary, error)) << error;
    RestartServer();
    ServeFolder(*server, site);
  }
};

TEST_F(RolloutTest, TheSilentModesFollowTheSignedRolloutAndCriticalCode) {
  struct Case {
    const char* members;
    DWORD checkExit;
    const char* logged;
  };
  const Case cases[] = {
      {"\"rollout\": 0, ", 2, "[INFO] Update 2.0.0 halted: rollout 0 %\r\n"},
      {"\"rollout\": 10, ", 2, "[INFO] Update 2.0.0 held back: rollout 10 % (this installation: 78.99 %)\r\n"},
      {"\"rollout\": 78, ", 2, "held back: rollout 78 % (this installation: 78.99 %)"},
      {"\"rollout\": 0, \"criticalBelow\": 2, ", 2, "halted: rollout 0 %"},
      {"\"rollout\": 10, \"criticalBelow\": 1, ", 2, "held back: rollout 10 %"},
      {"\"rollout\": 10, \"criticalBelow\": 2, ", 0,
       "Update 2.0.0 is critical below code 2: taken whatever the rollout 10 % (this installation: 78.99 %)"},
      {"\"rollout\": 79, ", 0, "Update 2.0.0 within the rollout: rollout 79 % (this installation: 78.99 %)"},
      {"\"rollout\": 100, ", 0, "within the rollout: rollout 100 %"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.members);
    Reinstall();
    newer.rolloutMembers = c.members;
    PublishRelease(*server, newer);
    EXPECT_EQ(RunUpdater(L"--check").exitCode, c.checkExit);
    EXPECT_NE(Log().find(c.logged), std::string::npos) << Log();
    EXPECT_EQ(RunUpdater(L"--silent").exitCode, c.checkExit);
    EXPECT_TRUE(HoldsExactly(folder, c.checkExit == 0 ? newer : installed, Extras()));
    EXPECT_EQ(IdText(), kTestInstallationId);
  }
}

TEST_F(RolloutTest, ARolloutChangedAfterSigningIsRefused) {
  newer.rolloutMembers = "\"rollout\": 10, ";
  PublishRelease(*server, newer);
  newer.rolloutMembers = "\"rollout\": 100, ";
  server->SetRoute("/manifest.json", 200, newer.ManifestJson());
  EXPECT_EQ(RunUpdater(L"--check").exitCode, 1u);
  EXPECT_NE(Log().find("Remote manifest signature is invalid"), std::string::npos);
  EXPECT_EQ(RunUpdater(L"--silent").exitCode, 2u);
  EXPECT_TRUE(HoldsExactly(folder, installed, Extras()));
}

TEST_F(RolloutTest, HeldBackUntilThePublisherSetsTheRolloutTo100) {
  const std::wstring site = temp / L"site";
  // The publisher lists the files in path order.
  std::sort(newer.files.begin(), newer.files.end(),
            [](const ReleaseFile& a, const ReleaseFile& b) { return a.path < b.path; });
  ASSERT_EQ(PublishThroughPublisher(newer, temp / L"build", site), "");
  SetRollout(site, 10);
  EXPECT_EQ(RunUpdater(L"--silent").exitCode, 2u);
  EXPECT_TRUE(HoldsExactly(folder, installed, Extras()));
  SetRollout(site, 100);
  EXPECT_EQ(RunUpdater(L"--silent").exitCode, 0u);
  EXPECT_TRUE(HoldsExactly(folder, newer, Extras()));
}

// An installation made before ids, or whose id file was damaged, gets a new
// one and keeps it.
TEST_F(RolloutTest, AMissingOrMalformedIdIsMadeAnewAndKept) {
  newer.rolloutMembers = "\"rollout\": 0, ";
  PublishRelease(*server, newer);
  InstallationId id{};
  for (const char* damage : {"", "0123456789ABCDEF0123456789ABCDEF\n", "not an id"}) {
    SCOPED_TRACE(damage);
    if (*damage) {
      ASSERT_TRUE(WriteTextFile(PathIn(folder, kInstallationIdFileName), damage));
    } else {
      ASSERT_TRUE(DeleteFileW(PathIn(folder, kInstallationIdFileName).c_str()));
    }
    EXPECT_EQ(RunUpdater(L"--check").exitCode, 2u);
    const std::string made = IdText();
    EXPECT_TRUE(ParseInstallationId(made, id)) << made;
    EXPECT_NE(made, kTestInstallationId);
    EXPECT_EQ(RunUpdater(L"--check").exitCode, 2u);
    EXPECT_EQ(IdText(), made);
  }
  EXPECT_TRUE(HoldsExactly(folder, installed, Extras()));
}

TEST_F(RolloutTest, AnInstallationFollowsItsChannelAndAMalformedNameChangesNothing) {
  ASSERT_TRUE(WriteTextFile(PathIn(folder, kChannelFileName), "beta\n"));
  RestartServer();
  PublishRelease(*server, newer, "channels/beta/");
  for (const wchar_t* refused : {L"--update --channel=be_ta", L"--install --channel=b/eta",
                                 L"--update --channel=abcdefghijabcdefghijabcdefghijabc"}) {
    EXPECT_EQ(RunUpdater(refused).exitCode, 1u) << refused;
  }
  EXPECT_TRUE(server->Requests().empty());
  EXPECT_EQ(ChannelText(), "beta\n");
  EXPECT_TRUE(HoldsExactly(folder, installed, Extras()));

  EXPECT_EQ(RunUpdater(L"--silent").exitCode, 0u);
  EXPECT_TRUE(HoldsExactly(folder, newer, Extras()));
  EXPECT_EQ(ChannelText(), "beta\n");
  EXPECT_EQ(RequestsUnder(*server, "/channels/beta/"), server->Requests().size());
}

}  // namespace
}  // namespace zavex::test
