#include "platform/transfer_cancel.h"

namespace zavex {

TransferCancel::TransferCancel() : event(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

void TransferCancel::Cancel() {
  cancelled.store(true);
  SetEvent(event.get());
}

void TransferCancel::Reset() {
  cancelled.store(false);
  ResetEvent(event.get());
}

}  // namespace zavex
