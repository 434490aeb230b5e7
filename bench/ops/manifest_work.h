#pragma once

#include <cstddef>
#include <string>

namespace zavex::bench {

// Milliseconds of each manifest step of one update, the best of several
// rounds, and the sizes they worked on.
struct ManifestWorkFigures {
  size_t installedEntries = 0;
  size_t serverEntries = 0;
  size_t filesToUpdate = 0;
  size_t pathsToDelete = 0;
  size_t serialisedBytes = 0;
  double loadInstalledMs = 0;  // read and parse the record, then validate it
  double parseServerMs = 0;    // parse the server's document, then validate it
  double filesToUpdateMs = 0;
  double pathsToDeleteMs = 0;
  double serialiseMs = 0;

  // The steps as one update runs them: the check and the update each list
  // the files to update, the update alone the paths to delete.
  double UpdateTotalMs() const;
};

// Times the steps on the installed record at installedPath and the server's
// document serverText. False when either is not a valid manifest.
bool MeasureManifestWork(const std::wstring& installedPath, const std::string& serverText,
                         int rounds, ManifestWorkFigures& figures);

}  // namespace zavex::bench
