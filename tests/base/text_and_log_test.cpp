#include <windows.h>

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "base/logger.h"
#include "base/text_conversion.h"
#include "support/test_files.h"

namespace zavex {
namespace {

const char kRule[] = "========================================";

TEST(TextConversion, RoundTripsPortugueseAndWideCharacters) {
  const std::string utf8 = "Instala\xC3\xA7\xC3\xA3o conclu\xC3\xAD" "da \xE2\x82\xAC \xF0\x9F\x93\x9E";
  const std::wstring wide = Utf8ToWide(utf8);
  EXPECT_EQ(wide, L"Instala\u00E7\u00E3o conclu\u00EDda \u20AC \U0001F4DE");
  EXPECT_EQ(WideToUtf8(wide), utf8);
  EXPECT_EQ(Utf8ToWide(""), L"");
  EXPECT_EQ(WideToUtf8(L""), "");
}

TEST(TextConversion, BadInputIsReplacedAndZeroEndsTheText) {
  EXPECT_EQ(Utf8ToWide("a\xFF" "b"), L"a\uFFFDb");
  EXPECT_EQ(WideToUtf8(std::wstring(L"x") + wchar_t(0xD800) + L"y"), "x\xEF\xBF\xBDy");
  EXPECT_EQ(Utf8ToWide(std::string("ab\0cd", 5)), L"ab");
  EXPECT_EQ(WideToUtf8(std::wstring(L"ab\0cd", 5)), "ab");
}

TEST(Logger, HeaderBlocksLinesAndClose) {
  test::TempDir dir;
  const std::wstring path = dir / L"zavex_updater.log";
  Logger& log = Logger::Instance();

  log.Open(path);
  log.Info("100% done %s %d");
  log.Error(WideToUtf8(L"Falha ao baixar: a\u00E7\u00E3o"));
  log.Write("WARN", std::string("cut\0hidden", 10));
  log.Close();
  log.Debug("after close");
  log.Open(path);
  log.Debug("second run");
  log.Close();

  const std::string text = test::ReadTextFile(path);
  EXPECT_EQ(text.find("after close"), std::string::npos);
  EXPECT_EQ(text.find("hidden"), std::string::npos);

  // No byte-order mark, CR LF line ends, one header block per Open.
  const std::string stamp = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})";
  const std::string header = std::string("\r\n") + kRule + "\r\nZAVEX Updater Log - " + stamp +
                             "\r\n" + kRule + "\r\n";
  const std::regex expected(header + "\\[" + stamp + "\\] \\[INFO\\] 100% done %s %d\r\n" +
                            "\\[" + stamp + "\\] \\[ERROR\\] Falha ao baixar: a\xC3\xA7\xC3\xA3o\r\n" +
                            "\\[" + stamp + "\\] \\[WARN\\] cut\r\n" + header + "\\[" + stamp +
                            "\\] \\[DEBUG\\] second run\r\n");
  EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

// A best-effort step logs nothing when it worked, and a WARN with the code
// that its failed call left when it did not; a Win32 code is decimal, an
// HRESULT hexadecimal.
TEST(Logger, BestEffortStepsThatFailNameTheWindowsErrorCode) {
  test::TempDir dir;
  const std::wstring path = dir / L"zavex_updater.log";
  Logger& log = Logger::Instance();
  log.Open(path);
  EXPECT_TRUE(BestEffort(true, "Worked"));
  EXPECT_FALSE(BestEffort(DeleteFileW((dir / L"missing.txt").c_str()), "Deleting missing.txt"));
  SetLastError(static_cast<DWORD>(E_ACCESSDENIED));
  EXPECT_FALSE(BestEffort(false, "Creating the desktop shortcut"));
  log.Close();

  const std::string text = test::ReadTextFile(path);
  EXPECT_EQ(text.find("Worked"), std::string::npos);
  EXPECT_NE(text.find("] [WARN] Deleting missing.txt failed, going on (Windows error 2)\r\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("] [WARN] Creating the desktop shortcut failed, going on "
                      "(Windows error 0x80070005)\r\n"),
            std::string::npos)
      << text;
}

TEST(Logger, LinesStayWholeWithSeveralThreadsWriting) {
  test::TempDir dir;
  const std::wstring path = dir / L"zavex_updater.log";
  Logger& log = Logger::Instance();
  log.Open(path);
  constexpr int kThreads = 4;
  constexpr int kLines = 300;
  std::vector<std::thread> writers;
  for (int thread = 0; thread < kThreads; ++thread) {
    writers.emplace_back([&log, thread] {
      const std::string filler(120, static_cast<char>('a' + thread));
      for (int line = 0; line < kLines; ++line) {
        log.Info(std::to_string(thread) + " " + std::to_string(line) + " " + filler);
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  log.Close();

  std::istringstream text(test::ReadTextFile(path));
  const std::regex whole(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] \[INFO\] (\d) (\d+) ([a-d]{120})\r)");
  int next[kThreads] = {};
  std::string line;
  for (int header = 0; header < 4; ++header) std::getline(text, line);
  while (std::getline(text, line)) {
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(line, parts, whole)) << line;
    const int thread = std::stoi(parts[1]);
    EXPECT_EQ(std::stoi(parts[2]), next[thread]++);
    EXPECT_EQ(parts[3].str(), std::string(120, static_cast<char>('a' + thread)));
  }
  for (int count : next) EXPECT_EQ(count, kLines);
}

TEST(Logger, TimestampIsLocalTime) {
  const std::string stamp = GetTimestamp();
  ASSERT_TRUE(std::regex_match(stamp, std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})")));
  SYSTEMTIME local;
  GetLocalTime(&local);
  char expectedDay[16];
  std::snprintf(expectedDay, sizeof(expectedDay), "%04u-%02u-%02u", local.wYear, local.wMonth,
                local.wDay);
  char expectedHour[4];
  std::snprintf(expectedHour, sizeof(expectedHour), "%02u", local.wHour);
  // A run straddling midnight or an hour boundary is not worth a flaky failure.
  if (local.wMinute != 59 && local.wMinute != 0) {
    EXPECT_EQ(stamp.substr(0, 10), expectedDay);
    EXPECT_EQ(stamp.substr(11, 2), expectedHour);
  }
}

}  // namespace
}  // namespace zavex
