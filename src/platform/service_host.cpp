#include "platform/service_host.h"

#include <mutex>

namespace zavex {
namespace {

// The service manager calls back without a context: one service per process.
struct HostedService {
  std::wstring name;
  ServiceBody body;
  SERVICE_STATUS_HANDLE statusHandle = nullptr;
  bool ran = false;
  std::atomic<bool> stopRequested{false};
  // The state last reported; reports are made under the lock, so that a stop
  // answered on the dispatcher's thread never follows SERVICE_STOPPED.
  std::mutex reportLock;
  DWORD state = SERVICE_STOPPED;
};

HostedService hosted;

constexpr DWORD kPendingWaitHintMs = 10000;

void ReportLocked(DWORD state, DWORD exitCode) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  status.dwWin32ExitCode = exitCode ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
  status.dwServiceSpecificExitCode = exitCode;
  status.dwWaitHint =
      (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING) ? kPendingWaitHintMs : 0;
  hosted.state = state;
  SetServiceStatus(hosted.statusHandle, &status);
}

void Report(DWORD state, DWORD exitCode = 0) {
  const std::lock_guard<std::mutex> lock(hosted.reportLock);
  ReportLocked(state, exitCode);
}

// A stop is taken at once; the body ends at a point of its choosing. Other
// controls only ask for the status, which SetServiceStatus keeps current.
DWORD WINAPI HandleControl(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_INTERROGATE) return NO_ERROR;
  if (control != SERVICE_CONTROL_STOP) return ERROR_CALL_NOT_IMPLEMENTED;
  const std::lock_guard<std::mutex> lock(hosted.reportLock);
  if (hosted.state != SERVICE_RUNNING) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  hosted.stopRequested.store(true);
  ReportLocked(SERVICE_STOP_PENDING, 0);
  return NO_ERROR;
}

void WINAPI ServiceMain(DWORD count, LPWSTR* arguments) {
  hosted.statusHandle =
      RegisterServiceCtrlHandlerExW(hosted.name.c_str(), HandleControl, nullptr);
  if (!hosted.statusHandle) return;
  Report(SERVICE_START_PENDING);
  // The first argument is the service's name.
  std::vector<std::wstring> startArguments;
  for (DWORD index = 1; index < count; ++index) {
    startArguments.emplace_back(arguments[index] ? arguments[index] : L"");
  }
  Report(SERVICE_RUNNING);
  hosted.ran = true;
  const DWORD exitCode = hosted.body(startArguments, hosted.stopRequested);
  Report(SERVICE_STOP_PENDING);
  Report(SERVICE_STOPPED, exitCode);
}

}  // namespace

bool RunAsService(const std::wstring& name, ServiceBody body) {
  hosted.name = name;
  hosted.body = std::move(body);
  SERVICE_TABLE_ENTRYW table[] = {{hosted.name.data(), ServiceMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) && hosted.ran;
}

}  // namespace zavex
