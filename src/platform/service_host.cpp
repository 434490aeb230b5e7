#include "platform/service_host.h"

namespace zavex {
namespace {

// The service manager calls back without a context: one service per process.
struct HostedService {
  std::wstring name;
  ServiceBody body;
  SERVICE_STATUS_HANDLE statusHandle = nullptr;
  bool ran = false;
};

HostedService hosted;

constexpr DWORD kPendingWaitHintMs = 10000;

void Report(DWORD state, DWORD exitCode = 0) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = 0;
  status.dwWin32ExitCode = exitCode ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
  status.dwServiceSpecificExitCode = exitCode;
  status.dwWaitHint =
      (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING) ? kPendingWaitHintMs : 0;
  SetServiceStatus(hosted.statusHandle, &status);
}

// Controls other than a stop only ask for the status, which SetServiceStatus
// keeps current.
DWORD WINAPI HandleControl(DWORD control, DWORD, void*, void*) {
  return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
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
  const DWORD exitCode = hosted.body(startArguments);
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
