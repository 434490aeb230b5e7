// Walks the built updater through every page of both flows against the
// loopback server and, on each page, asks scripts/screenshots.sh to take a
// picture: it writes "<name> <x> <y> <width> <height>" (screen pixels) into
// request.txt in the folder given as its argument and waits until the script
// has deleted the file.
//   ui_screenshot_driver.exe <exchange folder>
#include <windows.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "support/window_probe.h"
#include "ui/flow_fixture.h"
#include "ui/progress_window.h"

namespace zavex::test {
namespace {

constexpr DWORD kPaintSettleMs = 400;
constexpr DWORD kCaptureTimeoutMs = 30000;

std::wstring exchangeFolder;

bool Fail(const std::string& what) {
  std::fprintf(stderr, "screenshot driver: %s\n", what.c_str());
  return false;
}

// The smallest rectangle holding every window given.
RECT Around(const std::vector<HWND>& windows) {
  RECT all = {};
  for (HWND window : windows) {
    RECT rect = {};
    GetWindowRect(window, &rect);
    UnionRect(&all, &all, &rect);
  }
  return all;
}

bool Capture(const std::string& name, const std::vector<HWND>& windows) {
  Sleep(kPaintSettleMs);
  const RECT area = Around(windows);
  const std::wstring request = exchangeFolder + L"\\request.txt";
  const std::string line = name + " " + std::to_string(area.left) + " " +
                           std::to_string(area.top) + " " + std::to_string(area.right - area.left) +
                           " " + std::to_string(area.bottom - area.top) + "\n";
  if (!WriteTextFile(request + L".part", line)) return Fail("cannot write " + name);
  MoveFileExW((request + L".part").c_str(), request.c_str(), MOVEFILE_REPLACE_EXISTING);
  const ULONGLONG deadline = GetTickCount64() + kCaptureTimeoutMs;
  while (FileExists(request)) {
    if (GetTickCount64() >= deadline) return Fail("no picture taken of " + name);
    Sleep(50);
  }
  std::printf("captured %s\n", name.c_str());
  return true;
}

// One run of the updater in a fresh folder, with its own server routes.
class Run {
 public:
  explicit Run(const std::wstring& name) : folder(dir / name) {}

  // Starts the updater and returns its window; null when none appeared.
  HWND Open(const std::wstring& switches) {
    if (!updater.Start(exe, switches + L" --path=\"" + folder + L"\"")) return nullptr;
    return WaitForWindow(updater.id(), kUpdaterWindowClass, L"");
  }
  HWND Box(const std::wstring& caption) { return WaitForMessageBox(updater.id(), caption); }
  // Closes window (a running operation's question, if any, stays open).
  bool CloseAndEnd(HWND window) {
    PostMessageW(window, WM_CLOSE, 0, 0);
    return updater.Wait(kExitTimeoutMs).has_value();
  }

  HttpServer server{ServerPortFromBaseUrl()};
  TempDir dir;
  const std::wstring folder;
  const std::wstring exe = CopyUpdaterTo(dir.path());
  ChildProcess updater;
};

// Waits for the page whose title line reads title, then pictures it.
bool Picture(HWND window, const std::wstring& title, const std::string& name) {
  if (!window || !WaitForControlText(window, IDC_TITLE_LABEL, title)) {
    return Fail("the page for " + name + " did not appear");
  }
  return Capture(name, {window});
}

bool InstallerPages() {
  Run run(L"Zavex Phone");
  Release release = StandInRelease("1.0.0", 1);
  release.files.back().content.assign(200000, 'c');
  PublishRelease(run.server, release);
  run.server.SetRoute("/lib/codec.dll", SlowAnswer(release.files.back().content, 2000, 40));
  HWND window = run.Open(L"--install");
  if (!Picture(window, L"Bem-vindo ao instalador do Zavex Phone", "installer-1-welcome")) return false;
  ClickButton(window, IDC_ACTION_BUTTON);
  Sleep(1500);
  if (!Picture(window, L"Baixando: lib/codec.dll", "installer-2-installing")) return false;
  PostMessageW(window, WM_CLOSE, 0, 0);
  HWND box = run.Box(L"Confirmar");
  if (!box || !Capture("installer-3-cancel-question", {window, box})) return Fail("no question");
  AnswerMessageBox(box, IDNO);
  return Picture(window, L"Instalação concluída!", "installer-4-complete") &&
         run.CloseAndEnd(window);
}

bool InstallerFailurePage() {
  Run run(L"Zavex Phone");
  run.server.SetRoute("/manifest.json", 503, "");
  HWND window = run.Open(L"--install");
  ClickButton(window, IDC_ACTION_BUTTON);
  return Picture(window, L"Erro na instalação", "installer-5-failed") && run.CloseAndEnd(window);
}

// An installed release 1.0.0 with 2.0.0 on the server.
Release PrepareUpdate(Run& run) {
  InstallReleaseLocally(run.folder, StandInRelease("1.0.0", 1));
  Release newer = StandInRelease("2.0.0", 2);
  newer.files.back().content.assign(3 * 1048576 + 300000, 'n');
  PublishRelease(run.server, newer);
  return newer;
}

bool UpdaterPages() {
  Run run(L"Zavex Phone");
  const Release newer = PrepareUpdate(run);
  run.server.SetRoute("/manifest.json", SlowAnswer(newer.ManifestJson(), 64, 300));
  run.server.SetRoute("/lib/codec.dll", SlowAnswer(newer.files.back().content, 65536, 60));
  HWND window = run.Open(L"--update");
  if (!Picture(window, L"Verificando atualizações...", "updater-1-checking") ||
      !Picture(window, L"Nova versão disponível!", "updater-2-available")) {
    return false;
  }
  ClickButton(window, IDC_ACTION_BUTTON);
  Sleep(1200);
  return Picture(window, L"Atualizando: lib/codec.dll", "updater-3-updating") &&
         Picture(window, L"Atualização concluída!", "updater-4-complete") &&
         run.CloseAndEnd(window);
}

bool UpdaterCheckPages() {
  Run run(L"Zavex Phone");
  PrepareUpdate(run);
  PublishRelease(run.server, StandInRelease("1.0.0", 1));
  HWND window = run.Open(L"--update");
  if (!Picture(window, L"Nenhuma atualização disponível", "updater-5-no-update") ||
      !run.CloseAndEnd(window)) {
    return false;
  }
  run.server.SetRoute("/manifest.json", 404, "Not Found");
  window = run.Open(L"--update");
  return Picture(window, L"Erro ao verificar atualizações", "updater-6-check-failed") &&
         run.CloseAndEnd(window);
}

bool UpdateFailurePage() {
  Run run(L"Zavex Phone");
  Release newer = PrepareUpdate(run);
  newer.files.back().listedHash = std::string(64, '0');
  PublishRelease(run.server, newer);
  HWND window = run.Open(L"--update");
  if (!window || !WaitForControlText(window, IDC_TITLE_LABEL, L"Nova versão disponível!")) {
    return Fail("no offer page");
  }
  ClickButton(window, IDC_ACTION_BUTTON);
  return Picture(window, L"Erro na atualização", "updater-7-update-failed") &&
         run.CloseAndEnd(window);
}

bool InstallQuestion() {
  Run run(L"Zavex Phone");
  if (!run.updater.Start(run.exe, L"--update --path=\"" + run.folder + L"\"")) {
    return Fail("updater did not start");
  }
  HWND box = run.Box(L"Zavex Phone - Instalador");
  if (!box || !Capture("updater-8-install-question", {box})) return Fail("no install question");
  AnswerMessageBox(box, IDNO);
  return run.updater.Wait(kExitTimeoutMs).has_value();
}

}  // namespace
}  // namespace zavex::test

int wmain(int argc, wchar_t** argv) {
  using namespace zavex::test;
  if (argc != 2) return Fail("usage: ui_screenshot_driver.exe <exchange folder>") ? 0 : 2;
  exchangeFolder = argv[1];
  const std::vector<std::function<bool()>> walks = {
      InstallerPages, InstallerFailurePage, UpdaterPages, UpdaterCheckPages, UpdateFailurePage,
      InstallQuestion};
  CleanMachineState();
  bool allTaken = true;
  for (const auto& walk : walks) {
    allTaken = walk() && allTaken;
    CleanMachineState();
  }
  return allTaken ? 0 : 1;
}
