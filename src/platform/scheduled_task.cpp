#include "platform/scheduled_task.h"

#include <windows.h>
#include <oleauto.h>
#include <taskschd.h>

#include "platform/com_apartment.h"
#include "platform/unique_handle.h"

namespace zavex {
namespace {

std::wstring EscapedForXml(const std::wstring& text) {
  std::wstring escaped;
  for (const wchar_t c : text) {
    switch (c) {
      case L'&': escaped += L"&amp;"; break;
      case L'<': escaped += L"&lt;"; break;
      case L'>': escaped += L"&gt;"; break;
      case L'"': escaped += L"&quot;"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

// The scheduler's root folder on this computer.
ComPtr<ITaskFolder> RootFolder() {
  ComPtr<ITaskService> service;
  ComPtr<ITaskFolder> folder;
  if (FAILED(CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService,
                              service.put_void()))) {
    return folder;
  }
  VARIANT none;
  VariantInit(&none);
  const UniqueBstr root(SysAllocString(L"\\"));
  if (FAILED(service->Connect(none, none, none, none)) || !root ||
      FAILED(service->GetFolder(root.get(), folder.put()))) {
    folder.reset();
  }
  return folder;
}

VARIANT TextVariant(BSTR text) {
  VARIANT variant;
  VariantInit(&variant);
  variant.vt = VT_BSTR;
  variant.bstrVal = text;
  return variant;
}

}  // namespace

std::wstring ScheduledTaskXml(const ScheduledTaskDefinition& definition) {
  return L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n"
         L"<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\n"
         L"  <RegistrationInfo><Description>" + EscapedForXml(definition.description) +
         L"</Description></RegistrationInfo>\n"
         L"  <Triggers>\n"
         L"    <LogonTrigger><Enabled>true</Enabled></LogonTrigger>\n"
         L"    <TimeTrigger><StartBoundary>2024-01-01T00:00:00</StartBoundary>"
         L"<Enabled>true</Enabled><Repetition><Interval>PT6H</Interval></Repetition>"
         L"<RandomDelay>PT1H</RandomDelay></TimeTrigger>\n"
         L"  </Triggers>\n"
         L"  <Principals><Principal id=\"System\"><UserId>S-1-5-18</UserId>"
         L"<RunLevel>HighestAvailable</RunLevel></Principal></Principals>\n"
         L"  <Settings><MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>"
         L"<DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>"
         L"<StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>"
         L"<StartWhenAvailable>true</StartWhenAvailable>"
         L"<ExecutionTimeLimit>PT5M</ExecutionTimeLimit><Enabled>true</Enabled></Settings>\n"
         L"  <Actions Context=\"System\"><Exec><Command>" + EscapedForXml(definition.command) +
         L"</Command><Arguments>" + EscapedForXml(definition.arguments) +
         L"</Arguments></Exec></Actions>\n"
         L"</Task>\n";
}

bool RegisterScheduledTask(const ScheduledTaskDefinition& definition) {
  const ComApartment com;
  const ComPtr<ITaskFolder> folder = RootFolder();
  const UniqueBstr name(SysAllocString(definition.name.c_str()));
  const UniqueBstr xml(SysAllocString(ScheduledTaskXml(definition).c_str()));
  const UniqueBstr system(SysAllocString(L"S-1-5-18"));
  if (!folder || !name || !xml || !system) return false;
  VARIANT none;
  VariantInit(&none);
  ComPtr<IRegisteredTask> registered;
  return SUCCEEDED(folder->RegisterTask(name.get(), xml.get(), TASK_CREATE_OR_UPDATE,
                                        TextVariant(system.get()), none,
                                        TASK_LOGON_SERVICE_ACCOUNT, none, registered.put()));
}

bool RemoveScheduledTask(const std::wstring& name) {
  const ComApartment com;
  const ComPtr<ITaskFolder> folder = RootFolder();
  const UniqueBstr bstrName(SysAllocString(name.c_str()));
  if (!folder || !bstrName) return false;
  const HRESULT result = folder->DeleteTask(bstrName.get(), 0);
  return SUCCEEDED(result) || result == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
}

}  // namespace zavex
