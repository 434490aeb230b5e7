#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "publish/publish_options.h"

namespace zavex {
namespace {

struct Parsed {
  bool ok = false;
  PublishCommand command;
  std::string error;
};

Parsed Parse(const std::vector<std::string>& arguments) {
  Parsed parsed;
  parsed.ok = ParsePublishCommand(arguments, parsed.command, parsed.error);
  return parsed;
}

TEST(PublishOptions, ReadsEveryOptionInBothFormsAndTheTwoFolders) {
  const Parsed parsed =
      Parse({"--version=1.1.0", "--version-code", "7", "--release-date=2024-05-01",
             "--release-notes", "Fixes\nmore", "--min-version=1.0.0", "--optional=*.pdb",
             "--optional", "docs/**", "--signing-key", "keys/release.pem", "--expires-in=30", "--x64-updater",
             "--patch-history=100", "--patch-formats=new",
             "build dir", "site/zavex"});
  ASSERT_TRUE(parsed.ok) << parsed.error;
  const PublishOptions& options = parsed.command.options;
  EXPECT_FALSE(parsed.command.showHelp);
  EXPECT_EQ(options.version, "1.1.0");
  EXPECT_EQ(options.versionCode, 7);
  EXPECT_EQ(options.releaseDate, "2024-05-01");
  EXPECT_EQ(options.releaseNotes, "Fixes\nmore");
  EXPECT_EQ(options.minVersion, "1.0.0");
  EXPECT_EQ(options.optionalPatterns, (std::vector<std::string>{"*.pdb", "docs/**"}));
  EXPECT_EQ(options.buildFolder, std::filesystem::u8path("build dir"));
  EXPECT_EQ(options.releaseFolder, std::filesystem::u8path("site/zavex"));
  EXPECT_EQ(options.signingKeyFile, std::filesystem::u8path("keys/release.pem"));
  EXPECT_EQ(options.expiresInDays, 30);
  EXPECT_TRUE(options.x64Updater);
  EXPECT_EQ(options.patchHistory, 100);
  EXPECT_FALSE(options.seekingPatches);
  EXPECT_TRUE(parsed.command.generateKeyFolder.empty());
  EXPECT_FALSE(parsed.command.reSign);
}

TEST(PublishOptions, ReSignTakesTheKeyTheExpiryAndTheReleaseFolder) {
  Parsed parsed = Parse({"--re-sign", "--signing-key=k.pem", "site/zavex"});
  ASSERT_TRUE(parsed.ok) << parsed.error;
  EXPECT_TRUE(parsed.command.reSign);
  EXPECT_EQ(parsed.command.options.releaseFolder, std::filesystem::u8path("site/zavex"));
  EXPECT_EQ(parsed.command.options.signingKeyFile, std::filesystem::u8path("k.pem"));
  EXPECT_EQ(parsed.command.options.expiresInDays, kDefaultExpiryDays);
  parsed = Parse({"--expires-in", "3650", "site", "--signing-key", "k.pem", "--re-sign"});
  ASSERT_TRUE(parsed.ok) << parsed.error;
  EXPECT_EQ(parsed.command.options.expiresInDays, 3650);
}

TEST(PublishOptions, RolloutCriticalCodeAndChannel) {
  Parsed parsed = Parse({"--version=1", "--version-code=3", "--rollout=5", "--critical-below=2",
                         "--channel=beta-2", "build", "site"});
  ASSERT_TRUE(parsed.ok) << parsed.error;
  EXPECT_EQ(parsed.command.options.rollout, 5);
  EXPECT_EQ(parsed.command.options.criticalBelow, 2);
  EXPECT_EQ(parsed.command.options.releaseFolder, std::filesystem::u8path("site/channels/beta-2"));
  parsed = Parse({"--version=1", "--version-code=3", "build", "site"});
  EXPECT_FALSE(parsed.command.options.rollout.has_value());
  parsed = Parse({"--set-rollout=25", "--signing-key=k.pem", "site"});
  ASSERT_TRUE(parsed.ok) << parsed.error;
  EXPECT_TRUE(parsed.command.setRollout);
  EXPECT_EQ(parsed.command.options.rollout, 25);
  EXPECT_EQ(parsed.command.options.releaseFolder, std::filesystem::u8path("site"));
  parsed = Parse({"--halt", "--channel=beta", "--signing-key=k.pem", "site"});
  ASSERT_TRUE(parsed.ok) << parsed.error;
  EXPECT_TRUE(parsed.command.setRollout);
  EXPECT_EQ(parsed.command.options.rollout, 0);
  EXPECT_EQ(parsed.command.options.releaseFolder, std::filesystem::u8path("site/channels/beta"));
}

// "0.5" was once read as 0 by another updater: a percentage is whole or refused.
TEST(PublishOptions, APercentageThatIsNoWholeNumberFrom0To100IsRefused) {
  for (const char* percentage : {"0.5", "101", "-1", "", "10%", " 5", "1e1"}) {
    for (const std::string option : {"--rollout=", "--set-rollout="}) {
      const Parsed parsed = option == "--rollout="
                                ? Parse({"--version=1", "--version-code=1", option + percentage, "a", "b"})
                                : Parse({option + percentage, "--signing-key=k", "site"});
      EXPECT_FALSE(parsed.ok) << option << percentage;
      EXPECT_NE(parsed.error.find("needs a whole number from 0 to 100, not \"" + std::string(percentage) + "\""),
                std::string::npos)
          << parsed.error;
    }
  }
  const Parsed bothModes = Parse({"--halt", "--set-rollout=5", "--signing-key=k", "site"});
  EXPECT_FALSE(bothModes.ok);
  EXPECT_NE(bothModes.error.find("cannot be given together"), std::string::npos) << bothModes.error;
  const Parsed noKey = Parse({"--halt", "site"});
  EXPECT_EQ(noKey.error, "--halt needs --signing-key");
  const Parsed withVersion = Parse({"--set-rollout=5", "--signing-key=k", "--version=2", "site"});
  EXPECT_EQ(withVersion.error.rfind("--set-rollout takes only", 0), 0u) << withVersion.error;
  for (const char* channel : {"", "be ta", "../x", "b_eta"}) {
    const Parsed parsed = Parse({"--version=1", "--version-code=1", std::string("--channel=") + channel, "a", "b"});
    EXPECT_FALSE(parsed.ok) << channel;
    EXPECT_EQ(parsed.error.rfind("--channel needs 1 to 32 letters, digits and -", 0), 0u) << parsed.error;
  }
}

TEST(PublishOptions, GenerateKeyStandsAlone) {
  const Parsed parsed = Parse({"--generate-key=offline keys"});
  ASSERT_TRUE(parsed.ok) << parsed.error;
  EXPECT_EQ(parsed.command.generateKeyFolder, std::filesystem::u8path("offline keys"));
  EXPECT_TRUE(parsed.command.options.signingKeyFile.empty());
}

TEST(PublishOptions, DefaultsAndTheEndOfOptions) {
  const Parsed parsed = Parse({"--version=2", "--version-code=2147483647", "--", "--build", "out"});
  ASSERT_TRUE(parsed.ok) << parsed.error;
  const PublishOptions& options = parsed.command.options;
  EXPECT_EQ(options.versionCode, 2147483647);
  EXPECT_EQ(options.buildFolder, std::filesystem::u8path("--build"));
  EXPECT_EQ(options.releaseNotes, "");
  EXPECT_EQ(options.minVersion, "");
  EXPECT_TRUE(options.optionalPatterns.empty());
  EXPECT_TRUE(options.signingKeyFile.empty());
  EXPECT_EQ(options.expiresInDays, 90);
  EXPECT_FALSE(options.x64Updater);
  EXPECT_EQ(options.patchHistory, 3);
  EXPECT_TRUE(options.seekingPatches);
  EXPECT_EQ(options.releaseDate, TodayUtcDate());
  ASSERT_EQ(options.releaseDate.size(), 10u);
  EXPECT_EQ(options.releaseDate[4], '-');
  EXPECT_EQ(options.releaseDate[7], '-');
  EXPECT_EQ(options.releaseDate.substr(0, 2), "20");
}

TEST(PublishOptions, HelpAnywhereOnlyAsksForHelp) {
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"--help"}, {"--bogus", "-h"}, {"a", "b", "--help"}}) {
    const Parsed parsed = Parse(arguments);
    EXPECT_TRUE(parsed.ok);
    EXPECT_TRUE(parsed.command.showHelp);
  }
  const std::string help = PublishHelpText();
  for (const char* mentioned : {"--version=", "--version-code=", "--release-date=",
                                "--release-notes=", "--min-version=", "--optional=", "4 GiB",
                                "--signing-key=", "--generate-key=", "manifest.json.sig",
                                "--expires-in=", "--re-sign", "--x64-updater",
                                "--patch-history=", "--patch-formats=both|new", "zavex_delta", "Exit codes"}) {
    EXPECT_NE(help.find(mentioned), std::string::npos) << mentioned;
  }
}

TEST(PublishOptions, RefusesIncompleteOrMalformedCalls) {
  struct Case {
    std::vector<std::string> arguments;
    std::string errorStart;
  };
  const Case cases[] = {
      {{"--version-code=1", "build", "site"}, "--version is required"},
      {{"--version=", "--version-code=1", "build", "site"}, "--version is required"},
      {{"--version=1", "build", "site"}, "--version-code is required"},
      {{"--version=1", "--version-code=1", "build"}, "expected the build folder"},
      {{"--version=1", "--version-code=1", "a", "b", "c"}, "expected the build folder"},
      {{"--version=1", "--version-code=1", "--colour=red", "a", "b"}, "unknown option --colour"},
      {{"--version=1", "--version=2", "--version-code=1", "a", "b"}, "--version is given more"},
      {{"--version=1", "a", "b", "--version-code"}, "--version-code needs a value"},
      {{"--version=1", "--version-code=1", "--signing-key=", "a", "b"}, "--signing-key needs"},
      {{"--generate-key="}, "--generate-key needs a path"},
      {{"--generate-key=keys", "--version=1"}, "--generate-key takes no other argument"},
      {{"--generate-key=keys", "site"}, "--generate-key takes no other argument"},
      {{"--re-sign", "site"}, "--re-sign needs --signing-key"},
      {{"--re-sign=yes", "--signing-key=k", "site"}, "--re-sign takes no value"},
      {{"--version=1", "--version-code=1", "--x64-updater=no", "a", "b"}, "--x64-updater takes"},
      {{"--re-sign", "--signing-key=k", "a", "b"}, "--re-sign expects the release folder alone"},
      {{"--re-sign", "--signing-key=k", "--version=2", "site"}, "--re-sign takes only"},
      {{"--version=1", "--version-code=1", "--expires-in=0", "a", "b"}, "--expires-in needs"},
      {{"--version=1", "--version-code=1", "--expires-in=3651", "a", "b"}, "--expires-in needs"},
      {{"--version=1", "--version-code=1", "--expires-in=7d", "a", "b"}, "--expires-in needs"},
  };
  for (const Case& refused : cases) {
    const Parsed parsed = Parse(refused.arguments);
    EXPECT_FALSE(parsed.ok);
    EXPECT_EQ(parsed.error.rfind(refused.errorStart, 0), 0u) << parsed.error;
  }
  for (const char* code : {"0", "-1", "+3", "2147483648", "99999999999", "12a", "", " 5", "0x10"}) {
    const Parsed parsed = Parse({"--version=1", std::string("--version-code=") + code, "a", "b"});
    EXPECT_FALSE(parsed.ok) << code;
    EXPECT_NE(parsed.error.find("1 to 2147483647"), std::string::npos) << code;
  }
  for (const char* history : {"-1", "101", "", "three"}) {
    const Parsed parsed = Parse({"--version=1", "--version-code=1", std::string("--patch-history=") + history, "a", "b"});
    EXPECT_FALSE(parsed.ok) << history;
    EXPECT_NE(parsed.error.find("--patch-history needs a whole number from 0 to 100"), std::string::npos) << history;
  }
  for (const char* formats : {"old", "", "New", "both,new"}) {
    const Parsed parsed = Parse({"--version=1", "--version-code=1", std::string("--patch-formats=") + formats, "a", "b"});
    EXPECT_FALSE(parsed.ok) << formats;
    EXPECT_NE(parsed.error.find("--patch-formats needs both or new"), std::string::npos) << formats;
  }
}

}  // namespace
}  // namespace zavex
