#include "ui/flow_fixture.h"

#include <algorithm>

#include "base/text_conversion.h"
#include "platform/process_control.h"
#include "support/window_probe.h"
#include "ui/progress_window.h"

namespace zavex::test {
namespace {

constexpr DWORD kStartTimeoutMs = 20000;
constexpr DWORD kPollMs = 50;

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

int LineCount(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

}  // namespace

Release StandInRelease(const std::string& version, int versionCode) {
  Release release;
  release.version = version;
  release.versionCode = versionCode;
  release.files = {{"zavexphone.exe", ReadTextFile(BuildDir() + L"\\zavexphone.exe")},
                   {"lib/codec.dll", "codec " + version}};
  return release;
}

void FlowTest::SetUp() {
  MachineStateTest::SetUp();
  ASSERT_TRUE(server.listening()) << "port " << ServerPortFromBaseUrl() << " is taken";
  exe = CopyUpdaterTo(dir.path());
  ASSERT_FALSE(exe.empty());
  folder = dir / L"Zavex Inst";
}

void FlowTest::TearDown() {
  updater.Kill();
  MachineStateTest::TearDown();
}

std::wstring FlowTest::WithFolder(const std::wstring& switches) const {
  return switches + L" --path=\"" + folder + L"\"";
}

bool FlowTest::Launch(const std::wstring& switches) { return updater.Start(exe, WithFolder(switches)); }

HWND FlowTest::Start(const std::wstring& switches) { return StartWithArguments(WithFolder(switches)); }

HWND FlowTest::StartWithArguments(const std::wstring& arguments) {
  if (!updater.Start(exe, arguments)) return nullptr;
  return WaitForWindow(updater.id(), kUpdaterWindowClass, L"", kStartTimeoutMs);
}

::testing::AssertionResult FlowTest::ShowsPage(HWND window, const std::wstring& title,
                                               const std::wstring& status) const {
  const int titleId = IDC_TITLE_LABEL;
  const int statusId = IDC_STATUS_LABEL;
  const bool titleShown = WaitForControlText(window, titleId, title);
  const std::wstring shownTitle = ControlText(window, titleId);
  const std::wstring shownStatus = ControlText(window, statusId);
  if (titleShown && shownStatus == status) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "title \"" << WideToUtf8(shownTitle) << "\", status \""
                                       << WideToUtf8(shownStatus) << "\"";
}

std::wstring FlowTest::AnswerBox(const std::wstring& caption, int button) const {
  HWND box = WaitForMessageBox(updater.id(), caption);
  if (!box) return L"";
  const std::wstring text = GetMessageBoxText(box);
  return AnswerMessageBox(box, button) ? text : L"";
}

bool FlowTest::WaitForApplicationStart(int starts) const {
  const std::wstring record = folder + L"\\zavexphone_cmdline.txt";
  const ULONGLONG deadline = GetTickCount64() + kStartTimeoutMs;
  while (LineCount(ReadTextFile(record)) < starts) {
    if (GetTickCount64() >= deadline) return false;
    Sleep(kPollMs);
  }
  return true;
}

bool FlowTest::NoApplicationStarted() const {
  return !IsProcessRunning(folder + L"\\zavexphone.exe") && !FileExists(folder + L"\\zavexphone_cmdline.txt");
}

bool FlowTest::OperationEndedBeforeTheProcess(const std::string& line) const {
  const std::string log = Log();
  const size_t operationEnd = log.find(line);
  return operationEnd != std::string::npos &&
         operationEnd < log.find("=== ZAVEX Updater Finished with result: ");
}

bool FlowTest::LogEndsWithResult(int result) const {
  return EndsWith(Log(), "[INFO] === ZAVEX Updater Finished with result: " +
                             std::to_string(result) + " ===\r\n");
}

}  // namespace zavex::test
