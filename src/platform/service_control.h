#pragma once

#include <windows.h>

#include <string>

#include "platform/unique_handle.h"

namespace zavex {

// What the service manager keeps about one service.
struct ServiceDefinition {
  std::wstring name;
  std::wstring displayName;
  std::wstring description;
  std::wstring commandLine;  // the quoted executable and its switches
};

// Administrators and SYSTEM full control; interactive users may only start
// the service and read its status. Empty when it cannot be built.
UniqueLocalMemory ServiceDescriptor();

// Creates the service (its own process, LocalSystem, started on demand), or
// brings an existing one to the definition, then stores its description and
// ServiceDescriptor. True when all of it was stored.
bool RegisterService(const ServiceDefinition& definition);

// The command line the service manager starts the service with; empty when
// there is no such service or it cannot be read.
std::wstring ServiceCommandLine(const std::wstring& name);

// Asks the service to stop, waits up to kServiceStopWaitMs for it to report
// SERVICE_STOPPED, and only then deletes it. True when it is gone, or was
// never registered; false when it did not stop within the bound (it stays
// registered) or could not be deleted.
bool RemoveService(const std::wstring& name);

// A running service stops at its next safe point; an update's placing of
// files is never cut, and ends well within this.
inline constexpr DWORD kServiceStopWaitMs = 60000;

}  // namespace zavex
