#pragma once

#include <initializer_list>

namespace zavex {

// Limits every later DLL search of the process, delay loads included, to
// System32, then loads each of preloadedDlls from there. Wine's builtin DLLs
// still search the executable's folder for their own delay loads (WinHTTP's
// first request loads crypt32, which loads bcrypt) but take a DLL that is
// already loaded. False when a step failed; the rest is still done.
bool RestrictDllSearchToSystem32(std::initializer_list<const wchar_t*> preloadedDlls);

}  // namespace zavex
