#include "platform/shortcut.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <objidl.h>
#include <shlobj.h>

#include <thread>

#include "platform/unique_handle.h"
#include "support/test_files.h"

namespace zavex {
namespace {

// What the shell reads back from a saved link.
struct LinkFields {
  std::wstring target;
  std::wstring workingDirectory;
  std::wstring iconPath;
  int iconIndex = -1;
  std::wstring description;
  std::wstring arguments;
};

bool ReadLink(const std::wstring& path, LinkFields& fields) {
  ComPtr<IShellLinkW> link;
  ComPtr<IPersistFile> file;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              link.put_void())) ||
      FAILED(link->QueryInterface(IID_IPersistFile, file.put_void())) ||
      FAILED(file->Load(path.c_str(), STGM_READ))) {
    return false;
  }
  wchar_t text[INFOTIPSIZE] = {};
  link->GetPath(text, MAX_PATH, nullptr, SLGP_RAWPATH);
  fields.target = text;
  link->GetWorkingDirectory(text, MAX_PATH);
  fields.workingDirectory = text;
  link->GetIconLocation(text, MAX_PATH, &fields.iconIndex);
  fields.iconPath = text;
  link->GetDescription(text, INFOTIPSIZE);
  fields.description = text;
  link->GetArguments(text, INFOTIPSIZE);
  fields.arguments = text;
  return true;
}

class ShortcutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    ASSERT_TRUE(test::WriteTextFile(target, "MZ"));
    ASSERT_TRUE(test::WriteTextFile(icon, "MZ"));
  }
  void TearDown() override { CoUninitialize(); }

  test::TempDir temp;
  const std::wstring target = temp / L"zavexphone.exe";
  const std::wstring icon = temp / L"other icon.exe";
  const std::wstring shortcut = temp / L"Zavex Phone.lnk";
};

TEST_F(ShortcutTest, StoresEveryFieldGiven) {
  ASSERT_TRUE(CreateShortcut(shortcut, target, L"Zavex Phone", L"C:\\Start In", icon,
                             L"tel:+5511999990000"));
  LinkFields fields;
  ASSERT_TRUE(ReadLink(shortcut, fields));
  EXPECT_EQ(fields.target, target);
  EXPECT_EQ(fields.workingDirectory, L"C:\\Start In");
  EXPECT_EQ(fields.iconPath, icon);
  EXPECT_EQ(fields.iconIndex, 0);
  EXPECT_EQ(fields.description, L"Zavex Phone");
  EXPECT_EQ(fields.arguments, L"tel:+5511999990000");
}

TEST_F(ShortcutTest, EmptyFieldsFallBackToTheTarget) {
  ASSERT_TRUE(CreateShortcut(shortcut, target, L"", L"", L"", L""));
  LinkFields fields;
  ASSERT_TRUE(ReadLink(shortcut, fields));
  EXPECT_EQ(fields.target, target);
  EXPECT_EQ(fields.workingDirectory, temp.path());
  EXPECT_EQ(fields.iconPath, target);
  EXPECT_EQ(fields.iconIndex, 0);
  EXPECT_EQ(fields.description, L"");
  EXPECT_EQ(fields.arguments, L"");

  const std::wstring forward = temp / L"forward.lnk";
  std::wstring forwardTarget = target;
  forwardTarget[forwardTarget.rfind(L'\\')] = L'/';
  ASSERT_TRUE(CreateShortcut(forward, forwardTarget, L"", L"", L"", L""));
  ASSERT_TRUE(ReadLink(forward, fields));
  EXPECT_EQ(fields.workingDirectory, temp.path());
}

TEST_F(ShortcutTest, ReplacesAnExistingLink) {
  ASSERT_TRUE(CreateShortcut(shortcut, icon, L"first", L"", L"", L"--first"));
  ASSERT_TRUE(CreateShortcut(shortcut, target, L"second", L"", L"", L""));
  LinkFields fields;
  ASSERT_TRUE(ReadLink(shortcut, fields));
  EXPECT_EQ(fields.target, target);
  EXPECT_EQ(fields.description, L"second");
  EXPECT_EQ(fields.arguments, L"");
}

TEST_F(ShortcutTest, FailsWithoutFolderOrCom) {
  EXPECT_FALSE(CreateShortcut(temp / L"missing\\Zavex Phone.lnk", target, L"", L"", L"", L""));
  EXPECT_FALSE(test::FileExists(temp / L"missing\\Zavex Phone.lnk"));

  bool savedWithoutCom = true;
  std::thread([&] {
    savedWithoutCom = CreateShortcut(shortcut, target, L"", L"", L"", L"");
  }).join();
  EXPECT_FALSE(savedWithoutCom);
  EXPECT_FALSE(test::FileExists(shortcut));
}

}  // namespace
}  // namespace zavex
