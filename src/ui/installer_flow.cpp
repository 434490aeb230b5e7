#include "ui/installer_flow.h"

#include <memory>
#include <string>

#include "base/logger.h"
#include "base/text_conversion.h"
#include "ops/application_control.h"
#include "ops/installer.h"
#include "ui/operation_reports.h"
#include "ui/progress_window.h"

namespace zavex {
namespace {

// One run of the installer window: Welcome, Installing, then the result.
class InstallerFlow {
 public:
  InstallerFlow(HINSTANCE instance, const ReleaseServer& server)
      : instance(instance), installer(server) {}

  int Run(const std::wstring& folder);

 private:
  void ShowWelcome(const std::wstring& folder);
  void ConnectWindow();
  void StartInstall();
  bool AcceptFolder(const std::wstring& folder);
  void CancelInstall();
  void Finish();
  void HandleAppMessage(UINT message, WPARAM wParam);
  void ShowResult(bool success);

  const HINSTANCE instance;
  ProgressWindow window;
  Installer installer;
  const std::shared_ptr<OperationState> state = std::make_shared<OperationState>();
  const std::shared_ptr<ProgressSlot> progress = std::make_shared<ProgressSlot>();
};

int InstallerFlow::Run(const std::wstring& folder) {
  if (!window.Create(instance, kInstallerCaption)) return 1;
  installer.SetInstallPath(folder);
  ShowWelcome(folder);
  ConnectWindow();
  ShowWindow(window.Handle(), SW_SHOW);
  UpdateWindow(window.Handle());
  RunMessageLoop();
  return state->succeeded.load() && !window.ClosedDuringOperation() ? 0 : 1;
}

void InstallerFlow::ShowWelcome(const std::wstring& folder) {
  window.SetMode(Welcome);
  window.SetTitle(L"Bem-vindo ao instalador do Zavex Phone");
  window.SetStatus(L"Selecione o local de instalação: ");
  window.SetFolder(folder);
}

void InstallerFlow::ConnectWindow() {
  window.onInstall = [this] { StartInstall(); };
  window.onCancel = [this] { CancelInstall(); };
  window.onPathChanged = [this](const std::wstring& folder) { installer.SetInstallPath(folder); };
  window.onFinish = [this] { Finish(); };
  window.onAppMessage = [this](UINT message, WPARAM wParam) { HandleAppMessage(message, wParam); };
  window.onStopOperation = [this] { installer.Cancel(); };
}

void InstallerFlow::StartInstall() {
  if (state->finished.load()) {
    window.RequestClose();
    return;
  }
  const std::wstring folder = window.GetFolder();
  installer.SetInstallPath(folder);
  if (!AcceptFolder(folder)) return;
  state->started.store(true);
  window.SetMode(Installing);
  window.SetTitle(L"Instalando...");
  window.SetStatus(L"Preparando instalação...");
  window.SetProgress(0);
  installer.onProgress = MakeProgressReporter(window.Handle(), L"Baixando: ", progress);
  installer.onComplete = MakeCompletionReporter(window.Handle(), state);
  installer.StartInstall();
}

// An existing folder keeps its access list, so the user decides before
// anything is written there; "Não" leaves it untouched on the Welcome page.
// "Sim" accepts that very folder, identified before it is checked.
bool InstallerFlow::AcceptFolder(const std::wstring& folder) {
  FileIdentity identity;
  const bool identified = IdentityOfFolder(folder, identity);
  if (!OthersCanChangeExistingFolder(folder)) return true;
  const std::wstring question =
      L"Outros usuários além dos administradores podem alterar a pasta " + folder +
      L". Instalar nela mesmo assim?";
  const bool accepted = MessageBoxW(window.Handle(), question.c_str(), kInstallerCaption,
                                    MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
  Logger::Instance().Warn(std::string("The user chose ") + (accepted ? "" : "not ") +
                          "to install into a folder that others than administrators can "
                          "change: " + WideToUtf8(folder));
  if (accepted && identified) installer.AcceptExistingFolder(identity);
  return accepted;
}

void InstallerFlow::CancelInstall() {
  if (state->started.load()) installer.Cancel();
  window.RequestClose();
}

void InstallerFlow::Finish() {
  window.RequestClose();
  if (state->succeeded.load()) StartApplicationIfPresent(installer.GetInstallPath());
}

void InstallerFlow::HandleAppMessage(UINT message, WPARAM wParam) {
  if (message == WM_APP_PROGRESS) ShowLatestProgress(window, *progress);
  if (message == WM_APP_OPERATION_DONE) ShowResult(wParam != 0);
}

void InstallerFlow::ShowResult(bool success) {
  if (success) {
    window.SetMode(InstallComplete);
    window.SetTitle(L"Instalação concluída!");
    window.SetStatus(L"O Zavex Phone foi instalado com sucesso.");
    return;
  }
  window.SetMode(Failed);
  window.SetTitle(L"Erro na instalação");
  window.SetStatus(state->error);
}

}  // namespace

int RunInstaller(HINSTANCE instance, const std::wstring& folder, const ReleaseServer& server) {
  InstallerFlow flow(instance, server);
  return flow.Run(folder);
}

}  // namespace zavex
