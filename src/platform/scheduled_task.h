#pragma once

#include <string>

namespace zavex {

// A task that starts one program through Task Scheduler 2.0.
struct ScheduledTaskDefinition {
  std::wstring name;         // in the scheduler's root folder
  std::wstring description;
  std::wstring command;      // the program's full path
  std::wstring arguments;
};

// The task in Task Scheduler 2.0's XML: run as SYSTEM (S-1-5-18) at every
// user's logon and every 6 hours with a random delay of up to 1 hour, one
// instance at a time, on batteries too, for at most 5 minutes.
std::wstring ScheduledTaskXml(const ScheduledTaskDefinition& definition);

// Registers the task, or replaces the one of that name, through the COM
// interface, in a ComApartment. True when it was registered.
bool RegisterScheduledTask(const ScheduledTaskDefinition& definition);

// True when the task is gone or was never registered.
bool RemoveScheduledTask(const std::wstring& name);

}  // namespace zavex
