#include "ops/uninstall.h"

namespace zavex {

bool Uninstall(const std::wstring&, std::wstring& error) {
  error = L"Desinstalação indisponível";
  return false;
}

}  // namespace zavex
