#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "ops/release_fixture.h"
#include "support/http_server.h"
#include "support/process.h"
#include "support/test_files.h"

namespace zavex::test {

inline constexpr DWORD kExitTimeoutMs = 60000;

// A release whose zavexphone.exe is the real stand-in application.
Release StandInRelease(const std::string& version, int versionCode);

// The built updater, run as its own process from a copy in a temporary
// folder, against the loopback server on the compiled-in port. folder is the
// installation folder handed over with "--path=" (its name holds a blank).
class FlowTest : public MachineStateTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts the updater with the switches and "--path=" folder.
  bool Launch(const std::wstring& switches);
  // Launch, then its window; null when none appeared.
  HWND Start(const std::wstring& switches);
  HWND StartWithArguments(const std::wstring& arguments);
  std::wstring WithFolder(const std::wstring& switches) const;
  std::optional<DWORD> WaitForExit() { return updater.Wait(kExitTimeoutMs); }
  // The title and status labels once the title reads title.
  ::testing::AssertionResult ShowsPage(HWND window, const std::wstring& title,
                                       const std::wstring& status) const;
  // Answers the updater's message box with this caption; its text, or empty
  // when no box appeared.
  std::wstring AnswerBox(const std::wstring& caption, int button) const;
  // The stand-in application in the installation folder has been started
  // this many times in all.
  bool WaitForApplicationStart(int starts) const;
  // Checked once the updater has ended: no stand-in was started at all.
  bool NoApplicationStarted() const;
  std::string Log() const { return ReadTextFile(dir / L"zavex_updater.log"); }
  bool LogEndsWithResult(int result) const;
  // The operation's worker logged line before the process logged its result.
  bool OperationEndedBeforeTheProcess(const std::string& line) const;

  HttpServer server{ServerPortFromBaseUrl()};
  TempDir dir;
  std::wstring exe;
  std::wstring folder;
  ChildProcess updater;
};

}  // namespace zavex::test
