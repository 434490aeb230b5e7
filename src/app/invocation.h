#pragma once

#include <string>

#include "app/command_line.h"
#include "app/compiled_release_server.h"
#include "ops/release_server.h"

namespace zavex {

// What this run does, decided once at the entry from the command line, the
// machine and the build; the runners take it or the parts that they need.
struct Invocation {
  OperationMode mode = INSTALLER;
  // The service: the executable's folder. Otherwise "--path=", else the
  // executable's folder when it holds manifest.json and is this account's
  // registered installation or only administrators can change it, else the
  // default folder under Program Files. Never empty.
  std::wstring installFolder;
  // The folder that the installer offers: "--path=", else the default folder.
  std::wstring newInstallFolder;
  bool restart = false;
  // The compiled-in server, moved to the channel that the install and
  // "--update" name with "--channel=", else to the one that the folder keeps.
  ReleaseServer server;
  // "--channel=" named a channel for this mode to keep: valid when
  // channelRefused is false.
  bool channelChosen = false;
  bool channelRefused = false;
};

Invocation ResolveInvocation(const CommandLineArgs& args);

// The mode switch, or UPDATER when an installation is found for the installer.
OperationMode GetOperationMode(const CommandLineArgs& args);

// The installFolder rule of Invocation.
std::wstring GetInstallPath(const CommandLineArgs& args);

}  // namespace zavex
