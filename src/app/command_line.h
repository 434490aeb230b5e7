#pragma once

#include <string>

namespace zavex {

enum OperationMode {
  INSTALLER = 0,
  UPDATER = 1,
  UNINSTALLER = 2,
  SILENT_CHECK = 3,
  SILENT_UPDATE = 4,
  SELF_UPDATE = 5,
  SERVICE = 6,
};

struct CommandLineArgs {
  OperationMode mode = INSTALLER;
  std::wstring installPath;
  bool restart = false;
  // "--channel=": given, and its value up to the first blank (empty: the
  // default channel).
  bool channelGiven = false;
  std::wstring channel;
};

// Finds the switches anywhere in text (null counts as empty); never fails.
CommandLineArgs ParseCommandLine(const wchar_t* text);

// The log name of a mode ("INSTALLER" ... "SERVICE"), or "UNKNOWN".
const char* OperationModeName(OperationMode mode);

}  // namespace zavex
