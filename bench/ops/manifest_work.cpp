#include "bench/ops/manifest_work.h"

#include <windows.h>

#include <algorithm>
#include <limits>

#include "formats/manifest.h"
#include "platform/manifest_file.h"

namespace zavex::bench {
namespace {

double NowMs() {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart) * 1000.0 / frequency.QuadPart;
}

// Runs step once and lowers best to its time when that is shorter.
template <typename Step>
void TimeStep(double& best, Step&& step) {
  const double start = NowMs();
  step();
  best = std::min(best, NowMs() - start);
}

struct Round {
  Manifest installed;
  Manifest server;
  bool valid = false;
};

}  // namespace

double ManifestWorkFigures::UpdateTotalMs() const {
  return loadInstalledMs + parseServerMs + 2 * filesToUpdateMs + pathsToDeleteMs + serialiseMs;
}

bool MeasureManifestWork(const std::wstring& installedPath, const std::string& serverText,
                         int rounds, ManifestWorkFigures& figures) {
  constexpr double kUnset = std::numeric_limits<double>::max();
  figures = ManifestWorkFigures{};
  figures.loadInstalledMs = figures.parseServerMs = figures.filesToUpdateMs = kUnset;
  figures.pathsToDeleteMs = figures.serialiseMs = kUnset;
  for (int round = 0; round < rounds; ++round) {
    Round work;
    TimeStep(figures.loadInstalledMs, [&] {
      work.installed = LoadManifestFile(installedPath);
      work.valid = IsValid(work.installed);
    });
    TimeStep(figures.parseServerMs, [&] {
      work.server = ParseManifest(serverText);
      work.valid = work.valid && IsValid(work.server);
    });
    if (!work.valid) return false;
    TimeStep(figures.filesToUpdateMs, [&] {
      figures.filesToUpdate = GetFilesToUpdate(work.server, work.installed).size();
    });
    TimeStep(figures.pathsToDeleteMs, [&] {
      figures.pathsToDelete = GetFilesToDelete(work.server, work.installed).size();
    });
    TimeStep(figures.serialiseMs,
             [&] { figures.serialisedBytes = SerializeManifest(work.server).size(); });
    figures.installedEntries = work.installed.files.size();
    figures.serverEntries = work.server.files.size();
  }
  return rounds > 0;
}

}  // namespace zavex::bench
