#include "platform/file_system.h"
#include "platform/link_safe_removal.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include "platform/host_shell.h"
#include "platform/unique_handle.h"
#include "support/http_server.h"
#include "support/test_files.h"

namespace zavex {
namespace {

using test::FileExists;
using test::FolderExists;
using test::CreateFolderLink;

// A drive letter that names no drive, as "Q:".
std::wstring UnusedDrive() {
  const DWORD drives = GetLogicalDrives();
  for (wchar_t letter = L'Q'; letter <= L'Y'; ++letter) {
    if (!(drives & (1u << (letter - L'A')))) return std::wstring(1, letter) + L":";
  }
  return L"";
}

std::wstring ProgramsFolder() {
  wchar_t path[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, CSIDL_PROGRAMS, nullptr, SHGFP_TYPE_CURRENT, path);
  return path;
}

TEST(CreateDirectoryRecursiveTest, CreatesMissingLevelsAndAcceptsExistingEntries) {
  test::TempDir temp;
  EXPECT_TRUE(CreateDirectoryRecursive(temp.path()));

  const std::wstring deep = temp / L"one\\two\\three";
  EXPECT_TRUE(CreateDirectoryRecursive(deep));
  EXPECT_TRUE(FolderExists(deep));

  const std::wstring mixed = temp / L"a/b\\c/";
  EXPECT_TRUE(CreateDirectoryRecursive(mixed));
  EXPECT_TRUE(FolderExists(temp / L"a\\b\\c"));

  // An entry of that name counts, even when it is a file.
  ASSERT_TRUE(test::WriteTextFile(temp / L"file", "x"));
  EXPECT_TRUE(CreateDirectoryRecursive(temp / L"file"));
  EXPECT_TRUE(FileExists(temp / L"file"));
  EXPECT_FALSE(CreateDirectoryRecursive(temp / L"file\\below"));
}

TEST(CreateDirectoryRecursiveTest, StopsWhenNothingIsLeftToClimb) {
  const std::wstring drive = UnusedDrive();
  ASSERT_FALSE(drive.empty());
  EXPECT_FALSE(CreateDirectoryRecursive(drive + L"bare"));
  EXPECT_FALSE(CreateDirectoryRecursive(drive + L"\\one\\two\\three"));
  EXPECT_FALSE(CreateDirectoryRecursive(L""));
}

TEST(RemoveFileTest, DeletesOnlyWhatExists) {
  test::TempDir temp;
  ASSERT_TRUE(test::WriteTextFile(temp / L"gone.txt", "x"));
  EXPECT_TRUE(RemoveFile(temp / L"gone.txt"));
  EXPECT_FALSE(FileExists(temp / L"gone.txt"));
  EXPECT_FALSE(RemoveFile(temp / L"gone.txt"));
  EXPECT_FALSE(RemoveFile(temp.path()));
}

// The file is opened without sharing, so the second open succeeds only when
// put() closed the first handle.
TEST(UniqueHandleTest, PutClosesTheHeldHandleBeforeExposingItsSlot) {
  test::TempDir temp;
  const std::wstring path = temp / L"exclusive.txt";
  ASSERT_TRUE(test::WriteTextFile(path, "x"));
  const auto openExclusive = [&path] {
    return CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  };
  UniqueFile file(openExclusive());
  ASSERT_TRUE(file);
  HANDLE* slot = file.put();
  EXPECT_FALSE(file);
  *slot = openExclusive();
  EXPECT_TRUE(file);
}

TEST(IsExistingFileTest, OnlyFilesCount) {
  test::TempDir temp;
  ASSERT_TRUE(test::WriteTextFile(temp / L"file.txt", "x"));
  EXPECT_TRUE(IsExistingFile(temp / L"file.txt"));
  EXPECT_FALSE(IsExistingFile(temp.path()));
  EXPECT_FALSE(IsExistingFile(temp / L"missing.txt"));
}

TEST(IsSamePathTest, ComparesAsWindowsResolvesNames) {
  const std::wstring record = L"C:\\Zavex Phone\\manifest.json";
  const struct {
    const wchar_t* path;
    bool same;
  } cases[] = {
      {L"C:\\Zavex Phone\\manifest.json", true},
      {L"C:\\Zavex Phone\\MANIFEST.JSON", true},
      {L"C:\\zavex phone\\Manifest.Json", true},
      {L"C:\\Zavex Phone\\./manifest.json", true},
      {L"C:\\Zavex Phone\\manifest.json.", true},
      {L"C:\\Zavex Phone/sub/../manifest.json", true},
      {L"C:\\Zavex Phone\\sub\\manifest.json", false},
      {L"C:\\Zavex Phone\\manifest.json.tmp", false},
      {L"C:\\Zavex Phone\\manifest.jso", false},
      {L"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "path " << c.path);
    EXPECT_EQ(IsSamePath(c.path, record), c.same);
  }
  EXPECT_TRUE(IsSamePath(L"C:\\A\\A\u00c7\u00c3O.dll", L"c:\\a\\a\u00e7\u00e3o.DLL"));
  // A folder with and without its trailing separator.
  EXPECT_TRUE(IsSamePath(L"C:\\Zavex Phone\\", L"C:\\Zavex Phone"));
  EXPECT_TRUE(IsSamePath(L"C:\\", L"C:\\"));
}

TEST(FlushFileToDiskTest, FlushesExistingFilesOnly) {
  test::TempDir temp;
  ASSERT_TRUE(test::WriteTextFile(temp / L"data.bin", "data"));
  EXPECT_TRUE(FlushFileToDisk(temp / L"data.bin"));
  EXPECT_EQ(test::ReadTextFile(temp / L"data.bin"), "data");
  EXPECT_FALSE(FlushFileToDisk(temp / L"missing.bin"));
  EXPECT_FALSE(FlushFileToDisk(temp.path()));
}

TEST(RemoveDirectoryRecursiveTest, RemovesWholeTree) {
  test::TempDir temp;
  const std::wstring tree = temp / L"tree";
  ASSERT_TRUE(CreateDirectoryRecursive(tree + L"\\sub\\deeper"));
  ASSERT_TRUE(test::WriteTextFile(tree + L"\\top.txt", "top"));
  ASSERT_TRUE(test::WriteTextFile(tree + L"\\sub\\mid.txt", "mid"));
  ASSERT_TRUE(test::WriteTextFile(tree + L"\\sub\\deeper\\low.txt", "low"));
  CreateDirectoryW((tree + L"\\empty").c_str(), nullptr);

  EXPECT_TRUE(RemoveDirectoryRecursive(tree));
  EXPECT_FALSE(FolderExists(tree));
  EXPECT_TRUE(FolderExists(temp.path()));
  EXPECT_FALSE(RemoveDirectoryRecursive(tree));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(RemoveDirectoryRecursiveTest, FileHeldOpenKeepsItsFoldersAndNothingElse) {
  test::TempDir temp;
  const std::wstring tree = temp / L"tree";
  ASSERT_TRUE(CreateDirectoryRecursive(tree + L"\\held\\inner"));
  ASSERT_TRUE(CreateDirectoryRecursive(tree + L"\\other"));
  ASSERT_TRUE(test::WriteTextFile(tree + L"\\held\\inner\\open.bin", "open"));
  ASSERT_TRUE(test::WriteTextFile(tree + L"\\held\\beside.txt", "beside"));
  ASSERT_TRUE(test::WriteTextFile(tree + L"\\other\\free.txt", "free"));
  ASSERT_TRUE(test::WriteTextFile(tree + L"\\top.txt", "top"));

  UniqueFile holder(CreateFileW((tree + L"\\held\\inner\\open.bin").c_str(), GENERIC_READ,
                                FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
  ASSERT_TRUE(holder);
  EXPECT_FALSE(RemoveDirectoryRecursive(tree));
  // The held file's code, not that of the listings that went on after it.
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_TRUE(FileExists(tree + L"\\held\\inner\\open.bin"));
  EXPECT_FALSE(FileExists(tree + L"\\held\\beside.txt"));
  EXPECT_FALSE(FolderExists(tree + L"\\other"));
  EXPECT_FALSE(FileExists(tree + L"\\top.txt"));

  holder.reset();
  EXPECT_TRUE(RemoveDirectoryRecursive(tree));
}

TEST(RemoveDirectoryRecursiveTest, LinkedFolderOutsideTheTreeAndALinkedTopFolderSurvive) {
  test::TempDir temp;
  const std::wstring outside = temp / L"outside";
  const std::wstring tree = temp / L"tree";
  ASSERT_TRUE(CreateDirectoryRecursive(outside + L"\\nested"));
  ASSERT_TRUE(CreateDirectoryRecursive(tree));
  ASSERT_TRUE(test::WriteTextFile(outside + L"\\keep.txt", "keep"));
  ASSERT_TRUE(test::WriteTextFile(outside + L"\\nested\\deep.txt", "deep"));
  ASSERT_TRUE(test::WriteTextFile(tree + L"\\own.txt", "own"));
  if (!CreateFolderLink(tree + L"\\folder-link", outside)) {
    GTEST_SKIP() << "folder links cannot be made here";
  }

  const bool removed = RemoveDirectoryRecursive(tree);
  EXPECT_EQ(test::ReadTextFile(outside + L"\\keep.txt"), "keep");
  EXPECT_EQ(test::ReadTextFile(outside + L"\\nested\\deep.txt"), "deep");
  EXPECT_FALSE(FileExists(tree + L"\\own.txt"));
  // Windows removes the folder link itself; Wine cannot, and keeps the tree.
  EXPECT_EQ(removed, !FolderExists(tree));

  // A top folder that is itself a link is refused, with or without a
  // trailing separator (which would name what it leads to).
  ASSERT_TRUE(CreateFolderLink(temp / L"installation", outside));
  EXPECT_FALSE(RemoveDirectoryRecursive(temp / L"installation"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
  EXPECT_FALSE(RemoveDirectoryRecursive(temp / L"installation\\"));
  EXPECT_EQ(test::ReadTextFile(outside + L"\\keep.txt"), "keep");
  EXPECT_EQ(test::ReadTextFile(outside + L"\\nested\\deep.txt"), "deep");
}

TEST(PathCrossesLinkTest, OnlyLinksBelowTheRootCount) {
  test::TempDir temp;
  const std::wstring outside = temp / L"outside";
  const std::wstring root = temp / L"root";
  ASSERT_TRUE(CreateDirectoryRecursive(outside));
  ASSERT_TRUE(CreateDirectoryRecursive(root + L"\\lib"));
  if (!CreateFolderLink(root + L"\\data", outside) ||
      !CreateFolderLink(temp / L"linked-root", root)) {
    GTEST_SKIP() << "folder links cannot be made here";
  }
  EXPECT_TRUE(PathCrossesLink(root, root + L"\\data\\x.dll"));
  EXPECT_TRUE(PathCrossesLink(root, root + L"\\data"));
  EXPECT_TRUE(PathCrossesLink(root, root + L"\\data/sub/x.dll"));
  EXPECT_FALSE(PathCrossesLink(root, root + L"\\lib\\x.dll"));
  EXPECT_FALSE(PathCrossesLink(root, root + L"\\new\\deep\\x.dll"));
  EXPECT_FALSE(PathCrossesLink(root, root + L"\\datax.dll"));
  // The root itself was chosen by the caller; only what lies below counts.
  EXPECT_FALSE(PathCrossesLink(temp / L"linked-root", temp / L"linked-root\\lib\\x.dll"));
}

TEST(WriteWholeFileTest, WritesExactlyTheBytesGiven) {
  test::TempDir temp;
  const std::wstring path = temp / L"data.bin";
  EXPECT_TRUE(WriteWholeFile(path, ""));
  EXPECT_TRUE(FileExists(path));
  EXPECT_EQ(test::ReadTextFile(path), "");

  const std::string many = test::GeneratedBytes(0, 3 * 1048576 + 7);
  EXPECT_TRUE(WriteWholeFile(path, many));
  EXPECT_EQ(test::ReadTextFile(path), many);

  EXPECT_TRUE(WriteWholeFile(path, std::string("a\0b", 3)));
  EXPECT_EQ(test::ReadTextFile(path), std::string("a\0b", 3));

  EXPECT_FALSE(WriteWholeFile(temp / L"missing\\data.bin", "x"));
  EXPECT_FALSE(WriteWholeFile(temp.path(), "x"));
}

TEST(StartMenuFolderTest, CreatesAndRemovesOnlyItsOwnLevel) {
  const std::wstring name = L"Zavex Platform Test " + std::to_wstring(GetCurrentProcessId());
  const std::wstring folder = ProgramsFolder() + L"\\" + name;
  ASSERT_FALSE(FolderExists(folder));

  EXPECT_TRUE(CreateStartMenuFolder(name));
  EXPECT_TRUE(FolderExists(folder));
  EXPECT_TRUE(CreateStartMenuFolder(name));
  EXPECT_FALSE(CreateStartMenuFolder(name + L"\\missing parent\\child"));

  ASSERT_TRUE(test::WriteTextFile(folder + L"\\link.lnk", "l"));
  ASSERT_TRUE(CreateDirectoryRecursive(folder + L"\\sub"));
  ASSERT_TRUE(test::WriteTextFile(folder + L"\\sub\\inner.txt", "i"));
  EXPECT_FALSE(RemoveStartMenuFolder(name));
  EXPECT_FALSE(FileExists(folder + L"\\link.lnk"));
  EXPECT_TRUE(FileExists(folder + L"\\sub\\inner.txt"));

  ASSERT_TRUE(test::DeleteTree(folder + L"\\sub"));
  EXPECT_TRUE(RemoveStartMenuFolder(name));
  EXPECT_FALSE(FolderExists(folder));
  EXPECT_FALSE(RemoveStartMenuFolder(name));
}

}  // namespace
}  // namespace zavex
