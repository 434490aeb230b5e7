#include "ops/arriving_file.h"

namespace zavex {

void ArrivingFile::Report(uint64_t bytes) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mutex);
    rewritten = rewritten || bytes < held;
    held = bytes;
    wake = rewritten || held >= awaited;
  }
  if (wake) changed.notify_all();
}

void ArrivingFile::End() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    ended = true;
  }
  changed.notify_all();
}

bool ArrivingFile::WaitFor(uint64_t end) {
  std::unique_lock<std::mutex> lock(mutex);
  awaited = end;
  changed.wait(lock, [&] { return rewritten || ended || held >= end; });
  awaited = UINT64_MAX;
  return !rewritten && held >= end;
}

bool ArrivingFile::Rewritten() {
  std::lock_guard<std::mutex> lock(mutex);
  return rewritten;
}

}  // namespace zavex
