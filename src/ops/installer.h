#pragma once

#include <memory>
#include <optional>
#include <string>

#include "ops/operation_callbacks.h"
#include "ops/release_server.h"
#include "platform/file_system.h"

namespace zavex {

struct InstallJob;

// True when folder exists and others than administrators can change it: what
// the next elevated run starts from there could be replaced.
bool OthersCanChangeExistingFolder(const std::wstring& folder);

// Installs the application from the server's manifest on a worker thread.
// The owner sets the folder and the callbacks, then starts it once. Each start
// hands the worker its own copy of the folder, server and callbacks together
// with the cancel flag, all shared with this object (see ops/worker_thread.h),
// so the Installer may be destroyed while the worker runs.
class Installer {
 public:
  explicit Installer(const ReleaseServer& server) : server(server) {}
  // Asks a running installation to stop; the worker ends on its own.
  ~Installer();
  Installer(const Installer&) = delete;
  Installer& operator=(const Installer&) = delete;

  // Forgets the folder accepted before.
  void SetInstallPath(const std::wstring& path);
  // The existing folder that the user chose to install into although others
  // than administrators can change it. Any other folder found at the path
  // when the install creates it is refused, unless only administrators can
  // change it.
  void AcceptExistingFolder(const FileIdentity& folder) { acceptedFolder = folder; }
  const std::wstring& GetInstallPath() const { return installPath; }

  // Runs the installation on a new detached thread; onComplete reports the
  // result there, or at once on this thread when the folder is longer than
  // kMaxInstallFolderChars or no thread can be started.
  void StartInstall();
  // Stops the running installation before its next file; a download in
  // progress ends at once, also one waiting on the network.
  void Cancel();

  ProgressCallback onProgress;
  CompletionCallback onComplete;

 private:
  const ReleaseServer server;
  std::wstring installPath;
  std::optional<FileIdentity> acceptedFolder;
  std::shared_ptr<InstallJob> job;  // the last started installation
};

}  // namespace zavex
