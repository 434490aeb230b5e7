#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
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

class ProgressWindow;

// Shortest time between two posts of reports with the same text.
inline constexpr ULONGLONG kProgressRepostMs = 50;

// The latest progress report of a worker, waiting to be shown. Each report
// replaces the one before, and the window's thread shows whatever is there
// when it handles WM_APP_PROGRESS, so reports that come faster than the
// window can draw them do not queue up or hold the worker.
struct ProgressSlot {
  std::mutex mutex;
  WPARAM percent = 0;
  std::wstring title;
  std::wstring status;
  bool posted = false;  // a WM_APP_PROGRESS is on its way
  std::wstring postedText;  // the text of the last report posted
  ULONGLONG postedAt = 0;   // GetTickCount64 of that post
};

// Stores the percentage, titlePrefix and the text, and "done / total" in
// slot. Posts WM_APP_PROGRESS to window when none is pending and the text
// changed or kProgressRepostMs passed since the last post; a report not
// posted is shown by the next post, which the next report or the end brings.
ProgressCallback MakeProgressReporter(HWND window, const std::wstring& titlePrefix,
                                      std::shared_ptr<ProgressSlot> slot);

// For WM_APP_PROGRESS, on the window's thread: shows the slot's latest report
// in the bar and the two labels.
void ShowLatestProgress(const ProgressWindow& window, ProgressSlot& slot);

// Stores the outcome in state, then posts WM_APP_OPERATION_DONE to window.
CompletionCallback MakeCompletionReporter(HWND window, std::shared_ptr<OperationState> state);

}  // namespace zavex
