#include "platform/com_apartment.h"

#include <windows.h>
#include <objbase.h>

namespace zavex {

ComApartment::ComApartment()
    : initialized(
          SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))) {}

ComApartment::~ComApartment() {
  if (initialized) CoUninitialize();
}

}  // namespace zavex
