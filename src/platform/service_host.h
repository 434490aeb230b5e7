#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace zavex {

// What a service does once started: it receives the start arguments (the
// service's name left out) and a flag that a stop sets, and returns its
// service-specific exit code.
using ServiceBody = std::function<DWORD(const std::vector<std::wstring>& startArguments,
                                        const std::atomic<bool>& stopRequested)>;

// Connects this process to the service manager as the service name and runs
// body on the service's thread, reporting SERVICE_START_PENDING,
// SERVICE_RUNNING, SERVICE_STOP_PENDING and SERVICE_STOPPED, the last with
// body's result as the service-specific exit code. While it runs, a stop is
// accepted: reported at once as SERVICE_STOP_PENDING, it sets the flag, and
// body ends when it sees fit. False when the service manager did not start
// this process, or body never ran.
bool RunAsService(const std::wstring& name, ServiceBody body);

}  // namespace zavex
