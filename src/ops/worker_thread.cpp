#include "ops/worker_thread.h"

#include <exception>
#include <thread>

#include "base/text_conversion.h"

namespace zavex {

void StartDetachedWorker(std::function<void()> body, const StartFailureCallback& onStartFailure) {
  try {
    std::thread([body = std::move(body)]() {
      try {
        body();
      } catch (...) {
        // A throwing callback must not end the process.
      }
    }).detach();
  } catch (const std::exception& failure) {
    // std::system_error from the thread itself, or std::bad_alloc for its state.
    onStartFailure(L"Falha ao iniciar a operação: " + Utf8ToWide(failure.what()));
  }
}

bool RunCatchingExceptions(const std::function<bool(std::wstring&)>& operation,
                           std::wstring& error) {
  try {
    return operation(error);
  } catch (const std::exception& exception) {
    error = Utf8ToWide(exception.what());
    return false;
  }
}

}  // namespace zavex
