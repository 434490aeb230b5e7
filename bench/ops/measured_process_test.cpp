#include "bench/ops/measured_process.h"

#include <gtest/gtest.h>

#include "support/process.h"

namespace zavex::bench {
namespace {

constexpr SIZE_T kMiB = 1024 * 1024;

std::wstring MemoryHolder() { return test::BuildDir() + L"\\bench\\ops\\memory_holder.exe"; }

ProcessFigures RunHolder(const std::wstring& arguments, DWORD timeoutMs) {
  MeasuredProcess holder;
  EXPECT_TRUE(holder.Start(MemoryHolder(), arguments));
  return holder.WaitForExit(timeoutMs);
}

TEST(MeasuredProcessTest, PeakWorkingSetFollowsWhatTheChildTouched) {
  const ProcessFigures small = RunHolder(L"1 300", 30000);
  const ProcessFigures large = RunHolder(L"96 300", 30000);

  ASSERT_TRUE(small.ended);
  ASSERT_TRUE(large.ended);
  EXPECT_EQ(small.exitCode, 7u);
  EXPECT_EQ(large.exitCode, 7u);
  EXPECT_GT(small.peakWorkingSet, 0u);
  EXPECT_LT(small.peakWorkingSet, 64 * kMiB);
  EXPECT_GE(large.peakWorkingSet, 96 * kMiB);
  // The child held its pages for 300 ms, so the clock ran at least that long.
  EXPECT_GE(large.seconds, 0.3);
}

TEST(MeasuredProcessTest, ChildOutlivingTheTimeoutIsKilledAndNotReportedAsEnded) {
  MeasuredProcess holder;
  ASSERT_TRUE(holder.Start(MemoryHolder(), L"1 60000"));
  UniqueKernelHandle watched(OpenProcess(SYNCHRONIZE, FALSE, holder.id()));
  ASSERT_TRUE(watched);
  const ProcessFigures figures = holder.WaitForExit(200);
  EXPECT_FALSE(figures.ended);
  EXPECT_EQ(WaitForSingleObject(watched.get(), 10000), WAIT_OBJECT_0);
}

TEST(MeasuredProcessTest, WaitUntilReturnsOnceTheConditionHolds) {
  MeasuredProcess holder;
  ASSERT_TRUE(holder.Start(MemoryHolder(), L"1 60000"));
  int polls = 0;
  EXPECT_TRUE(holder.WaitUntil([&polls] { return ++polls == 3; }, 30000));
  EXPECT_EQ(polls, 3);
}

TEST(MeasuredProcessTest, MissingProgramDoesNotStart) {
  MeasuredProcess missing;
  EXPECT_FALSE(missing.Start(test::BuildDir() + L"\\no_such_program.exe", L""));
}

}  // namespace
}  // namespace zavex::bench
