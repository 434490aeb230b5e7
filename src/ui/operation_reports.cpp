#include "ui/operation_reports.h"

#include <system_error>

#include "app/text_conversion.h"
#include "formats/format_size.h"
#include "ui/progress_window.h"

namespace zavex {

WPARAM ProgressPercent(uint32_t bytesDone, uint32_t bytesTotal) {
  if (bytesTotal == 0) return 0;
  const uint64_t percent = static_cast<uint64_t>(bytesDone) * 100 / bytesTotal;
  // A file larger than its manifest entry must not push the bar past its end.
  return static_cast<WPARAM>(percent > 100 ? 100 : percent);
}

ProgressCallback MakeProgressReporter(HWND window, const std::wstring& titlePrefix) {
  return [window, titlePrefix](int, int, uint32_t bytesDone, uint32_t bytesTotal,
                               const std::wstring& text) {
    PostMessageW(window, WM_APP_PROGRESS, ProgressPercent(bytesDone, bytesTotal), 0);
    SetControlText(window, IDC_TITLE_LABEL, titlePrefix + text);
    SetControlText(window, IDC_STATUS_LABEL, FormatSize(bytesDone) + L" / " + FormatSize(bytesTotal));
  };
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

bool StartWorker(const std::function<void()>& start, std::wstring& error) {
  try {
    start();
    return true;
  } catch (const std::system_error& failure) {
    error = Utf8ToWide(failure.what());
    return false;
  }
}

}  // namespace zavex
