#pragma once

#include <windows.h>

#include <atomic>

#include "platform/unique_handle.h"

namespace zavex {

// The cancel of one operation, set from any thread. A transfer that waits for
// a network step looks at it at least every 50 ms, so a cancel ends it soon,
// also one that waits on a silent server.
class TransferCancel {
 public:
  TransferCancel();
  TransferCancel(const TransferCancel&) = delete;
  TransferCancel& operator=(const TransferCancel&) = delete;

  void Cancel();
  // Clears the cancel before the operation starts again.
  void Reset();
  // Reads a flag; no system call.
  bool IsCancelled() const { return cancelled.load(); }
  // Signalled while cancelled, for waits on other objects as well; null when
  // it could not be created.
  HANDLE Event() const { return event.get(); }

 private:
  UniqueKernelHandle event;
  std::atomic<bool> cancelled{false};
};

}  // namespace zavex
