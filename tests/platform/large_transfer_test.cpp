#include <gtest/gtest.h>

#include <windows.h>
#include <psapi.h>

#include <cstdio>

#include "platform/host_shell.h"
#include "platform/http_client.h"
#include "platform/sha256_hasher.h"
#include "support/http_server.h"
#include "support/test_files.h"

namespace zavex {
namespace {

constexpr uint64_t kLargeFileBytes = 200ull * 1024 * 1024;
// sha256sum of test::GeneratedBytes(0, kLargeFileBytes).
constexpr char kLargeFileDigest[] =
    "f77c912e078d070133e3f167de10c2e2836d76e1338af5391b16bd2c5997f3dc";
constexpr SIZE_T kAllowedPeakGrowthBytes = 32u * 1024 * 1024;

SIZE_T PeakWorkingSet() {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof(counters);
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
  return counters.PeakWorkingSetSize;
}

uint64_t FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

class Stopwatch {
 public:
  Stopwatch() { QueryPerformanceCounter(&start); }
  double Seconds() const {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) / frequency.QuadPart;
  }

 private:
  LARGE_INTEGER start;
};

class LargeTransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.listening());
    test::HttpRoute route;
    route.generatedSize = kLargeFileBytes;
    server.SetRoute("/large.bin", route);
  }

  test::HttpServer server;
  test::TempDir temp;
};

// Runs a host command and returns how long it took by the host's clock, or
// a negative number when it did not run.
double TimedHostCommand(const std::string& command, const test::TempDir& temp) {
  const std::wstring timeFile = temp / L"elapsed-ns";
  const std::string timed = "start=$(date +%s%N); " + command +
                            " && echo $(( $(date +%s%N) - start )) > " +
                            test::ShellQuoted(test::HostPathOf(timeFile));
  if (!test::RunHostShell(timed)) return -1;
  return std::stod(test::ReadTextFile(timeFile)) / 1e9;
}

// The digest that the host's sha256sum gives for path.
std::string HostSha256(const std::wstring& path, const test::TempDir& temp, double& seconds) {
  const std::wstring output = temp / L"sha256sum.txt";
  seconds = TimedHostCommand("sha256sum " + test::ShellQuoted(test::HostPathOf(path)) + " > " +
                                 test::ShellQuoted(test::HostPathOf(output)),
                             temp);
  return test::ReadTextFile(output).substr(0, 64);
}

TEST_F(LargeTransferTest, DownloadStreamsWithoutGrowingMemory) {
  const std::wstring target = temp / L"large.bin";
  const SIZE_T peakBefore = PeakWorkingSet();
  HttpClient client;
  uint32_t lastWritten = 0;
  ASSERT_TRUE(client.DownloadFile(server.Url("/large.bin"), target,
                                 [&](std::string_view, uint32_t written, uint32_t) {
    lastWritten = written;
    return true;
  }));
  const SIZE_T peakAfter = PeakWorkingSet();
  ASSERT_GT(peakBefore, 0u);
  EXPECT_LT(peakAfter - peakBefore, kAllowedPeakGrowthBytes)
      << "peak working set " << peakBefore << " -> " << peakAfter;
  EXPECT_EQ(lastWritten, kLargeFileBytes);
  EXPECT_EQ(FileSize(target), kLargeFileBytes);

  Sha256Hasher hasher;
  EXPECT_EQ(hasher.HashFile(target), kLargeFileDigest);
  EXPECT_LT(PeakWorkingSet() - peakBefore, kAllowedPeakGrowthBytes);
  std::printf("peak working set: %zu KiB before, %zu KiB after 200 MiB\n", peakBefore / 1024,
              PeakWorkingSet() / 1024);
}

// Measures the download and the hashing next to curl and sha256sum on the
// same file, and checks that all four agree on the content.
TEST_F(LargeTransferTest, ThroughputNextToHostTools) {
  if (test::HostPathOf(temp.path()).empty()) GTEST_SKIP() << "needs the host tools under Wine";
  const std::wstring ours = temp / L"ours.bin";
  const std::wstring theirs = temp / L"curl.bin";

  HttpClient client;
  const Stopwatch downloadClock;
  ASSERT_TRUE(client.DownloadFile(server.Url("/large.bin"), ours, nullptr));
  const double downloadSeconds = downloadClock.Seconds();

  const std::wstring wideUrl = server.Url("/large.bin");
  const std::string url(wideUrl.begin(), wideUrl.end());
  const double curlSeconds = TimedHostCommand(
      "curl -s -o " + test::ShellQuoted(test::HostPathOf(theirs)) + " " + url, temp);
  ASSERT_GT(curlSeconds, 0) << "curl did not run";

  Sha256Hasher hasher;
  const Stopwatch hashClock;
  const std::string ourDigest = hasher.HashFile(ours);
  const double hashSeconds = hashClock.Seconds();
  double sha256sumSeconds = 0;
  const std::string hostDigest = HostSha256(theirs, temp, sha256sumSeconds);
  ASSERT_GT(sha256sumSeconds, 0) << "sha256sum did not run";

  EXPECT_EQ(ourDigest, kLargeFileDigest);
  EXPECT_EQ(hostDigest, kLargeFileDigest);

  const double megabytes = kLargeFileBytes / 1048576.0;
  std::printf("download: HttpClient %.0f MiB/s, curl %.0f MiB/s, time ratio %.2f\n",
              megabytes / downloadSeconds, megabytes / curlSeconds, downloadSeconds / curlSeconds);
  std::printf("hashing: Sha256Hasher %.0f MiB/s, sha256sum %.0f MiB/s, time ratio %.2f\n",
              megabytes / hashSeconds, megabytes / sha256sumSeconds, hashSeconds / sha256sumSeconds);
  RecordProperty("download_time_ratio_to_curl", std::to_string(downloadSeconds / curlSeconds));
  RecordProperty("hash_time_ratio_to_sha256sum", std::to_string(hashSeconds / sha256sumSeconds));
}

}  // namespace
}  // namespace zavex
