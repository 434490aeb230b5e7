#include "platform/service_control.h"

#include <sddl.h>

#include <vector>

namespace zavex {
namespace {

// "P": protected. Administrators and SYSTEM all service rights (0xF01FF);
// interactive users SERVICE_QUERY_STATUS | SERVICE_START (0x14), and not all
// users: a domain's remote users are users too.
constexpr wchar_t kServiceSddl[] = L"D:P(A;;0xf01ff;;;BA)(A;;0xf01ff;;;SY)(A;;0x14;;;IU)";
constexpr DWORD kStopPollMs = 200;

UniqueServiceHandle OpenManager(DWORD access) {
  return UniqueServiceHandle(OpenSCManagerW(nullptr, nullptr, access));
}

UniqueServiceHandle CreateOrOpen(SC_HANDLE manager, const ServiceDefinition& definition) {
  UniqueServiceHandle service(CreateServiceW(
      manager, definition.name.c_str(), definition.displayName.c_str(), SERVICE_ALL_ACCESS,
      SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
      definition.commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (service || GetLastError() != ERROR_SERVICE_EXISTS) return service;
  service.reset(OpenServiceW(manager, definition.name.c_str(), SERVICE_ALL_ACCESS));
  if (!service) return service;
  // A null account is LocalSystem.
  if (!ChangeServiceConfigW(service.get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                            SERVICE_ERROR_NORMAL, definition.commandLine.c_str(), nullptr,
                            nullptr, nullptr, L"LocalSystem", L"",
                            definition.displayName.c_str())) {
    service.reset();
  }
  return service;
}

bool StoreDescription(SC_HANDLE service, const std::wstring& text) {
  std::wstring copy = text;
  SERVICE_DESCRIPTIONW description{copy.data()};
  return ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description) != FALSE;
}

bool StoreDescriptor(SC_HANDLE service) {
  const UniqueLocalMemory descriptor = ServiceDescriptor();
  return descriptor &&
         SetServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, descriptor.get()) != FALSE;
}

// Asks for a stop whenever the service can take one (one still starting
// cannot), until it reports SERVICE_STOPPED or kServiceStopWaitMs has passed.
// True when it has stopped.
bool StopAndWait(SC_HANDLE service) {
  const ULONGLONG deadline = GetTickCount64() + kServiceStopWaitMs;
  SERVICE_STATUS status{};
  while (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED) {
    if (GetTickCount64() >= deadline) return false;
    if (status.dwCurrentState == SERVICE_RUNNING) {
      ControlService(service, SERVICE_CONTROL_STOP, &status);
    }
    Sleep(kStopPollMs);
  }
  return status.dwCurrentState == SERVICE_STOPPED;
}

}  // namespace

UniqueLocalMemory ServiceDescriptor() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ConvertStringSecurityDescriptorToSecurityDescriptorW(kServiceSddl, SDDL_REVISION_1, &descriptor,
                                                       nullptr);
  return UniqueLocalMemory(descriptor);
}

bool RegisterService(const ServiceDefinition& definition) {
  const UniqueServiceHandle manager = OpenManager(SC_MANAGER_CREATE_SERVICE | SC_MANAGER_CONNECT);
  if (!manager) return false;
  const UniqueServiceHandle service = CreateOrOpen(manager.get(), definition);
  return service && StoreDescription(service.get(), definition.description) &&
         StoreDescriptor(service.get());
}

std::wstring ServiceCommandLine(const std::wstring& name) {
  const UniqueServiceHandle manager = OpenManager(SC_MANAGER_CONNECT);
  if (!manager) return {};
  const UniqueServiceHandle service(OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_CONFIG));
  if (!service) return {};
  DWORD needed = 0;
  QueryServiceConfigW(service.get(), nullptr, 0, &needed);
  if (needed < sizeof(QUERY_SERVICE_CONFIGW)) return {};
  std::vector<QUERY_SERVICE_CONFIGW> buffer(needed / sizeof(QUERY_SERVICE_CONFIGW) + 1);
  if (!QueryServiceConfigW(service.get(), buffer.data(),
                           static_cast<DWORD>(buffer.size() * sizeof(QUERY_SERVICE_CONFIGW)),
                           &needed) ||
      !buffer[0].lpBinaryPathName) {
    return {};
  }
  return buffer[0].lpBinaryPathName;
}

bool RemoveService(const std::wstring& name) {
  const UniqueServiceHandle manager = OpenManager(SC_MANAGER_CONNECT);
  if (!manager) return false;
  const UniqueServiceHandle service(
      OpenServiceW(manager.get(), name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (!service) return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
  if (!StopAndWait(service.get())) return false;
  if (!DeleteService(service.get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
    return false;
  }
  // Started again between the stop and the deletion: it goes once stopped.
  return StopAndWait(service.get());
}

}  // namespace zavex
