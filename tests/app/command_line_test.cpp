#include <gtest/gtest.h>

#include "app/command_line.h"

namespace zavex {
namespace {

OperationMode ModeOf(const wchar_t* text) { return ParseCommandLine(text).mode; }
std::wstring PathOf(const wchar_t* text) { return ParseCommandLine(text).installPath; }

TEST(CommandLine, DefaultsForEmptyAndNullText) {
  for (const wchar_t* text : {static_cast<const wchar_t*>(nullptr), L""}) {
    const CommandLineArgs args = ParseCommandLine(text);
    EXPECT_EQ(args.mode, INSTALLER);
    EXPECT_TRUE(args.installPath.empty());
    EXPECT_FALSE(args.restart);
  }
}

TEST(CommandLine, ModeSwitchesAndTheirPrecedence) {
  const struct {
    const wchar_t* text;
    OperationMode mode;
  } cases[] = {
      {L"--install", INSTALLER},         {L"--update", UPDATER},
      {L"--uninstall", UNINSTALLER},     {L"--check", SILENT_CHECK},
      {L"--silent", SILENT_UPDATE},      {L"--self-update", SELF_UPDATE},
      {L"--check --silent", SILENT_CHECK}, {L"--silent --check", SILENT_CHECK},
      {L"--uninstall --silent", SILENT_UPDATE}, {L"--install --silent", SILENT_UPDATE},
      {L"--silent --update", SILENT_UPDATE},  {L"--check --self-update", SELF_UPDATE},
      {L"--update --uninstall", UNINSTALLER}, {L"--uninstall --check", SILENT_CHECK},
      {L"--service", SERVICE},           {L"--self-update --silent --service", SERVICE},
  };
  for (const auto& c : cases) EXPECT_EQ(ModeOf(c.text), c.mode) << c.text;
}

TEST(CommandLine, SwitchesAreSubstringsAndCaseSensitive) {
  EXPECT_EQ(ModeOf(L"--installation"), INSTALLER);
  EXPECT_EQ(ModeOf(L"x--updatey"), UPDATER);
  EXPECT_EQ(ModeOf(L"--UPDATE"), INSTALLER);
  EXPECT_EQ(ModeOf(L"--Check"), INSTALLER);
  EXPECT_TRUE(ParseCommandLine(L"--silent --restart").restart);
  EXPECT_FALSE(ParseCommandLine(L"--silent --Restart").restart);
}

TEST(CommandLine, UnquotedPathEndsAtBlankAndSwitchesInsideCount) {
  const CommandLineArgs args = ParseCommandLine(L"--path=C:\\Apps\\Zavex --silent");
  EXPECT_EQ(args.installPath, L"C:\\Apps\\Zavex");
  EXPECT_EQ(args.mode, SILENT_UPDATE);
  EXPECT_EQ(ModeOf(L"--path=C:\\--check\\x"), SILENT_CHECK);
  EXPECT_EQ(PathOf(L"--path=C:\\dir\\"), L"C:\\dir\\");
  EXPECT_EQ(PathOf(L"--update --path=D:\\Z"), L"D:\\Z");
}

TEST(CommandLine, QuotedPathValue) {
  EXPECT_EQ(PathOf(L"--path=\"C:\\Program Files\\Zavex Phone\" --update"),
            L"C:\\Program Files\\Zavex Phone");
  EXPECT_EQ(PathOf(L"\"--path=C:\\Program Files\\ZavexPhone\""), L"C:\\Program");
  EXPECT_EQ(PathOf(L"--path=\"C:\\no closing quote"), L"");
  EXPECT_EQ(PathOf(L"--path=\""), L"");
  EXPECT_EQ(PathOf(L"--path=\"\""), L"");
}

TEST(CommandLine, EmptyPathAndFirstOccurrenceOnly) {
  EXPECT_EQ(PathOf(L"--path="), L"");
  EXPECT_EQ(PathOf(L"--path= C:\\x"), L"");
  EXPECT_EQ(PathOf(L"--path=A --path=B"), L"A");
  EXPECT_EQ(PathOf(L"--path=\ttab"), L"\ttab");
}

TEST(CommandLine, ChannelValueEndsAtBlankAndMayBeEmpty) {
  CommandLineArgs args = ParseCommandLine(L"--update --channel=beta --path=C:\\x");
  EXPECT_TRUE(args.channelGiven);
  EXPECT_EQ(args.channel, L"beta");
  EXPECT_EQ(args.installPath, L"C:\\x");
  args = ParseCommandLine(L"--channel= --update");
  EXPECT_TRUE(args.channelGiven);
  EXPECT_EQ(args.channel, L"");
  EXPECT_FALSE(ParseCommandLine(L"--update --channel beta").channelGiven);
}

TEST(CommandLine, ModeLogNames) {
  EXPECT_STREQ(OperationModeName(INSTALLER), "INSTALLER");
  EXPECT_STREQ(OperationModeName(UPDATER), "UPDATER");
  EXPECT_STREQ(OperationModeName(UNINSTALLER), "UNINSTALLER");
  EXPECT_STREQ(OperationModeName(SILENT_CHECK), "SILENT_CHECK");
  EXPECT_STREQ(OperationModeName(SILENT_UPDATE), "SILENT_UPDATE");
  EXPECT_STREQ(OperationModeName(SELF_UPDATE), "SELF_UPDATE");
  EXPECT_STREQ(OperationModeName(SERVICE), "SERVICE");
}

}  // namespace
}  // namespace zavex
