#include "ops/update_service.h"

#include "base/install_location.h"
#include "base/logger.h"
#include "base/product.h"
#include "platform/service_control.h"

namespace zavex {

std::wstring UpdateServiceCommandLine(const std::wstring& installPath) {
  return L"\"" + InstalledUpdaterPath(installPath) + L"\" --service";
}

bool RegisterUpdateService(const std::wstring& installPath) {
  const ServiceDefinition definition{
      kUpdateServiceName, kUpdateServiceDisplayName,
      L"Aplica as atualizações do Zavex Phone assinadas pela Quorvane, sem pedir senha de "
      L"administrador e sem fechar o Zavex Phone durante uma chamada.",
      UpdateServiceCommandLine(installPath)};
  return RegisterService(definition);
}

void RegisterUpdateServiceIfMissing(const std::wstring& installPath) {
  if (!ServiceCommandLine(kUpdateServiceName).empty()) return;
  Logger::Instance().Info("The update service is missing: registering it");
  BestEffort(RegisterUpdateService(installPath), "Registering the update service");
}

bool RemoveUpdateService() { return RemoveService(kUpdateServiceName); }

}  // namespace zavex
