#include "app/service_mode.h"

#include <windows.h>

#include <string>
#include <vector>

#include "app/silent_modes.h"
#include "base/install_location.h"
#include "base/logger.h"
#include "base/product.h"
#include "base/text_conversion.h"
#include "ops/update_service.h"
#include "platform/service_control.h"
#include "platform/service_host.h"

namespace zavex {
namespace {

bool Refuse(const std::string& why) {
  Logger::Instance().Error("Refusing to run as a service: " + why);
  return false;
}

bool IsRegisteredServiceExecutable(const std::wstring& folder) {
  const std::wstring registered = ServiceCommandLine(kUpdateServiceName);
  const std::wstring expected = UpdateServiceCommandLine(folder);
  return IsSamePath(GetExecutablePath(), InstalledUpdaterPath(folder)) &&
         CompareStringOrdinal(registered.c_str(), -1, expected.c_str(), -1, TRUE) == CSTR_EQUAL;
}

bool MayRunAsService(const Invocation& invocation) {
  const std::wstring& folder = invocation.installFolder;
  if (invocation.server.keys.empty()) return Refuse("this build has no release keys");
  if (!IsRegisteredServiceExecutable(folder)) {
    return Refuse("the service is not registered for this executable");
  }
  if (!HoldsRecordFile(folder)) return Refuse("its folder holds no installation");
  if (!IsTrustedServiceFolder(folder)) {
    return Refuse("others than administrators can change its folder");
  }
  return true;
}

DWORD RunStartedService(const Invocation& invocation, const std::vector<std::wstring>& arguments,
                        const std::atomic<bool>& stopRequested) {
  if (!arguments.empty()) {
    Logger::Instance().Warn("Ignoring the " + std::to_string(arguments.size()) +
                            " start arguments");
  }
  if (!MayRunAsService(invocation)) return 1;
  return static_cast<DWORD>(RunServiceUpdate(invocation, stopRequested));
}

}  // namespace

int RunServiceMode(const Invocation& invocation) {
  DWORD result = 1;
  const bool ran = RunAsService(kUpdateServiceName, [&](const std::vector<std::wstring>& arguments,
                                                       const std::atomic<bool>& stopRequested) {
    result = RunStartedService(invocation, arguments, stopRequested);
    return result;
  });
  if (!ran) {
    Logger::Instance().Error("Not started by the service manager (error " +
                             std::to_string(GetLastError()) + ")");
  }
  return ran ? static_cast<int>(result) : 1;
}

}  // namespace zavex
