#include "ops/updater_run_fixture.h"

#include <gtest/gtest.h>

#include "base/text_conversion.h"
#include "platform/registration.h"

namespace zavex::test {

void UpdaterRunTest::SetUp() {
  MachineStateTest::SetUp();
  installed.files = {{"zavexphone.exe", ApplicationBytes("v1")},
                     {"lib/core.dll", GeneratedBytes(0, 50000)},
                     {"res/strings.txt", "textos v1"},
                     {"retired.dat", "removed in v2"}};
  newer = Release{"2.0.0", 2,
                  {{"zavexphone.exe", ApplicationBytes("v2")},
                   {"lib/core.dll", GeneratedBytes(3, 60000)},
                   {"res/strings.txt", "textos v1"},
                   {"res/new/extra.txt", "novo"}}};
  Reinstall();
  RestartServer();
  PublishRelease(*server, newer);
}

void UpdaterRunTest::Reinstall() {
  DeleteTree(folder);
  InstallReleaseLocally(folder, installed);
  updaterPath = CopyUpdaterTo(folder);
  ASSERT_FALSE(updaterPath.empty());
  // As the installer leaves it: the copy inside takes only a registered
  // folder for its installation.
  ASSERT_TRUE(RegisterUninstallEntry(L"Zavex Phone", L"Zavex Phone", Utf8ToWide(installed.version),
                                     L"Quorvane", folder, L"", L""));
}

void UpdaterRunTest::RestartServer() {
  server.reset();
  server = std::make_unique<HttpServer>(ServerPortFromBaseUrl());
  ASSERT_TRUE(server->listening());
}

RunResult UpdaterRunTest::RunUpdater(const std::wstring& arguments, DWORD timeoutMs) const {
  return RunProcess(updaterPath, arguments, timeoutMs);
}

std::string UpdaterRunTest::LastLogLine() const {
  const std::string log = ReadTextFile(folder + L"\\zavex_updater.log");
  const size_t end = log.find_last_not_of("\r\n");
  if (end == std::string::npos) return {};
  const size_t start = log.find_last_of('\n', end);
  return log.substr(start == std::string::npos ? 0 : start + 1, end - start);
}

bool UpdaterRunTest::WaitForRequest(const std::string& path, DWORD timeoutMs) const {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (GetTickCount64() < deadline) {
    if (RequestsUnder(*server, path) > 0) return true;
    Sleep(20);
  }
  return false;
}

std::vector<std::wstring> UpdaterRunTest::Extras(bool applicationStarted) const {
  std::vector<std::wstring> extras = {L"zavex_updater.exe", L"zavex_updater.log"};
  if (applicationStarted) extras.push_back(L"zavexphone_cmdline.txt");
  return extras;
}

std::string UpdaterRunTest::ApplicationBytes(const std::string& overlay) {
  static const std::string standIn = ReadTextFile(BuildDir() + L"\\zavexphone.exe");
  return standIn + overlay;
}

}  // namespace zavex::test
