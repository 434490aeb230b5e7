#pragma once

#include <windows.h>

#include <string>

namespace zavex::test {

// Reading and driving a window of another process (or of this one) through
// its child controls, found by their identifiers.

inline constexpr wchar_t kUpdaterWindowClass[] = L"ZAVEXUpdaterWindow";

std::wstring ControlText(HWND window, int controlId);
// The control's WS_VISIBLE bit, whether or not its parent is shown.
bool IsControlShown(HWND window, int controlId);
// The control's rectangle in the client coordinates of window.
RECT ControlRect(HWND window, int controlId);
LONG ControlStyle(HWND window, int controlId);

// Posts BM_CLICK, so a click that opens a modal box does not block the caller.
bool ClickButton(HWND window, int controlId);
bool WaitForControlText(HWND window, int controlId, const std::wstring& text,
                        DWORD timeoutMs = 20000);

// The position of the progress bar (control 1001).
int ProgressPosition(HWND window);

// The first descendant of parent with that window class, or null.
HWND FindDescendant(HWND parent, const std::wstring& className);

// The top-level window titled "Zavex Phone" of the stand-in application.
HWND FindStandInWindow();

}  // namespace zavex::test
