#include "app/invocation.h"

#include "base/install_location.h"
#include "base/logger.h"
#include "platform/folder_security.h"
#include "platform/registration.h"

namespace zavex {
namespace {

// A record beside the executable makes its folder the installation only when
// this account registered that folder, or no one but administrators can
// change it: anyone may put a record beside a copy in their Downloads.
bool ExecutableFolderIsInstallation() {
  const std::wstring folder = GetExecutableFolder();
  if (!HoldsRecordFile(folder)) return false;
  if (IsSamePath(folder, RegisteredInstallLocation(kProductName)) ||
      OnlyAdministratorsCanChange(folder)) {
    return true;
  }
  Logger::Instance().Warn(
      "Not an installation: the executable's folder holds manifest.json, but it is not the "
      "registered installation and others than administrators can change it");
  return false;
}

}  // namespace

OperationMode GetOperationMode(const CommandLineArgs& args) {
  if (args.mode != INSTALLER) return args.mode;
  if (ExecutableFolderIsInstallation()) return UPDATER;
  if (HoldsRecordFile(GetDefaultInstallFolder())) return UPDATER;
  return INSTALLER;
}

std::wstring GetInstallPath(const CommandLineArgs& args) {
  if (!args.installPath.empty()) return args.installPath;
  if (ExecutableFolderIsInstallation()) return GetExecutableFolder();
  return GetDefaultInstallFolder();
}

Invocation ResolveInvocation(const CommandLineArgs& args) {
  Invocation invocation;
  invocation.mode = GetOperationMode(args);
  invocation.installFolder = GetInstallPath(args);
  invocation.newInstallFolder =
      args.installPath.empty() ? GetDefaultInstallFolder() : args.installPath;
  invocation.restart = args.restart;
  invocation.server = CompiledReleaseServer();
  return invocation;
}

}  // namespace zavex
