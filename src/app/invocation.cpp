#include "app/invocation.h"

#include <functional>
#include <optional>

#include "base/install_location.h"
#include "base/logger.h"
#include "base/text_conversion.h"
#include "ops/installation_identity.h"
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

// The mode and folder rules, asking isInstallation at most once each.
OperationMode ModeFor(const CommandLineArgs& args, const std::function<bool()>& isInstallation) {
  if (args.mode != INSTALLER) return args.mode;
  if (isInstallation()) return UPDATER;
  if (HoldsRecordFile(GetDefaultInstallFolder())) return UPDATER;
  return INSTALLER;
}

std::wstring InstallPathFor(const CommandLineArgs& args,
                            const std::function<bool()>& isInstallation) {
  // The service takes nothing from its command line but the switch.
  if (args.mode == SERVICE) return GetExecutableFolder();
  if (!args.installPath.empty()) return args.installPath;
  if (isInstallation()) return GetExecutableFolder();
  return GetDefaultInstallFolder();
}

// The install and "--update" take "--channel="; the other modes follow the
// channel that the installation keeps.
void ResolveChannel(const CommandLineArgs& args, Invocation& invocation) {
  const bool takesSwitch = invocation.mode == INSTALLER || invocation.mode == UPDATER;
  const std::wstring& folder =
      invocation.mode == INSTALLER ? invocation.newInstallFolder : invocation.installFolder;
  std::string channel = LoadChannel(folder);
  if (args.channelGiven && !takesSwitch) {
    Logger::Instance().Warn("--channel is taken by the install and --update only: ignored");
  } else if (args.channelGiven) {
    channel = WideToUtf8(args.channel);
    invocation.channelChosen = true;
    invocation.channelRefused = !channel.empty() && !IsValidChannelName(channel);
  }
  if (!invocation.channelRefused) invocation.server = ServerForChannel(invocation.server, channel);
}

}  // namespace

OperationMode GetOperationMode(const CommandLineArgs& args) {
  return ModeFor(args, ExecutableFolderIsInstallation);
}

std::wstring GetInstallPath(const CommandLineArgs& args) {
  return InstallPathFor(args, ExecutableFolderIsInstallation);
}

Invocation ResolveInvocation(const CommandLineArgs& args) {
  // Found out once, so that its warning is logged once.
  std::optional<bool> executableFolderIsInstallation;
  const auto isInstallation = [&executableFolderIsInstallation] {
    if (!executableFolderIsInstallation) {
      executableFolderIsInstallation = ExecutableFolderIsInstallation();
    }
    return *executableFolderIsInstallation;
  };
  Invocation invocation;
  invocation.mode = ModeFor(args, isInstallation);
  invocation.installFolder = InstallPathFor(args, isInstallation);
  invocation.newInstallFolder =
      args.installPath.empty() ? GetDefaultInstallFolder() : args.installPath;
  invocation.restart = args.restart;
  invocation.server = CompiledReleaseServer();
  ResolveChannel(args, invocation);
  return invocation;
}

}  // namespace zavex
