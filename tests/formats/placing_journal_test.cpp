#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "formats/placing_journal.h"

namespace zavex {
namespace {

const std::string kOld(64, 'a');
const std::string kNew = std::string(63, '0') + "f";

TEST(PlacingJournal, ReadsBackWhatItWrites) {
  const std::vector<JournalEntry> written = {{"zavexphone.exe", kOld, kNew},
                                             {"lib/new codec.dll", "", kNew}};
  const std::string text = SerializePlacingJournal(written);
  EXPECT_EQ(text, "zavex placing journal 1\n" + kOld + " " + kNew + " zavexphone.exe\n- " + kNew +
                      " lib/new codec.dll\n");
  std::vector<JournalEntry> read;
  ASSERT_TRUE(ParsePlacingJournal(text, read));
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read[1].path, "lib/new codec.dll");
  EXPECT_EQ(read[1].recordedHash, "");
  EXPECT_EQ(read[0].recordedHash, kOld);
  EXPECT_EQ(read[0].newHash, kNew);
}

TEST(PlacingJournal, APathWithAControlCharacterIsNotWritten) {
  EXPECT_EQ(SerializePlacingJournal({{"a\nb.dll", kOld, kNew}}), "");
}

TEST(PlacingJournal, RefusesEverythingElseWhole) {
  const std::string header = "zavex placing journal 1\n";
  const std::string good = kOld + " " + kNew + " a.dll\n";
  for (const std::string& text :
       {std::string(), header, "zavex placing journal 2\n" + good, good,
        header + good + kOld + " " + kNew + " ../outside.dll\n",
        header + kOld + " " + kNew + " \\\\server\\share\\x.dll\n",
        header + kOld + " " + kNew + " C:\\Windows\\x.dll\n",
        header + kOld + " " + kNew + " /x.dll\n", header + kOld + " " + kNew + " \n",
        header + kOld + " " + kNew + " tab\tname\n",
        header + std::string(64, 'A') + " " + kNew + " a.dll\n",
        header + kOld.substr(1) + " " + kNew + " a.dll\n", header + kOld + " - a.dll\n",
        header + kOld + "  " + kNew + " a.dll\n", header + kOld + " " + kNew + " a.dll",
        header + good + "\n", header + kOld + " " + kNew + " a.dll\r\n"}) {
    SCOPED_TRACE(text);
    std::vector<JournalEntry> entries = {{"stale", "", ""}};
    EXPECT_FALSE(ParsePlacingJournal(text, entries));
    EXPECT_TRUE(entries.empty());
  }
}

}  // namespace
}  // namespace zavex
