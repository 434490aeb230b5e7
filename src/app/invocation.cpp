#include "app/invocation.h"

#include "app/release_keys.h"
#include "app/server_config.h"
#include "base/install_location.h"

namespace zavex {

OperationMode GetOperationMode(const CommandLineArgs& args) {
  if (args.mode != INSTALLER) return args.mode;
  if (HoldsRecordFile(GetExecutableFolder())) return UPDATER;
  if (HoldsRecordFile(GetDefaultInstallFolder())) return UPDATER;
  return INSTALLER;
}

std::wstring GetInstallPath(const CommandLineArgs& args) {
  if (!args.installPath.empty()) return args.installPath;
  const std::wstring executableFolder = GetExecutableFolder();
  if (HoldsRecordFile(executableFolder)) return executableFolder;
  return GetDefaultInstallFolder();
}

ReleaseServer CompiledReleaseServer() {
  return ReleaseServer{ServerBaseUrl, std::vector<ReleaseKeyBlob>(kReleasePublicKeyBlobs.begin(),
                                                                  kReleasePublicKeyBlobs.end())};
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
