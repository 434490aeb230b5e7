#include "ops/update_service.h"

#include <windows.h>

#include "base/install_location.h"
#include "base/logger.h"
#include "base/product.h"
#include "base/text_conversion.h"
#include "ops/test_hooks.h"
#include "platform/file_system.h"
#include "platform/folder_security.h"
#include "platform/scheduled_task.h"
#include "platform/service_control.h"

namespace zavex {
namespace {

// Windows' own sc.exe starts the service; it takes no path from anyone.
ScheduledTaskDefinition UpdateTask() {
  wchar_t system[kMaxPathChars] = {};
  const UINT length = GetSystemDirectoryW(system, kMaxPathChars);
  const std::wstring folder = length && length < kMaxPathChars ? system : L"C:\\Windows\\System32";
  return {kUpdateServiceName, L"Inicia o serviço de atualização do Zavex Phone.",
          folder + L"\\sc.exe", std::wstring(L"start ") + kUpdateServiceName};
}

}  // namespace

std::wstring UpdateServiceCommandLine(const std::wstring& installPath) {
  return L"\"" + InstalledUpdaterPath(installPath) + L"\" --service";
}

bool IsTrustedServiceFolder(const std::wstring& folder) {
  return OnlyAdministratorsCanChange(folder) || IsTrustedFolderForTests(folder);
}

bool RegisterUpdateService(const std::wstring& installPath) {
  if (!IsTrustedServiceFolder(installPath)) {
    Logger::Instance().Warn(
        "The update service is not registered: others than administrators can change " +
        WideToUtf8(installPath));
    return true;
  }
  const ServiceDefinition definition{
      kUpdateServiceName, kUpdateServiceDisplayName,
      L"Aplica as atualizações do Zavex Phone assinadas pela Quorvane, sem pedir senha de "
      L"administrador e sem fechar o Zavex Phone durante uma chamada.",
      UpdateServiceCommandLine(installPath)};
  const bool registered = RegisterService(definition);
  BestEffort(RegisterScheduledTask(UpdateTask()), "Registering the update service's task");
  return registered;
}

void RegisterUpdateServiceIfMissing(const std::wstring& installPath) {
  if (!ServiceCommandLine(kUpdateServiceName).empty()) return;
  Logger::Instance().Info("The update service is missing: registering it");
  BestEffort(RegisterUpdateService(installPath), "Registering the update service");
}

// The task goes after the service: a service that does not stop stays with
// the task that starts it.
bool RemoveUpdateService() {
  if (!RemoveService(kUpdateServiceName)) return false;
  BestEffort(RemoveScheduledTask(kUpdateServiceName), "Removing the update service's task");
  return true;
}

}  // namespace zavex
