#pragma once

#include <windows.h>

#include "platform/unique_handle.h"

namespace zavex {

// The cancel of one operation, set from any thread. Each transfer waits for
// its network steps together with this event, so a cancel ends a transfer at
// once, also one that waits on a silent server.
class TransferCancel {
 public:
  TransferCancel();
  TransferCancel(const TransferCancel&) = delete;
  TransferCancel& operator=(const TransferCancel&) = delete;

  void Cancel();
  // Clears the cancel before the operation starts again.
  void Reset();
  bool IsCancelled() const;
  // Signalled while cancelled; null when it could not be created.
  HANDLE Event() const { return event.get(); }

 private:
  UniqueKernelHandle event;
};

}  // namespace zavex
