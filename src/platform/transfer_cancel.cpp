#include "platform/transfer_cancel.h"

namespace zavex {

TransferCancel::TransferCancel() : event(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

void TransferCancel::Cancel() { SetEvent(event.get()); }

void TransferCancel::Reset() { ResetEvent(event.get()); }

bool TransferCancel::IsCancelled() const {
  return event && WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0;
}

}  // namespace zavex
