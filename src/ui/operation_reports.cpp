#include "ui/operation_reports.h"

#include "base/text_conversion.h"
#include "formats/format_size.h"
#include "ui/progress_window.h"

namespace zavex {

WPARAM ProgressPercent(uint32_t bytesDone, uint32_t bytesTotal) {
  if (bytesTotal == 0) return 0;
  const uint64_t percent = static_cast<uint64_t>(bytesDone) * 100 / bytesTotal;
  // A file larger than its manifest entry must not push the bar past its end.
  return static_cast<WPARAM>(percent > 100 ? 100 : percent);
}

ProgressCallback MakeProgressReporter(HWND window, const std::wstring& titlePrefix,
                                      std::shared_ptr<ProgressSlot> slot) {
  return [window, titlePrefix, slot](int, int, uint32_t bytesDone, uint32_t bytesTotal,
                                     const std::wstring& text) {
    const WPARAM percent = ProgressPercent(bytesDone, bytesTotal);
    std::wstring status = FormatSize(bytesDone) + L" / " + FormatSize(bytesTotal);
    const ULONGLONG now = GetTickCount64();
    bool post = false;
    {
      std::lock_guard<std::mutex> lock(slot->mutex);
      slot->percent = percent;
      slot->title.assign(titlePrefix).append(text);
      slot->status = std::move(status);
      post = !slot->posted &&
             (text != slot->postedText || now - slot->postedAt >= kProgressRepostMs);
      if (post) {
        slot->posted = true;
        slot->postedText = text;
        slot->postedAt = now;
      }
    }
    if (post && !PostMessageW(window, WM_APP_PROGRESS, percent, 0)) {
      std::lock_guard<std::mutex> lock(slot->mutex);
      slot->posted = false;
    }
  };
}

void ShowLatestProgress(const ProgressWindow& window, ProgressSlot& slot) {
  WPARAM percent = 0;
  std::wstring title;
  std::wstring status;
  {
    std::lock_guard<std::mutex> lock(slot.mutex);
    slot.posted = false;
    percent = slot.percent;
    title = slot.title;
    status = slot.status;
  }
  window.SetProgress(percent);
  window.SetTitle(title);
  window.SetStatus(status);
}

CompletionCallback MakeCompletionReporter(HWND window, std::shared_ptr<OperationState> state) {
  return [window, state](bool success, const std::wstring& error) {
    state->error = error;
    state->succeeded.store(success);
    state->started.store(false);
    state->finished.store(true);
    PostMessageW(window, WM_APP_OPERATION_DONE, success ? 1 : 0, 0);
  };
}

}  // namespace zavex
