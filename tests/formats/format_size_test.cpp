#include <gtest/gtest.h>

#include <cstdint>

#include "formats/format_size.h"

namespace zavex {
namespace {

TEST(FormatSize, WholeBytesBelowOneKilobyte) {
  EXPECT_EQ(FormatSize(0), L"0 B");
  EXPECT_EQ(FormatSize(1), L"1 B");
  EXPECT_EQ(FormatSize(1023), L"1023 B");
}

TEST(FormatSize, OneDecimalFromEachUnitBoundary) {
  EXPECT_EQ(FormatSize(1024), L"1.0 KB");
  EXPECT_EQ(FormatSize(1536), L"1.5 KB");
  EXPECT_EQ(FormatSize(1048576), L"1.0 MB");
  EXPECT_EQ(FormatSize(1572864), L"1.5 MB");
  EXPECT_EQ(FormatSize(1073741824), L"1.0 GB");
  EXPECT_EQ(FormatSize(1024 * 1024 + 102 * 1024 + 410), L"1.1 MB");
}

TEST(FormatSize, UnitIsChosenBeforeRounding) {
  EXPECT_EQ(FormatSize(1048575), L"1024.0 KB");
  EXPECT_EQ(FormatSize(1073741823), L"1024.0 MB");
  EXPECT_EQ(FormatSize(1076), L"1.1 KB");
  // Exact halves round to the even digit.
  EXPECT_EQ(FormatSize(1280), L"1.2 KB");
  EXPECT_EQ(FormatSize(1792), L"1.8 KB");
  EXPECT_EQ(FormatSize(2304), L"2.2 KB");
}

TEST(FormatSize, GigabytesIsTheLargestUnit) {
  EXPECT_EQ(FormatSize(5ULL * 1024 * 1024 * 1024 * 1024), L"5120.0 GB");
  EXPECT_EQ(FormatSize(UINT64_MAX), L"17179869184.0 GB");
}

}  // namespace
}  // namespace zavex
