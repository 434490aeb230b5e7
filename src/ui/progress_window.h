#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "platform/unique_handle.h"

namespace zavex {

// The page the window shows.
enum WindowMode {
  Welcome = 0,
  Installing = 1,
  InstallComplete = 2,
  Checking = 3,
  UpdateAvailable = 4,
  Updating = 5,
  UpdateComplete = 6,
  Failed = 7,
};

constexpr int IDC_PROGRESS_BAR = 1001;
constexpr int IDC_TITLE_LABEL = 1002;
constexpr int IDC_BROWSE_BUTTON = 1003;
constexpr int IDC_PATH_EDIT = 1004;
constexpr int IDC_ACTION_BUTTON = 1005;
constexpr int IDC_CANCEL_BUTTON = 1006;
constexpr int IDC_STATUS_LABEL = 1007;

// Posted by the operations' callbacks from their worker threads.
constexpr UINT WM_APP_PROGRESS = WM_APP + 1;        // wParam: percent, 0 to 100
constexpr UINT WM_APP_OPERATION_DONE = WM_APP + 2;  // wParam: 1 succeeded, 0 failed
constexpr UINT WM_APP_CHECK_DONE = WM_APP + 3;      // wParam: 1 update available, else 0

inline constexpr wchar_t kWindowClassName[] = L"ZAVEXUpdaterWindow";

// The one window of the program: a dark 500x400 frame whose pages are the
// WindowModes. It knows nothing of the operations; its buttons call the
// callbacks that the owner assigns, and the owner writes the texts.
class ProgressWindow {
 public:
  ProgressWindow() = default;
  ~ProgressWindow() = default;
  ProgressWindow(const ProgressWindow&) = delete;
  ProgressWindow& operator=(const ProgressWindow&) = delete;

  // Builds the window hidden, on the Welcome page. False when the class cannot
  // be registered or the window cannot be created.
  bool Create(HINSTANCE instance, const std::wstring& title);
  void SetMode(WindowMode newMode);
  WindowMode GetMode() const { return mode; }

  HWND Handle() const { return hwnd; }
  void SetTitle(const std::wstring& text) const;
  void SetStatus(const std::wstring& text) const;
  void SetFolder(const std::wstring& text) const;
  std::wstring GetFolder() const;
  void SetProgress(WPARAM percent) const;
  // Posts WM_CLOSE, which asks first while an operation runs.
  void RequestClose() const;
  // True once a close was confirmed while an operation ran: the window then
  // waited for the operation's completion before it closed.
  bool ClosedDuringOperation() const { return closingAfterOperation; }

  std::function<void()> onInstall;
  std::function<void()> onUpdate;
  std::function<void()> onCancel;
  std::function<void()> onFinish;
  std::function<void(const std::wstring& folder)> onPathChanged;
  // The WM_APP_* messages, from whichever message loop dispatches them.
  std::function<void(UINT message, WPARAM wParam)> onAppMessage;
  // A close was confirmed while an operation runs: the owner asks it to stop.
  // The window shows "Cancelando..." and closes at WM_APP_OPERATION_DONE.
  std::function<void()> onStopOperation;

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

  bool RegisterWindowClass() const;
  void CreateResources();
  void CreateControls();
  HWND CreateControl(int id, const wchar_t* className, const wchar_t* text, DWORD style,
                     DWORD exStyle, HGDIOBJ font) const;
  void ApplyLayout();
  void SetMarquee(bool on) const;
  void Paint();
  bool IsOperationPage() const { return mode == Installing || mode == Updating; }
  void ConfirmAndClose();
  void StopOperationThenClose();
  void HandleAppMessage(UINT message, WPARAM wParam);
  void HandleCommand(int controlId);
  // The action button's callback on the current page; empty where it has none.
  const std::function<void()>& ActionCallback() const;
  void BrowseForFolder();

  HWND hwnd = nullptr;
  HINSTANCE hInstance = nullptr;
  WindowMode mode = Welcome;
  HWND progressBar = nullptr;
  HWND titleLabel = nullptr;
  HWND statusLabel = nullptr;
  HWND pathEdit = nullptr;
  HWND browseButton = nullptr;
  HWND actionButton = nullptr;
  HWND cancelButton = nullptr;
  UniqueGdiObject normalFont;
  UniqueGdiObject boldFont;
  UniqueGdiObject headerFont;
  UniqueGdiObject backgroundBrush;
  UniqueGdiObject headerBrush;
  std::wstring headerText;
  bool confirmingClose = false;
  bool closingAfterOperation = false;
};

// "\ZavexPhone" appended to a folder chosen in the browse dialog, without
// doubling the separator of a drive root.
std::wstring InstallFolderUnder(const std::wstring& chosenFolder);

// Dispatches this thread's messages until WM_QUIT arrives.
void RunMessageLoop();

}  // namespace zavex
