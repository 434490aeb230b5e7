#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ops/release_fixture.h"
#include "support/process.h"
#include "support/test_files.h"

namespace zavex::test {

// An installation of `installed` in a folder whose name has a blank, with a
// copy of the built updater inside it, and the server publishing `newer`.
class UpdaterRunTest : public MachineStateTest {
 protected:
  void SetUp() override;

  // Writes the installation and the updater copy afresh.
  void Reinstall();
  // A fresh server on the fixed port.
  void RestartServer();
  RunResult RunUpdater(const std::wstring& arguments, DWORD timeoutMs = 90000) const;
  std::string Record() const { return ReadTextFile(folder + L"\\manifest.json"); }
  std::string LastLogLine() const;
  // True once the server has been asked for path, within timeoutMs.
  bool WaitForRequest(const std::string& path, DWORD timeoutMs) const;
  // The files an installation holds beside the release's own.
  std::vector<std::wstring> Extras(bool applicationStarted = false) const;

  // The stand-in application, with the given trailing bytes.
  static std::string ApplicationBytes(const std::string& overlay);

  TempDir temp;
  const std::wstring folder = temp / L"Zavex Phone";
  std::wstring updaterPath;
  std::unique_ptr<HttpServer> server;
  Release installed;
  Release newer;
};

}  // namespace zavex::test
