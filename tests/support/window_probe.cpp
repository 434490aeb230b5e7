#include "support/window_probe.h"

#include <commctrl.h>

#include "support/process.h"

namespace zavex::test {
namespace {

constexpr int kProgressBarId = 1001;
constexpr DWORD kPollMs = 50;

struct DescendantQuery {
  const std::wstring* className;
  HWND found = nullptr;
};

BOOL CALLBACK MatchDescendant(HWND window, LPARAM param) {
  auto* query = reinterpret_cast<DescendantQuery*>(param);
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  if (_wcsicmp(name, query->className->c_str()) != 0) return TRUE;
  query->found = window;
  return FALSE;
}

}  // namespace

std::wstring ControlText(HWND window, int controlId) {
  return GetWindowTextOf(GetDlgItem(window, controlId));
}

bool IsControlShown(HWND window, int controlId) {
  return (ControlStyle(window, controlId) & WS_VISIBLE) != 0;
}

RECT ControlRect(HWND window, int controlId) {
  RECT rect = {};
  GetWindowRect(GetDlgItem(window, controlId), &rect);
  MapWindowPoints(HWND_DESKTOP, window, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

LONG ControlStyle(HWND window, int controlId) {
  return GetWindowLongW(GetDlgItem(window, controlId), GWL_STYLE);
}

bool ClickButton(HWND window, int controlId) {
  HWND button = GetDlgItem(window, controlId);
  return button && PostMessageW(button, BM_CLICK, 0, 0);
}

bool WaitForControlText(HWND window, int controlId, const std::wstring& text, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (ControlText(window, controlId) != text) {
    if (GetTickCount64() >= deadline) return false;
    Sleep(kPollMs);
  }
  return true;
}

int ProgressPosition(HWND window) {
  DWORD_PTR position = 0;
  SendMessageTimeoutW(GetDlgItem(window, kProgressBarId), PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG,
                      5000, &position);
  return static_cast<int>(position);
}

HWND FindDescendant(HWND parent, const std::wstring& className) {
  DescendantQuery query{&className};
  EnumChildWindows(parent, MatchDescendant, reinterpret_cast<LPARAM>(&query));
  return query.found;
}

HWND FindStandInWindow() { return FindWindowW(nullptr, L"Zavex Phone"); }

}  // namespace zavex::test
