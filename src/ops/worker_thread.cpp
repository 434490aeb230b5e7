#include "ops/worker_thread.h"

#include <exception>
#include <thread>

#include "app/text_conversion.h"

namespace zavex {

void StartDetachedWorker(std::function<void()> body) {
  std::thread([body = std::move(body)]() {
    try {
      body();
    } catch (...) {
      // A throwing callback must not end the process.
    }
  }).detach();
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
