#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "ops/operation_callbacks.h"

namespace zavex {

// What an install or update hands from its worker to the window's thread.
// Shared with the worker's callbacks, so it stays valid when the flow returns
// while the worker still runs.
struct OperationState {
  std::atomic<bool> started{false};
  std::atomic<bool> finished{false};
  std::atomic<bool> succeeded{false};
  std::wstring error;  // complete before WM_APP_OPERATION_DONE is posted
};

// bytesDone * 100 / bytesTotal in 64 bits; 0 without a total, never above 100.
WPARAM ProgressPercent(uint32_t bytesDone, uint32_t bytesTotal);

// Posts the percentage, writes titlePrefix and the text into the title label
// and "done / total" into the status label of window.
ProgressCallback MakeProgressReporter(HWND window, const std::wstring& titlePrefix);

// Stores the outcome in state, then posts WM_APP_OPERATION_DONE to window.
CompletionCallback MakeCompletionReporter(HWND window, std::shared_ptr<OperationState> state);

// Runs start (which starts a worker thread); false with the message when no
// thread could be started.
bool StartWorker(const std::function<void()>& start, std::wstring& error);

}  // namespace zavex
