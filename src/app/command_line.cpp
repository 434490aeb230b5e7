#include "app/command_line.h"

#include <cwchar>

namespace zavex {
namespace {

bool Contains(const std::wstring& text, const wchar_t* needle) {
  return text.find(needle) != std::wstring::npos;
}

// The "--path=" value: quoted up to the closing quote, otherwise up to the
// first blank. An unclosed quote or an empty value leaves the path unset.
std::wstring ParsePathValue(const std::wstring& text) {
  const std::wstring key = L"--path=";
  const size_t found = text.find(key);
  if (found == std::wstring::npos) return {};
  const size_t start = found + key.size();
  if (start < text.size() && text[start] == L'"') {
    const size_t close = text.find(L'"', start + 1);
    if (close == std::wstring::npos) return {};
    return text.substr(start + 1, close - start - 1);
  }
  const size_t end = text.find(L' ', start);
  return text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
}

// The value after key up to the first blank; false when key is absent.
bool ParseUnquotedValue(const std::wstring& text, const wchar_t* key, std::wstring& value) {
  const size_t found = text.find(key);
  if (found == std::wstring::npos) return false;
  const size_t start = found + std::wcslen(key);
  value = text.substr(start, text.find(L' ', start) - start);
  return true;
}

}  // namespace

CommandLineArgs ParseCommandLine(const wchar_t* text) {
  const std::wstring line = text ? text : L"";
  CommandLineArgs args;
  if (Contains(line, L"--install")) args.mode = INSTALLER;
  if (Contains(line, L"--update")) args.mode = UPDATER;
  if (Contains(line, L"--uninstall")) args.mode = UNINSTALLER;
  if (Contains(line, L"--check")) args.mode = SILENT_CHECK;
  if (Contains(line, L"--silent") && args.mode != SILENT_CHECK) args.mode = SILENT_UPDATE;
  if (Contains(line, L"--self-update")) args.mode = SELF_UPDATE;
  if (Contains(line, L"--service")) args.mode = SERVICE;
  if (Contains(line, L"--restart")) args.restart = true;
  args.installPath = ParsePathValue(line);
  args.channelGiven = ParseUnquotedValue(line, L"--channel=", args.channel);
  return args;
}

const char* OperationModeName(OperationMode mode) {
  switch (mode) {
    case INSTALLER: return "INSTALLER";
    case UPDATER: return "UPDATER";
    case UNINSTALLER: return "UNINSTALLER";
    case SILENT_CHECK: return "SILENT_CHECK";
    case SILENT_UPDATE: return "SILENT_UPDATE";
    case SELF_UPDATE: return "SELF_UPDATE";
    case SERVICE: return "SERVICE";
  }
  return "UNKNOWN";
}

}  // namespace zavex
