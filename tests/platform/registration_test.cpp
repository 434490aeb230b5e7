#include "platform/registration.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <vector>

#include "platform/unique_handle.h"
#include "support/process.h"

namespace zavex {
namespace {

constexpr wchar_t kUninstallRoot[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
constexpr wchar_t kTestEntry[] = L"Zavex Platform Test";
constexpr wchar_t kTelKey[] = L"Software\\Classes\\tel";
constexpr wchar_t kScratchKey[] = L"Software\\Zavex Platform Test";

struct RegistryValue {
  bool found = false;
  DWORD type = REG_NONE;
  std::vector<BYTE> bytes;

  std::wstring Text() const {
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    if (!text.empty() && text.back() == L'\0') text.pop_back();
    return text;
  }
  DWORD Number() const { return bytes.size() == 4 ? *reinterpret_cast<const DWORD*>(bytes.data()) : 0; }
};

RegistryValue ReadValue(const std::wstring& subKey, const std::wstring& name) {
  RegistryValue value;
  const UniqueKey key = test::OpenUserKeyAsTheShellSeesIt(subKey);
  if (!key) return value;
  DWORD size = 0;
  const wchar_t* valueName = name.empty() ? nullptr : name.c_str();
  if (RegQueryValueExW(key.get(), valueName, nullptr, &value.type, nullptr, &size) !=
      ERROR_SUCCESS) {
    return value;
  }
  value.bytes.resize(size);
  value.found = RegQueryValueExW(key.get(), valueName, nullptr, &value.type, value.bytes.data(),
                                 &size) == ERROR_SUCCESS;
  return value;
}

DWORD ValueCount(const std::wstring& subKey) {
  const UniqueKey key = test::OpenUserKeyAsTheShellSeesIt(subKey);
  if (!key) return 0;
  DWORD count = 0;
  RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                   nullptr, nullptr, nullptr, nullptr);
  return count;
}

void ExpectString(const std::wstring& subKey, const std::wstring& name,
                  const std::wstring& expected) {
  const RegistryValue value = ReadValue(subKey, name);
  EXPECT_TRUE(value.found) << name.c_str();
  EXPECT_EQ(value.type, static_cast<DWORD>(REG_SZ)) << name.c_str();
  EXPECT_EQ(value.bytes.size(), (expected.size() + 1) * sizeof(wchar_t)) << name.c_str();
  EXPECT_EQ(value.Text(), expected) << name.c_str();
}

void ExpectDword(const std::wstring& subKey, const std::wstring& name, DWORD expected) {
  const RegistryValue value = ReadValue(subKey, name);
  EXPECT_TRUE(value.found) << name.c_str();
  EXPECT_EQ(value.type, static_cast<DWORD>(REG_DWORD)) << name.c_str();
  EXPECT_EQ(value.Number(), expected) << name.c_str();
}

class RegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override { DeleteKeys(); }
  void TearDown() override { DeleteKeys(); }

  static void DeleteKeys() {
    for (const std::wstring& key :
         {std::wstring(kUninstallRoot) + kTestEntry, std::wstring(kTelKey),
          std::wstring(kScratchKey)}) {
      RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
    }
  }

  void ExpectUninstallEntry(const std::wstring& key, const std::wstring& folder) {
    ExpectString(key, L"DisplayName", L"Zavex Phone");
    ExpectString(key, L"DisplayVersion", L"");
    ExpectString(key, L"Publisher", L"Quorvane");
    ExpectString(key, L"InstallLocation", folder);
    ExpectString(key, L"UninstallString", folder + L"\\zavex_updater.exe --uninstall");
    ExpectString(key, L"DisplayIcon", folder + L"\\zavexphone.exe");
    ExpectDword(key, L"EstimatedSize", 300000);
    ExpectDword(key, L"NoModify", 1);
    ExpectDword(key, L"NoRepair", 1);
    EXPECT_EQ(ValueCount(key), 9u);
  }

  bool Register(const std::wstring& keyName, const std::wstring& folder) {
    return RegisterUninstallEntry(keyName, L"Zavex Phone", L"", L"Quorvane", folder,
                                  folder + L"\\zavex_updater.exe --uninstall",
                                  folder + L"\\zavexphone.exe");
  }
};

TEST_F(RegistrationTest, UninstallEntryHoldsNineTypedValuesAndRewritesThem) {
  const std::wstring folder = L"C:\\Program Files\\Zavex Phone";
  const std::wstring key = std::wstring(kUninstallRoot) + kTestEntry;
  ASSERT_TRUE(Register(kTestEntry, folder));
  ExpectUninstallEntry(key, folder);
  ASSERT_TRUE(Register(kTestEntry, folder));
  ExpectUninstallEntry(key, folder);

  ASSERT_TRUE(RegisterUninstallEntry(kTestEntry, L"Zavex Phone", L"2.4.1", L"Quorvane", folder,
                                     L"u", L"i"));
  ExpectString(key, L"DisplayVersion", L"2.4.1");
  EXPECT_EQ(ValueCount(key), 9u);
}

TEST_F(RegistrationTest, KeyNameWithBackslashNests) {
  const std::wstring folder = L"D:\\Apps\\Zavex";
  ASSERT_TRUE(Register(std::wstring(kTestEntry) + L"\\Inner Entry", folder));
  const std::wstring outer = std::wstring(kUninstallRoot) + kTestEntry;
  EXPECT_EQ(ValueCount(outer), 0u);
  ExpectUninstallEntry(outer + L"\\Inner Entry", folder);
}

TEST_F(RegistrationTest, TelHandlerQuotesThePathAndTheLink) {
  const std::wstring exe = L"C:\\Program Files\\Zavex Phone\\zavexphone.exe";
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(RegisterTelHandler(exe));
    ExpectString(kTelKey, L"", L"URL:Tel Protocol");
    ExpectString(kTelKey, L"URL Protocol", L"");
    EXPECT_EQ(ValueCount(kTelKey), 2u);
    ExpectString(std::wstring(kTelKey) + L"\\DefaultIcon", L"", exe + L",0");
    ExpectString(std::wstring(kTelKey) + L"\\shell\\open\\command", L"",
                 L"\"C:\\Program Files\\Zavex Phone\\zavexphone.exe\" \"%1\"");
  }
}

TEST_F(RegistrationTest, TelHandlerIsRemovedOnlyWhenItStartsTheGivenProgram) {
  const std::wstring exe = L"C:\\Program Files\\Zavex Phone\\zavexphone.exe";
  const std::wstring commandKey = std::wstring(kTelKey) + L"\\shell\\open\\command";
  const struct {
    const char* name;
    std::wstring command;  // empty: a handler without a command
    std::wstring exePath;
    bool removed;
  } cases[] = {
      {"as registered", L"\"" + exe + L"\" \"%1\"", exe, true},
      {"other letter case, doubled separator", L"\"" + exe + L"\" \"%1\"",
       L"c:\\program files\\zavex phone\\\\ZAVEXPHONE.EXE", true},
      {"unquoted", L"C:\\Zavex\\zavexphone.exe %1", L"C:\\Zavex\\zavexphone.exe", true},
      {"another program", L"\"C:\\Other\\softphone.exe\" \"%1\"", exe, false},
      {"another installation", L"\"D:\\Zavex Phone\\zavexphone.exe\" \"%1\"", exe, false},
      {"longer name", L"\"" + exe + L".bak\" \"%1\"", exe, false},
      {"unquoted path with a blank", L"C:\\Program Files\\Zavex Phone\\zavexphone.exe %1", exe,
       false},
      {"no command", L"", exe, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(RegisterTelHandler(exe));
    if (c.command.empty()) {
      ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, commandKey.c_str()), ERROR_SUCCESS);
    } else {
      ASSERT_TRUE(WriteRegistryString(commandKey, L"", c.command));
    }
    EXPECT_EQ(RemoveTelHandler(c.exePath), c.removed);
    if (c.removed) {
      EXPECT_FALSE(ReadValue(kTelKey, L"").found);
    } else {
      ExpectString(kTelKey, L"", L"URL:Tel Protocol");
      if (!c.command.empty()) ExpectString(commandKey, L"", c.command);
    }
    DeleteKeys();
  }
  EXPECT_FALSE(RemoveTelHandler(exe));
}

TEST_F(RegistrationTest, WriteRegistryStringCreatesKeysAndOverwrites) {
  const std::wstring nested = std::wstring(kScratchKey) + L"\\a b\\c";
  ASSERT_TRUE(WriteRegistryString(nested, L"Name", L"first"));
  ASSERT_TRUE(WriteRegistryString(nested, L"Name", L"second value"));
  ASSERT_TRUE(WriteRegistryString(nested, L"", L"default"));
  ExpectString(nested, L"Name", L"second value");
  ExpectString(nested, L"", L"default");
  EXPECT_EQ(ValueCount(nested), 2u);

  // A key name longer than the registry allows.
  EXPECT_FALSE(WriteRegistryString(std::wstring(kScratchKey) + L"\\" + std::wstring(300, L'k'),
                                   L"Name", L"x"));
}

}  // namespace
}  // namespace zavex
