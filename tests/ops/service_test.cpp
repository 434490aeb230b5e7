#include <gtest/gtest.h>
#include <windows.h>
#include <taskschd.h>

#include <set>
#include <vector>

#include "base/product.h"
#include "ops/test_hooks.h"
#include "ops/uninstall.h"
#include "ops/update_service.h"
#include "ops/updater_run_fixture.h"
#include "platform/service_control.h"
#include "platform/unique_handle.h"
#include "support/process.h"

namespace zavex::test {
namespace {

constexpr DWORD kServiceRunMs = 120000;

// How a started service ended, and the states it was seen in.
struct ServiceEnd {
  bool started = false;
  bool stopped = false;
  DWORD win32ExitCode = 0;
  DWORD specificExitCode = 0;
  std::set<DWORD> statesSeen;
};

// Starts the service as the application would, with arguments; null when it
// did not start.
UniqueServiceHandle StartService(const std::wstring& name,
                                 const std::vector<std::wstring>& arguments = {}) {
  const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueServiceHandle service(OpenServiceW(manager.get(), name.c_str(), SERVICE_START |
                                                                        SERVICE_QUERY_STATUS));
  std::vector<const wchar_t*> argv;
  for (const std::wstring& argument : arguments) argv.push_back(argument.c_str());
  if (service && !StartServiceW(service.get(), static_cast<DWORD>(argv.size()),
                                argv.empty() ? nullptr : argv.data())) {
    service.reset();
  }
  return service;
}

// Polls the status of a started service until it has stopped.
ServiceEnd WaitUntilStopped(SC_HANDLE service) {
  ServiceEnd end;
  end.started = service != nullptr;
  const ULONGLONG deadline = GetTickCount64() + kServiceRunMs;
  SERVICE_STATUS status{};
  while (end.started && GetTickCount64() < deadline && QueryServiceStatus(service, &status)) {
    end.statesSeen.insert(status.dwCurrentState);
    if (status.dwCurrentState == SERVICE_STOPPED) {
      end.stopped = true;
      end.win32ExitCode = status.dwWin32ExitCode;
      end.specificExitCode = status.dwServiceSpecificExitCode;
      break;
    }
    Sleep(10);
  }
  return end;
}

ServiceEnd StartAndWait(const std::wstring& name, const std::vector<std::wstring>& arguments) {
  return WaitUntilStopped(StartService(name, arguments).get());
}

// Ends the service's process as a crash or a power cut would; true once it
// has ended. Wine's service manager then still reports SERVICE_RUNNING, but
// starts the service again.
bool KillServiceProcess(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                            sizeof(status), &needed)) {
    return false;
  }
  const UniqueKernelHandle process(
      OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status.dwProcessId));
  return process && TerminateProcess(process.get(), 1) &&
         WaitForSingleObject(process.get(), 10000) == WAIT_OBJECT_0;
}

// The definition of the task as the Task Scheduler keeps it; empty when
// there is none.
std::wstring RegisteredTaskXml(const std::wstring& name) {
  ComPtr<ITaskService> scheduler;
  ComPtr<ITaskFolder> root;
  ComPtr<IRegisteredTask> task;
  VARIANT none;
  VariantInit(&none);
  const UniqueBstr rootName(SysAllocString(L"\\"));
  const UniqueBstr taskName(SysAllocString(name.c_str()));
  BSTR xml = nullptr;
  if (FAILED(CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService,
                              scheduler.put_void())) ||
      FAILED(scheduler->Connect(none, none, none, none)) ||
      FAILED(scheduler->GetFolder(rootName.get(), root.put())) ||
      FAILED(root->GetTask(taskName.get(), task.put())) || FAILED(task->get_Xml(&xml))) {
    return {};
  }
  const UniqueBstr owned(xml);
  return xml;
}

// The registered installation, with the folder taken for one that only
// administrators can change (Wine reads every folder as its user's).
class ServiceTest : public UpdaterRunTest {
 protected:
  void SetUp() override {
    UpdaterRunTest::SetUp();
    TrustFolderForTests(folder);
    ASSERT_TRUE(RegisterUpdateService(folder));
  }

  std::string Log() const { return ReadTextFile(folder + L"\\zavex_updater.log"); }

  // Polls the log until text occurs count times, for up to kServiceRunMs.
  bool WaitForLogged(const std::string& text, size_t count) const {
    const ULONGLONG deadline = GetTickCount64() + kServiceRunMs;
    while (GetTickCount64() < deadline) {
      const std::string log = Log();
      size_t found = 0;
      for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
        ++found;
      }
      if (found >= count) return true;
      Sleep(100);
    }
    return false;
  }

  // True once path exists, within kServiceRunMs.
  static bool WaitForFile(const std::wstring& path) {
    const ULONGLONG deadline = GetTickCount64() + kServiceRunMs;
    while (!FileExists(path)) {
      if (GetTickCount64() >= deadline) return false;
      Sleep(10);
    }
    return true;
  }

  // Every installed file and the record as the installation of `installed`.
  ::testing::AssertionResult InstalledUnchanged() const {
    for (const ReleaseFile& file : installed.files) {
      if (ReadTextFile(PathIn(folder, file.path)) != file.content) {
        return ::testing::AssertionFailure() << file.path << " changed";
      }
    }
    if (Record() != installed.RecordText()) return ::testing::AssertionFailure() << "record";
    return ::testing::AssertionSuccess();
  }
};

TEST_F(ServiceTest, UpdateRegistersAMissingServiceAsTheInstallDoes) {
  ASSERT_TRUE(RemoveUpdateService());
  // Not for a folder that others can change: whoever replaced the updater
  // there would have it started as SYSTEM.
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kTestHooksKey);
  ASSERT_EQ(RunUpdater(L"--silent").exitCode, 0u);
  EXPECT_EQ(ServiceCommandLine(kUpdateServiceName), L"");
  EXPECT_NE(Log().find("[WARN] The update service is not registered: others than administrators "
                       "can change "),
            std::string::npos);
  Reinstall();
  TrustFolderForTests(folder);
  ASSERT_EQ(RunUpdater(L"--silent").exitCode, 0u);
  const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueServiceHandle service(
      OpenServiceW(manager.get(), kUpdateServiceName, SERVICE_QUERY_CONFIG | READ_CONTROL));
  ASSERT_TRUE(service);
  std::vector<char> buffer(8192);
  DWORD needed = 0;
  ASSERT_TRUE(QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                                  static_cast<DWORD>(buffer.size()), &needed));
  const auto* config = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data());
  EXPECT_EQ(std::wstring(config->lpBinaryPathName),
            L"\"" + folder + L"\\zavex_updater.exe\" --service");
  EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_DEMAND_START));
  EXPECT_EQ(std::wstring(config->lpServiceStartName), L"LocalSystem");
  EXPECT_EQ(std::wstring(config->lpDisplayName), L"Zavex Phone Update");
  ASSERT_TRUE(QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION,
                                   reinterpret_cast<BYTE*>(buffer.data()),
                                   static_cast<DWORD>(buffer.size()), &needed));
  const auto* description = reinterpret_cast<const SERVICE_DESCRIPTIONW*>(buffer.data());
  EXPECT_NE(std::wstring(description->lpDescription).find(L"sem pedir senha de administrador"),
            std::wstring::npos);
  // Wine answers every service's security with an empty access list of its
  // own (a semi-stub): the descriptor that the program stores is tested in
  // platform_test instead.
  EXPECT_TRUE(QueryServiceObjectSecurity(service.get(), DACL_SECURITY_INFORMATION, buffer.data(),
                                         static_cast<DWORD>(buffer.size()), &needed));

  // The task: Wine keeps its description and settings, but drops its
  // triggers, its principal and its action (stubs), and cannot run it; those
  // are checked on the definition the program builds, in platform_test.
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  const std::wstring task = RegisteredTaskXml(kUpdateServiceName);
  EXPECT_NE(task.find(L"<Description>Inicia o serviço de atualização do Zavex Phone.</Description>"),
            std::wstring::npos) << task;
  EXPECT_NE(task.find(L"<MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>"),
            std::wstring::npos);
  EXPECT_NE(task.find(L"<DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>"),
            std::wstring::npos);
  EXPECT_NE(task.find(L"<ExecutionTimeLimit>PT5M</ExecutionTimeLimit>"), std::wstring::npos);
  // A service is deleted once no handle to it is open.
  service.reset();
  ASSERT_TRUE(RemoveUpdateService());
  EXPECT_EQ(RegisteredTaskXml(kUpdateServiceName), L"");
  EXPECT_EQ(ServiceCommandLine(kUpdateServiceName), L"");
  CoUninitialize();
}

TEST_F(ServiceTest, StartArgumentsAreIgnoredAndTheSignedUpdateIsApplied) {
  const ServiceEnd end =
      StartAndWait(kUpdateServiceName, {L"--path=C:\\other", L"http://127.0.0.1:1/evil/"});
  ASSERT_TRUE(end.started);
  ASSERT_TRUE(end.stopped);
  EXPECT_EQ(end.win32ExitCode, static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(end.specificExitCode, 0u);
  EXPECT_TRUE(end.statesSeen.count(SERVICE_RUNNING));
  EXPECT_TRUE(HoldsExactly(folder, newer, Extras()));
  const std::string log = Log();
  EXPECT_NE(log.find("Operation mode: SERVICE"), std::string::npos);
  EXPECT_NE(log.find("[WARN] Ignoring the 2 start arguments"), std::string::npos);
  EXPECT_EQ(log.find("C:\\other"), std::string::npos);
  EXPECT_NE(LastLogLine().find("Finished with result: 0 ==="), std::string::npos);
}

TEST_F(ServiceTest, RunningApplicationStaysAndALaterStartPlacesTheStagedFiles) {
  ChildProcess application;
  ASSERT_TRUE(application.Start(folder + L"\\zavexphone.exe", L""));
  ASSERT_TRUE(WaitForWindow(application.id(), L"", L"Zavex Phone"));
  ServiceEnd end = StartAndWait(kUpdateServiceName, {});
  ASSERT_TRUE(end.stopped);
  EXPECT_EQ(end.win32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
  EXPECT_EQ(end.specificExitCode, 3u);
  EXPECT_TRUE(application.running());
  EXPECT_TRUE(InstalledUnchanged());
  EXPECT_NE(Log().find("[INFO] Update staged; Zavex Phone is running"), std::string::npos);

  application.Kill();
  // A staged file changed since, to another of its size, is fetched again.
  ASSERT_TRUE(WriteTextFile(folder + L"\\res\\new\\extra.txt.tmp", "mau!"));
  RestartServer();
  PublishRelease(*server, newer);
  end = StartAndWait(kUpdateServiceName, {});
  ASSERT_TRUE(end.stopped);
  EXPECT_EQ(end.specificExitCode, 0u);
  EXPECT_TRUE(HoldsExactly(folder, newer, Extras(true)));
  // The manifest, its signature and the changed file, nothing else.
  EXPECT_EQ(server->Requests().size(), 3u);
  EXPECT_EQ(RequestsUnder(*server, "/res/new/extra.txt"), 1u);
  EXPECT_NE(Log().find("Staged file verified again: lib/core.dll"), std::string::npos);
}

// Starting as the README shows, as it starts and as it ends, with no
// elevation: staged while it runs, placed once it has ended.
TEST_F(ServiceTest, StandInApplicationStartsTheServiceAsItStartsAndAsItEnds) {
  ChildProcess application;
  ASSERT_TRUE(application.Start(folder + L"\\zavexphone.exe", L"--start-update-service"));
  const HWND window = WaitForWindow(application.id(), L"", L"Zavex Phone");
  ASSERT_TRUE(window);
  ASSERT_TRUE(WaitForLogged("Finished with result: 3 ===", 1));
  EXPECT_TRUE(InstalledUnchanged());
  PostMessageW(window, WM_CLOSE, 0, 0);
  ASSERT_TRUE(application.Wait(20000).has_value());
  ASSERT_TRUE(WaitForLogged("Finished with result: 0 ===", 1));
  EXPECT_TRUE(HoldsExactly(folder, newer, Extras(true)));
}

TEST_F(ServiceTest, KilledWhilePlacingFilesTheNextStartConverges) {
  PausePlacingForTests(4000);
  const UniqueServiceHandle service = StartService(kUpdateServiceName);
  ASSERT_TRUE(service);
  ASSERT_TRUE(WaitForFile(folder + L"\\zavexphone.exe.old"));
  ASSERT_TRUE(KillServiceProcess(service.get()));
  PausePlacingForTests(0);
  ASSERT_TRUE(FileExists(folder + L"\\zavex_placing.journal"));
  EXPECT_EQ(ReadTextFile(folder + L"\\zavexphone.exe"), newer.files[0].content);

  const ServiceEnd end = StartAndWait(kUpdateServiceName, {});
  ASSERT_TRUE(end.stopped);
  EXPECT_EQ(end.specificExitCode, 0u);
  EXPECT_TRUE(HoldsExactly(folder, newer, Extras()));
  EXPECT_NE(Log().find("[WARN] The interrupted update was undone"), std::string::npos);
}

// What the uninstall does while the service runs: it asks for a stop and
// deletes the service once it has stopped. A stop during the downloads ends
// the run with nothing placed; one during the placing lets the placing end.
TEST_F(ServiceTest, AStopEndsTheRunAtItsNextSafePoint) {
  struct Case {
    const char* name;
    bool duringPlacing;
    DWORD exitCode;
    const Release& release;
  };
  const Case cases[] = {{"during the downloads", false, 1, installed},
                        {"during the placing", true, 0, newer}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reinstall();
    ASSERT_TRUE(RegisterUpdateService(folder));
    RestartServer();
    PublishRelease(*server, newer);
    if (c.duringPlacing) {
      PausePlacingForTests(1500);
    } else {
      server->SetRoute("/lib/core.dll", SlowAnswer(newer.files[1].content, 1000, 500));
    }
    UniqueServiceHandle service = StartService(kUpdateServiceName);
    ASSERT_TRUE(service);
    ASSERT_TRUE(c.duringPlacing ? WaitForFile(folder + L"\\zavexphone.exe.old")
                                : WaitForRequest("/lib/core.dll", 30000));
    ASSERT_TRUE(RemoveUpdateService());
    SERVICE_STATUS status{};
    ASSERT_TRUE(QueryServiceStatus(service.get(), &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(status.dwServiceSpecificExitCode, c.exitCode);
    EXPECT_TRUE(HoldsExactly(folder, c.release, Extras()));
    EXPECT_NE(Log().find("[INFO] Stop requested: the update is cancelled at its next safe point"),
              std::string::npos);
    // Deleted once no handle to it is open.
    service.reset();
    EXPECT_EQ(ServiceCommandLine(kUpdateServiceName), L"");
  }
}

// A service still placing files when the bound of the wait passes stays
// registered, and the uninstall removes nothing.
TEST_F(ServiceTest, UninstallRemovesNothingWhileTheServiceDoesNotStop) {
  PausePlacingForTests(35000);
  UniqueServiceHandle service = StartService(kUpdateServiceName);
  ASSERT_TRUE(service);
  ASSERT_TRUE(WaitForFile(folder + L"\\zavex_placing.journal"));
  std::wstring error;
  EXPECT_FALSE(Uninstall(folder, error));
  EXPECT_EQ(error, L"Não foi possível parar o serviço de atualização do Zavex Phone. Tente "
                   L"desinstalar novamente em alguns minutos.");
  PausePlacingForTests(0);
  EXPECT_EQ(ServiceCommandLine(kUpdateServiceName), UpdateServiceCommandLine(folder));
  EXPECT_TRUE(UserRegistryKeyExists(kUninstallKey));
  const ServiceEnd end = WaitUntilStopped(service.get());
  ASSERT_TRUE(end.stopped);
  EXPECT_EQ(end.specificExitCode, 0u);
  EXPECT_TRUE(HoldsExactly(folder, newer, Extras()));
}

TEST_F(ServiceTest, StagedReleaseIsDiscardedOnceItIsNoLongerOffered) {
  ChildProcess application;
  ASSERT_TRUE(application.Start(folder + L"\\zavexphone.exe", L""));
  ASSERT_TRUE(WaitForWindow(application.id(), L"", L"Zavex Phone"));
  ASSERT_EQ(StartAndWait(kUpdateServiceName, {}).specificExitCode, 3u);
  ASSERT_TRUE(FileExists(folder + L"\\lib\\core.dll.tmp"));
  application.Kill();

  Release expired = newer;
  expired.expires = "2020-01-01T00:00:00Z";
  RestartServer();
  PublishRelease(*server, expired);
  const ServiceEnd end = StartAndWait(kUpdateServiceName, {});
  EXPECT_EQ(end.specificExitCode, 2u);
  EXPECT_TRUE(HoldsExactly(folder, installed, Extras(true)));
}

TEST_F(ServiceTest, RefusesOutsideARegisteredTrustedInstallationAndWithoutKeys) {
  const std::wstring copyService = L"ZavexPhoneUpdateCopy";
  struct Case {
    const char* name;
    std::function<void()> arrange;
    std::wstring service;
    const char* logged;
  };
  const Case cases[] = {
      {"folder that others can change", [] { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kTestHooksKey); },
       kUpdateServiceName, "others than administrators can change its folder"},
      {"started under another service's name",
       [&] {
         ASSERT_TRUE(RegisterService({copyService, copyService, L"", UpdateServiceCommandLine(folder)}));
         TrustFolderForTests(temp.path());
         ASSERT_TRUE(RegisterUpdateService(temp.path()));
         TrustFolderForTests(folder);
       },
       copyService, "the service is not registered for this executable"},
      {"build without release keys",
       [&] { ASSERT_TRUE(CopyFileW((BuildDir() + L"\\unsigned\\zavex_updater.exe").c_str(),
                                   updaterPath.c_str(), FALSE)); },
       kUpdateServiceName, "this build has no release keys"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reinstall();
    TrustFolderForTests(folder);
    ASSERT_TRUE(RegisterUpdateService(folder));
    c.arrange();
    RestartServer();
    PublishRelease(*server, newer);
    const ServiceEnd end = StartAndWait(c.service, {});
    ASSERT_TRUE(end.stopped);
    EXPECT_EQ(end.specificExitCode, 1u);
    EXPECT_NE(Log().find(std::string("[ERROR] Refusing to run as a service: ") + c.logged),
              std::string::npos);
    EXPECT_TRUE(server->Requests().empty());
    EXPECT_TRUE(HoldsExactly(folder, installed, Extras()));
  }
  RemoveService(copyService);
}

}  // namespace
}  // namespace zavex::test
