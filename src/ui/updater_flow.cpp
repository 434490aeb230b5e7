#include "ui/updater_flow.h"

#include <memory>
#include <string>

#include "base/text_conversion.h"
#include "formats/format_size.h"
#include "ops/application_control.h"
#include "ops/updater.h"
#include "ui/installer_flow.h"
#include "ui/operation_reports.h"
#include "ui/progress_window.h"

namespace zavex {
namespace {

// The check's answer, handed from the check thread to the window's thread.
struct CheckResult {
  UpdateInfo info;
  std::wstring error;  // complete, with info, before WM_APP_CHECK_DONE is posted
};

// One run of the updater window: Checking, the offer, Updating, the result;
// or the question whether to install when nothing is installed.
class UpdaterFlow {
 public:
  UpdaterFlow(HINSTANCE instance, const std::wstring& installFolder,
              const std::wstring& newInstallFolder, const ReleaseServer& server)
      : instance(instance),
        installPath(installFolder),
        newInstallFolder(newInstallFolder),
        server(server),
        updater(installPath, server) {}

  int Run();

 private:
  void ConnectUpdater();
  void ConnectWindow();
  void StartUpdate();
  void CancelUpdate();
  void Finish();
  void HandleAppMessage(UINT message, WPARAM wParam);
  void ShowCheckResult();
  void ShowCheckFailure();
  void ShowUpdateResult(bool success);
  int AskToInstall() const;

  const HINSTANCE instance;
  const std::wstring installPath;
  const std::wstring newInstallFolder;  // offered when nothing is installed
  const ReleaseServer server;
  Updater updater;
  ProgressWindow window;
  const std::shared_ptr<CheckResult> check = std::make_shared<CheckResult>();
  const std::shared_ptr<OperationState> state = std::make_shared<OperationState>();
  const std::shared_ptr<ProgressSlot> progress = std::make_shared<ProgressSlot>();
  UpdateInfo info;          // read on this thread once the check has reported
  std::wstring checkError;  // likewise
  bool askToInstall = false;
};

int UpdaterFlow::Run() {
  if (!window.Create(instance, L"Zavex Phone - Atualizador")) return 1;
  ConnectUpdater();
  window.SetMode(Checking);
  window.SetTitle(L"Verificando atualizações...");
  window.SetStatus(L"Conectando ao servidor...");
  updater.StartCheck();
  ConnectWindow();
  ShowWindow(window.Handle(), SW_SHOW);
  UpdateWindow(window.Handle());
  // The quit message of the closed window ends this loop, so the question
  // below and an installer window after it run undisturbed.
  RunMessageLoop();
  if (askToInstall) return AskToInstall();
  if (window.ClosedDuringOperation()) return 1;
  if (state->succeeded.load()) return 0;
  return info.updateAvailable ? 1 : 2;
}

void UpdaterFlow::ConnectUpdater() {
  const HWND hwnd = window.Handle();
  const std::shared_ptr<CheckResult> result = check;
  updater.MarkAskedByPerson();
  updater.onCheckComplete = [hwnd, result](const UpdateInfo& found, const std::wstring& error) {
    result->info = found;
    result->error = error;
    PostMessageW(hwnd, WM_APP_CHECK_DONE, found.updateAvailable ? 1 : 0, 0);
  };
  updater.onProgress = MakeProgressReporter(hwnd, L"Atualizando: ", progress);
  updater.onComplete = MakeCompletionReporter(hwnd, state);
}

void UpdaterFlow::ConnectWindow() {
  window.onUpdate = [this] { StartUpdate(); };
  window.onCancel = [this] { CancelUpdate(); };
  window.onFinish = [this] { Finish(); };
  window.onAppMessage = [this](UINT message, WPARAM wParam) { HandleAppMessage(message, wParam); };
  window.onStopOperation = [this] { updater.Cancel(); };
}

void UpdaterFlow::StartUpdate() {
  if (state->finished.load()) {
    window.RequestClose();
    return;
  }
  state->started.store(true);
  window.SetMode(Updating);
  window.SetTitle(L"Instalando...");
  window.SetProgress(0);
  updater.StartUpdate();
}

void UpdaterFlow::CancelUpdate() {
  if (state->started.load()) updater.Cancel();
  window.RequestClose();
}

void UpdaterFlow::Finish() {
  window.RequestClose();
  const bool checkFailed = !info.updateAvailable && !checkError.empty();
  if (!state->succeeded.load() && !checkFailed) return;
  StartApplicationIfPresent(installPath);
}

void UpdaterFlow::HandleAppMessage(UINT message, WPARAM wParam) {
  switch (message) {
    case WM_APP_PROGRESS:
      ShowLatestProgress(window, *progress);
      break;
    case WM_APP_OPERATION_DONE:
      ShowUpdateResult(wParam != 0);
      break;
    case WM_APP_CHECK_DONE:
      info = check->info;
      checkError = check->error;
      ShowCheckResult();
      break;
    default:
      break;
  }
}

void UpdaterFlow::ShowCheckResult() {
  if (info.updateAvailable) {
    window.SetMode(UpdateAvailable);
    window.SetTitle(L"Nova versão disponível!");
    window.SetStatus(L"Versão atual: " + Utf8ToWide(info.currentVersion) + L"\nNova versão: " +
                     Utf8ToWide(info.newVersion) + L"\nTamanho: " + FormatSize(info.downloadSize));
  } else if (checkError.empty()) {
    window.SetMode(UpdateComplete);
    window.SetTitle(L"Nenhuma atualização disponível");
    window.SetStatus(L"Você já está usando a versão mais recente.");
  } else if (!info.currentVersion.empty()) {
    ShowCheckFailure();
  } else {
    askToInstall = true;
    window.RequestClose();
  }
}

void UpdaterFlow::ShowCheckFailure() {
  window.SetMode(Failed);
  window.SetTitle(L"Erro ao verificar atualizações");
  window.SetStatus(checkError);
}

void UpdaterFlow::ShowUpdateResult(bool success) {
  if (success) {
    window.SetMode(UpdateComplete);
    window.SetTitle(L"Atualização concluída!");
    window.SetStatus(L"O Zavex Phone foi atualizado para a versão " + Utf8ToWide(info.newVersion));
    return;
  }
  window.SetMode(Failed);
  window.SetTitle(L"Erro na atualização");
  window.SetStatus(state->error);
}

int UpdaterFlow::AskToInstall() const {
  const int answer = MessageBoxW(nullptr, L"Zavex Phone não está instalado. Deseja instalar?",
                                 kInstallerCaption, MB_YESNO | MB_ICONQUESTION);
  return answer == IDYES ? RunInstaller(instance, newInstallFolder, server) : 0;
}

}  // namespace

int RunUpdater(HINSTANCE instance, const std::wstring& installFolder,
               const std::wstring& newInstallFolder, const ReleaseServer& server) {
  UpdaterFlow flow(instance, installFolder, newInstallFolder, server);
  return flow.Run();
}

}  // namespace zavex
