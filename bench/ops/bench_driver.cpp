// Runs the built updater for bench/run.sh and prints what it cost:
//   zavex_bench_driver install UPDATER FOLDER   the window: "Instalar", then "Concluir"
//   zavex_bench_driver update UPDATER FOLDER    the window: "Atualizar", then "Concluir"
//   zavex_bench_driver silent UPDATER FOLDER    "--silent"
//   zavex_bench_driver manifest RECORD DOCUMENT [ROUNDS]
//   zavex_bench_driver floor FOLDER MANIFEST [INSTALLED_MANIFEST]
// The first three print one line "exit=N seconds=S operation_seconds=S
// peak_bytes=B": the whole process, the part from the click to the result page
// (the whole process for "silent"), and the peak working set seen while it ran.
// "manifest" times the manifest steps of one update in this process; "floor"
// fetches and verifies into FOLDER the files of MANIFEST (those that differ
// from INSTALLED_MANIFEST, when given) with nothing but the platform layer.
// Exits with kDriverFailed when the updater did not get to its result.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/server_config.h"
#include "base/text_conversion.h"
#include "bench/ops/manifest_work.h"
#include "bench/ops/measured_process.h"
#include "bench/ops/platform_floor.h"
#include "formats/manifest.h"
#include "platform/manifest_file.h"
#include "support/process.h"
#include "support/test_files.h"
#include "support/window_probe.h"
#include "ui/progress_window.h"

namespace zavex::bench {
namespace {

constexpr int kDriverFailed = 100;
constexpr DWORD kWindowTimeoutMs = 30000;
constexpr DWORD kOperationTimeoutMs = 900000;
constexpr int kDefaultManifestRounds = 3;

int Fail(const std::string& text) {
  std::printf("driver: %s\n", text.c_str());
  return kDriverFailed;
}

void PrintFigures(const ProcessFigures& figures, double operationSeconds) {
  std::printf("exit=%lu seconds=%.3f operation_seconds=%.3f peak_bytes=%llu\n",
              static_cast<unsigned long>(figures.exitCode), figures.seconds, operationSeconds,
              static_cast<unsigned long long>(figures.peakWorkingSet));
}

std::wstring PathSwitch(const std::wstring& folder) { return L"--path=\"" + folder + L"\""; }

// The pages of one interactive flow that the driver waits for.
struct FlowPages {
  const wchar_t* modeSwitch;
  const wchar_t* offerTitle;  // the page whose action button starts the work
  const wchar_t* doneTitle;
  const wchar_t* failedTitle;
};

constexpr FlowPages kInstallPages = {L"--install", L"Bem-vindo ao instalador do Zavex Phone",
                                     L"Instala\u00e7\u00e3o conclu\u00edda!",
                                     L"Erro na instala\u00e7\u00e3o"};
constexpr FlowPages kUpdatePages = {L"--update", L"Nova vers\u00e3o dispon\u00edvel!",
                                    L"Atualiza\u00e7\u00e3o conclu\u00edda!",
                                    L"Erro na atualiza\u00e7\u00e3o"};

bool TitleIs(HWND window, const wchar_t* title) {
  return test::ControlText(window, IDC_TITLE_LABEL) == title;
}

// Answers a box of the process, such as the one a failed start of the
// application shows, until the process ends.
ProcessFigures WaitForExitAnsweringBoxes(MeasuredProcess& updater) {
  updater.WaitUntil(
      [&updater] {
        if (HWND box = test::WaitForMessageBox(updater.id(), L"", 0)) {
          test::AnswerMessageBox(box, IDOK);
        }
        return false;
      },
      kOperationTimeoutMs);
  return updater.WaitForExit(kWindowTimeoutMs);
}

int RunFlow(const FlowPages& pages, const std::wstring& updaterExe, const std::wstring& folder) {
  MeasuredProcess updater;
  if (!updater.Start(updaterExe, std::wstring(pages.modeSwitch) + L" " + PathSwitch(folder))) {
    return Fail("cannot start the updater");
  }
  HWND window = nullptr;
  const bool shown = updater.WaitUntil(
      [&] {
        window = test::WaitForWindow(updater.id(), kWindowClassName, L"", 0);
        return window != nullptr;
      },
      kWindowTimeoutMs);
  if (!shown) return Fail("no window appeared");
  if (!updater.WaitUntil([&] { return TitleIs(window, pages.offerTitle); }, kWindowTimeoutMs)) {
    return Fail("the window did not offer to start: " +
                WideToUtf8(test::ControlText(window, IDC_TITLE_LABEL)));
  }
  test::ClickButton(window, IDC_ACTION_BUTTON);
  const double clicked = updater.SecondsSinceStart();
  const bool ended = updater.WaitUntil(
      [&] { return TitleIs(window, pages.doneTitle) || TitleIs(window, pages.failedTitle); },
      kOperationTimeoutMs);
  const double operationSeconds = updater.SecondsSinceStart() - clicked;
  if (!ended) return Fail("no result page appeared");
  if (TitleIs(window, pages.failedTitle)) {
    return Fail("failed: " + WideToUtf8(test::ControlText(window, IDC_STATUS_LABEL)));
  }
  test::ClickButton(window, IDC_ACTION_BUTTON);
  const ProcessFigures figures = WaitForExitAnsweringBoxes(updater);
  if (!figures.ended) return Fail("the updater did not end");
  PrintFigures(figures, operationSeconds);
  return 0;
}

int RunSilent(const std::wstring& updaterExe, const std::wstring& folder) {
  MeasuredProcess updater;
  if (!updater.Start(updaterExe, L"--silent " + PathSwitch(folder))) {
    return Fail("cannot start the updater");
  }
  const ProcessFigures figures = updater.WaitForExit(kOperationTimeoutMs);
  if (!figures.ended) return Fail("the updater did not end");
  PrintFigures(figures, figures.seconds);
  return figures.exitCode == 0 ? 0 : kDriverFailed;
}

int RunManifestWork(const std::wstring& record, const std::wstring& document, int rounds) {
  ManifestWorkFigures figures;
  if (!MeasureManifestWork(record, test::ReadTextFile(document), rounds, figures)) {
    return Fail("the record or the document is not a valid manifest");
  }
  std::printf(
      "entries=%zu/%zu to_update=%zu to_delete=%zu serialised_bytes=%zu load_record_ms=%.1f "
      "parse_document_ms=%.1f files_to_update_ms=%.1f paths_to_delete_ms=%.1f serialise_ms=%.1f "
      "update_total_ms=%.1f\n",
      figures.installedEntries, figures.serverEntries, figures.filesToUpdate,
      figures.pathsToDelete, figures.serialisedBytes, figures.loadInstalledMs,
      figures.parseServerMs, figures.filesToUpdateMs, figures.pathsToDeleteMs,
      figures.serialiseMs, figures.UpdateTotalMs());
  return 0;
}

int RunFloor(const std::wstring& folder, const std::wstring& manifestPath,
             const std::wstring& installedPath) {
  const Manifest manifest = LoadManifestFile(manifestPath);
  if (!IsValid(manifest)) return Fail("not a valid manifest: " + WideToUtf8(manifestPath));
  std::vector<ManifestFile> files = manifest.files;
  if (!installedPath.empty()) files = GetFilesToUpdate(manifest, LoadManifestFile(installedPath));
  FloorFigures figures;
  std::string error;
  if (!FetchAndVerify(files, ServerBaseUrl, folder, figures, error)) return Fail(error);
  std::printf("files=%zu bytes=%llu seconds=%.3f\n", figures.files,
              static_cast<unsigned long long>(figures.bytes), figures.seconds);
  return 0;
}

int Run(int argc, wchar_t** argv) {
  const std::wstring command = argc > 1 ? argv[1] : L"";
  if (argc == 4 && command == L"install") return RunFlow(kInstallPages, argv[2], argv[3]);
  if (argc == 4 && command == L"update") return RunFlow(kUpdatePages, argv[2], argv[3]);
  if (argc == 4 && command == L"silent") return RunSilent(argv[2], argv[3]);
  if ((argc == 4 || argc == 5) && command == L"manifest") {
    const int rounds = argc == 5 ? _wtoi(argv[4]) : kDefaultManifestRounds;
    return RunManifestWork(argv[2], argv[3], rounds);
  }
  if ((argc == 4 || argc == 5) && command == L"floor") {
    return RunFloor(argv[2], argv[3], argc == 5 ? argv[4] : L"");
  }
  return Fail("usage: zavex_bench_driver install|update|silent UPDATER FOLDER | "
              "manifest RECORD DOCUMENT [ROUNDS] | floor FOLDER MANIFEST [INSTALLED_MANIFEST]");
}

}  // namespace
}  // namespace zavex::bench

int wmain(int argc, wchar_t** argv) { return zavex::bench::Run(argc, argv); }
