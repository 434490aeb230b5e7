#include "ui/progress_window.h"

#include <commctrl.h>
#include <shlobj.h>

#include "base/product.h"
#include "platform/file_system.h"

namespace zavex {
namespace {

constexpr int kWindowWidth = 500;
constexpr int kWindowHeight = 400;
constexpr int kHeaderHeight = 100;
constexpr int kAccentLineHeight = 2;
constexpr UINT kMarqueeStepMs = 30;
constexpr COLORREF kAccentColor = RGB(255, 127, 0);
constexpr COLORREF kTextColor = RGB(255, 255, 255);
// The labels show file names and folders: "&" in them is not a mnemonic.
constexpr DWORD kLabelStyle = WS_CHILD | WS_VISIBLE | SS_CENTER | SS_NOPREFIX;
constexpr DWORD kButtonStyle = WS_CHILD | WS_VISIBLE;
constexpr DWORD kWindowStyle = WS_POPUP | WS_BORDER | WS_DLGFRAME | WS_SYSMENU | WS_MINIMIZEBOX;

// The common controls and the theme library are not imported: a DLL the
// executable imports is searched beside it first (a planted one would run
// elevated). Their two functions come from the System32 copies at run time.
template <typename Function>
Function SystemFunction(const wchar_t* dll, const char* name) {
  HMODULE module = LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!module) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

void InitProgressBarClass() {
  using Init = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
  static const Init init = SystemFunction<Init>(L"comctl32.dll", "InitCommonControlsEx");
  INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
  if (init) init(&controls);
}

void DrawClassic(HWND control) {
  using SetTheme = HRESULT(WINAPI*)(HWND, LPCWSTR, LPCWSTR);
  static const SetTheme setTheme = SystemFunction<SetTheme>(L"uxtheme.dll", "SetWindowTheme");
  if (setTheme) setTheme(control, L" ", L" ");
}

struct Placement {
  bool shown = false;
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// Where each control goes on one page; actionText null keeps the old text.
struct PageLayout {
  Placement title;
  Placement status;
  Placement bar;
  Placement path;
  Placement browse;
  Placement action;
  Placement cancel;
  const wchar_t* actionText = nullptr;
};

Placement Shown(int x, int y, int width, int height) { return {true, x, y, width, height}; }

PageLayout LayoutFor(WindowMode mode, int w, int h) {
  const Placement leftButton = Shown(w / 2 - 130, h - 60, 120, 35);
  const Placement rightButton = Shown(w / 2 + 10, h - 60, 120, 35);
  const Placement centreButton = Shown((w - 120) / 2, h - 60, 120, 35);
  PageLayout page;
  switch (mode) {
    case Welcome:
      page.title = Shown(30, 120, w - 60, 30);
      page.status = Shown(30, 160, w - 60, 50);
      page.path = Shown(30, 230, w - 110, 28);
      page.browse = Shown(w - 70, 230, 40, 28);
      page.action = leftButton;
      page.cancel = rightButton;
      page.actionText = L"Instalar";
      break;
    case Installing:
    case Updating:
      page.title = Shown(30, 140, w - 60, 30);
      page.status = Shown(30, 180, w - 60, 30);
      page.bar = Shown(30, 230, w - 60, 25);
      page.cancel = centreButton;
      break;
    case InstallComplete:
    case UpdateComplete:
      page.title = Shown(30, 160, w - 60, 30);
      page.status = Shown(30, 200, w - 60, 50);
      page.action = centreButton;
      page.actionText = L"Concluir";
      break;
    case Checking:
      page.title = Shown(30, 160, w - 60, 30);
      page.status = Shown(30, 200, w - 60, 30);
      page.bar = Shown(30, 250, w - 60, 20);
      break;
    case UpdateAvailable:
      page.title = Shown(30, 120, w - 60, 30);
      page.status = Shown(30, 160, w - 60, 80);
      page.action = leftButton;
      page.cancel = rightButton;
      page.actionText = L"Atualizar";
      break;
    case Failed:
      page.title = Shown(30, 140, w - 60, 30);
      page.status = Shown(30, 180, w - 60, 80);
      page.action = centreButton;
      page.actionText = L"Fechar";
      break;
  }
  return page;
}

void Place(HWND control, const Placement& placement) {
  if (placement.shown) {
    SetWindowPos(control, nullptr, placement.x, placement.y, placement.width, placement.height,
                 SWP_NOZORDER);
  }
  ShowWindow(control, placement.shown ? SW_SHOW : SW_HIDE);
}

HGDIOBJ MakeFont(int height, int weight) {
  return CreateFontW(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                     DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI");
}

std::wstring TextOf(HWND control) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
  text.resize(static_cast<size_t>(
      GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
  return text;
}

void Call(const std::function<void()>& callback) {
  if (callback) callback();
}

bool IsAppMessage(UINT message) {
  return message == WM_APP_PROGRESS || message == WM_APP_OPERATION_DONE ||
         message == WM_APP_CHECK_DONE;
}

}  // namespace

std::wstring InstallFolderUnder(const std::wstring& chosenFolder) {
  const bool endsInSeparator = !chosenFolder.empty() && chosenFolder.back() == L'\\';
  return chosenFolder + (endsInSeparator ? L"" : L"\\") + kProductFolderName;
}

void RunMessageLoop() {
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

bool ProgressWindow::Create(HINSTANCE instance, const std::wstring& title) {
  hInstance = instance;
  headerText = title;
  InitProgressBarClass();
  if (!RegisterWindowClass()) return false;
  CreateResources();

  const int x = (GetSystemMetrics(SM_CXSCREEN) - kWindowWidth) / 2;
  const int y = (GetSystemMetrics(SM_CYSCREEN) - kWindowHeight) / 2;
  // WM_NCCREATE stores the window handle in hwnd.
  if (!CreateWindowExW(WS_EX_APPWINDOW, kWindowClassName, title.c_str(), kWindowStyle, x, y,
                       kWindowWidth, kWindowHeight, nullptr, nullptr, instance, this)) {
    return false;
  }
  CreateControls();
  ApplyLayout();
  return true;
}

bool ProgressWindow::RegisterWindowClass() const {
  WNDCLASSEXW windowClass = {};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = hInstance;
  windowClass.hIcon = LoadIconW(hInstance, MAKEINTRESOURCEW(1));
  windowClass.hIconSm = windowClass.hIcon;
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.lpszClassName = kWindowClassName;
  // An earlier window of this process registered it already.
  return RegisterClassExW(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

void ProgressWindow::CreateResources() {
  normalFont.reset(MakeFont(-14, FW_NORMAL));
  boldFont.reset(MakeFont(-14, FW_BOLD));
  headerFont.reset(MakeFont(-24, FW_BOLD));
  backgroundBrush.reset(CreateSolidBrush(RGB(30, 30, 30)));
  headerBrush.reset(CreateSolidBrush(RGB(50, 50, 50)));
}

HWND ProgressWindow::CreateControl(int id, const wchar_t* className, const wchar_t* text,
                                   DWORD style, DWORD exStyle, HGDIOBJ font) const {
  HWND control = CreateWindowExW(exStyle, className, text, style, 0, 0, 0, 0, hwnd,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), hInstance,
                                 nullptr);
  if (font) SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  return control;
}

void ProgressWindow::CreateControls() {
  titleLabel = CreateControl(IDC_TITLE_LABEL, L"STATIC", L"", kLabelStyle, 0, boldFont.get());
  statusLabel = CreateControl(IDC_STATUS_LABEL, L"STATIC", L"", kLabelStyle, 0, normalFont.get());
  pathEdit = CreateControl(IDC_PATH_EDIT, L"EDIT", L"",
                           WS_CHILD | WS_VISIBLE | ES_READONLY | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE,
                           normalFont.get());
  browseButton =
      CreateControl(IDC_BROWSE_BUTTON, L"BUTTON", L"...", kButtonStyle, 0, normalFont.get());
  progressBar = CreateControl(IDC_PROGRESS_BAR, PROGRESS_CLASSW, L"",
                              WS_CHILD | WS_VISIBLE | PBS_SMOOTH, 0, nullptr);
  actionButton =
      CreateControl(IDC_ACTION_BUTTON, L"BUTTON", L"Instalar", kButtonStyle, 0, boldFont.get());
  cancelButton =
      CreateControl(IDC_CANCEL_BUTTON, L"BUTTON", L"Cancelar", kButtonStyle, 0, normalFont.get());
  SendMessageW(progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
  // A themed bar ignores its colour: draw this one classic, in the accent.
  DrawClassic(progressBar);
  SendMessageW(progressBar, PBM_SETBARCOLOR, 0, kAccentColor);
}

void ProgressWindow::SetMode(WindowMode newMode) {
  mode = newMode;
  ApplyLayout();
}

void ProgressWindow::ApplyLayout() {
  RECT client = {};
  GetClientRect(hwnd, &client);
  const PageLayout page = LayoutFor(mode, client.right - client.left, client.bottom - client.top);
  Place(titleLabel, page.title);
  Place(statusLabel, page.status);
  Place(progressBar, page.bar);
  Place(pathEdit, page.path);
  Place(browseButton, page.browse);
  Place(actionButton, page.action);
  Place(cancelButton, page.cancel);
  if (page.actionText) {
    SetWindowTextW(actionButton, page.actionText);
    EnableWindow(actionButton, TRUE);
  }
  // Only the Checking page moves without a known position; elsewhere the bar
  // must show the percentage it is given.
  SetMarquee(mode == Checking);
  InvalidateRect(hwnd, nullptr, TRUE);
}

void ProgressWindow::SetMarquee(bool on) const {
  const LONG style = GetWindowLongW(progressBar, GWL_STYLE);
  const bool hasMarquee = (style & PBS_MARQUEE) != 0;
  if (on == hasMarquee) return;
  if (on) {
    SetWindowLongW(progressBar, GWL_STYLE, style | PBS_MARQUEE);
    SendMessageW(progressBar, PBM_SETMARQUEE, TRUE, kMarqueeStepMs);
  } else {
    SendMessageW(progressBar, PBM_SETMARQUEE, FALSE, 0);
    SetWindowLongW(progressBar, GWL_STYLE, style & ~PBS_MARQUEE);
  }
}

void ProgressWindow::SetTitle(const std::wstring& text) const {
  SetWindowTextW(titleLabel, text.c_str());
}

void ProgressWindow::SetStatus(const std::wstring& text) const {
  SetWindowTextW(statusLabel, text.c_str());
}

void ProgressWindow::SetFolder(const std::wstring& text) const {
  SetWindowTextW(pathEdit, text.c_str());
}

std::wstring ProgressWindow::GetFolder() const { return TextOf(pathEdit); }

void ProgressWindow::SetProgress(WPARAM percent) const {
  SendMessageW(progressBar, PBM_SETPOS, percent, 0);
}

void ProgressWindow::RequestClose() const { PostMessageW(hwnd, WM_CLOSE, 0, 0); }

LRESULT CALLBACK ProgressWindow::WindowProc(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam) {
  ProgressWindow* self = nullptr;
  if (message == WM_NCCREATE) {
    self = static_cast<ProgressWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    self->hwnd = window;
  } else {
    self = reinterpret_cast<ProgressWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  }
  if (!self) return DefWindowProcW(window, message, wParam, lParam);
  return self->HandleMessage(message, wParam, lParam);
}

LRESULT ProgressWindow::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (IsAppMessage(message)) {
    HandleAppMessage(message, wParam);
    return 0;
  }
  switch (message) {
    case WM_PAINT:
      Paint();
      return 0;
    case WM_CLOSE:
      ConfirmAndClose();
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case WM_COMMAND:
      HandleCommand(LOWORD(wParam));
      return 0;
    case WM_CTLCOLORSTATIC: {
      HDC context = reinterpret_cast<HDC>(wParam);
      SetTextColor(context, kTextColor);
      SetBkMode(context, TRANSPARENT);
      return reinterpret_cast<LRESULT>(backgroundBrush.get());
    }
    default:
      return DefWindowProcW(hwnd, message, wParam, lParam);
  }
}

void ProgressWindow::Paint() {
  PAINTSTRUCT paint;
  HDC context = BeginPaint(hwnd, &paint);
  RECT client = {};
  GetClientRect(hwnd, &client);
  FillRect(context, &client, static_cast<HBRUSH>(backgroundBrush.get()));
  const RECT header = {0, 0, client.right, kHeaderHeight};
  FillRect(context, &header, static_cast<HBRUSH>(headerBrush.get()));

  SetBkMode(context, TRANSPARENT);
  SetTextColor(context, kTextColor);
  HGDIOBJ previousFont = SelectObject(context, headerFont.get());
  RECT textArea = {20, 35, client.right - 20, 80};
  DrawTextW(context, headerText.c_str(), -1, &textArea, DT_SINGLELINE);
  SelectObject(context, previousFont);

  const UniqueGdiObject accentBrush(CreateSolidBrush(kAccentColor));
  const RECT accentLine = {0, kHeaderHeight - kAccentLineHeight, client.right, kHeaderHeight};
  FillRect(context, &accentLine, static_cast<HBRUSH>(accentBrush.get()));
  EndPaint(hwnd, &paint);
}

void ProgressWindow::HandleAppMessage(UINT message, WPARAM wParam) {
  if (!closingAfterOperation) {
    if (onAppMessage) onAppMessage(message, wParam);
  } else if (message == WM_APP_OPERATION_DONE) {
    DestroyWindow(hwnd);
  }
}

void ProgressWindow::ConfirmAndClose() {
  // A second close while the question is open waits for that answer, and one
  // after it waits for the operation.
  if (confirmingClose || closingAfterOperation) return;
  if (IsOperationPage()) {
    confirmingClose = true;
    const int answer = MessageBoxW(hwnd, L"Deseja cancelar a operação?", L"Confirmar",
                                   MB_YESNO | MB_ICONQUESTION);
    confirmingClose = false;
    if (answer != IDYES) return;
  }
  // The operation may have completed while the question was open.
  if (IsOperationPage()) {
    StopOperationThenClose();
  } else {
    DestroyWindow(hwnd);
  }
}

// Ending the process while the worker places files or writes the record
// would leave a broken installation, so the window stays until it completes.
void ProgressWindow::StopOperationThenClose() {
  closingAfterOperation = true;
  Call(onStopOperation);
  SetTitle(L"Cancelando...");
  EnableWindow(actionButton, FALSE);
  EnableWindow(cancelButton, FALSE);
}

void ProgressWindow::HandleCommand(int controlId) {
  switch (controlId) {
    case IDC_BROWSE_BUTTON:
      BrowseForFolder();
      break;
    case IDC_ACTION_BUTTON:
      Call(ActionCallback());
      break;
    case IDC_CANCEL_BUTTON:
      Call(onCancel);
      break;
    default:
      break;
  }
}

const std::function<void()>& ProgressWindow::ActionCallback() const {
  static const std::function<void()> none;
  switch (mode) {
    case Welcome:
      return onInstall;
    case UpdateAvailable:
      return onUpdate;
    case InstallComplete:
    case UpdateComplete:
    case Failed:
      return onFinish;
    default:
      return none;
  }
}

void ProgressWindow::BrowseForFolder() {
  BROWSEINFOW request = {};
  request.hwndOwner = hwnd;
  request.lpszTitle = L"Selecione o local de instalação";
  request.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
  PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&request);
  if (!chosen) return;
  wchar_t folder[kMaxPathChars] = {};
  if (SHGetPathFromIDListW(chosen, folder)) {
    const std::wstring installFolder = InstallFolderUnder(folder);
    SetFolder(installFolder);
    if (onPathChanged) onPathChanged(installFolder);
  }
  CoTaskMemFree(chosen);
}

}  // namespace zavex
