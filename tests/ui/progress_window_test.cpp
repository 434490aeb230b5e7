#include "ui/progress_window.h"

#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "support/process.h"
#include "support/window_probe.h"

namespace zavex {
namespace {

using test::ControlRect;
using test::ControlText;
using test::IsControlShown;

constexpr int kControls[] = {IDC_TITLE_LABEL, IDC_STATUS_LABEL, IDC_PROGRESS_BAR, IDC_PATH_EDIT,
                             IDC_BROWSE_BUTTON, IDC_ACTION_BUTTON, IDC_CANCEL_BUTTON};

struct Box {
  int id;
  int x, y, width, height;
};

bool SameRect(const RECT& rect, const Box& box) {
  return rect.left == box.x && rect.top == box.y && rect.right - rect.left == box.width &&
         rect.bottom - rect.top == box.height;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  return name;
}

// Answers the next "Confirmar" box of this process from another thread.
class ConfirmAnswer {
 public:
  explicit ConfirmAnswer(int button, DWORD timeoutMs = 10000)
      : thread([this, button, timeoutMs] {
          HWND box = test::WaitForMessageBox(GetCurrentProcessId(), L"Confirmar", timeoutMs);
          text = box ? test::GetMessageBoxText(box) : L"";
          if (box) test::AnswerMessageBox(box, button);
        }) {}
  ~ConfirmAnswer() {
    if (thread.joinable()) thread.join();
  }
  std::wstring Text() {
    thread.join();
    return text;
  }

 private:
  std::wstring text;
  std::thread thread;
};

bool QuitMessagePending() {
  MSG message;
  return PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != 0;
}

void DispatchPending() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
}

class Window : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(window.Create(GetModuleHandleW(nullptr), L"Zavex Phone - Instalador"));
    hwnd = window.Handle();
    RECT client = {};
    GetClientRect(hwnd, &client);
    w = client.right;
    h = client.bottom;
  }
  void TearDown() override {
    if (IsWindow(hwnd)) DestroyWindow(hwnd);
    QuitMessagePending();
  }

  void ExpectPage(WindowMode mode, const std::vector<Box>& shown) {
    window.SetMode(mode);
    for (int id : kControls) {
      const Box* placed = nullptr;
      for (const Box& box : shown) placed = box.id == id ? &box : placed;
      EXPECT_EQ(IsControlShown(hwnd, id), placed != nullptr) << "mode " << mode << " control " << id;
      if (placed) {
        EXPECT_TRUE(SameRect(ControlRect(hwnd, id), *placed)) << "mode " << mode << " control " << id;
      }
    }
  }

  ProgressWindow window;
  HWND hwnd = nullptr;
  int w = 0;
  int h = 0;
};

TEST_F(Window, CreateBuildsAHiddenFixedFrameWithItsControls) {
  EXPECT_EQ(ClassOf(hwnd), L"ZAVEXUpdaterWindow");
  EXPECT_EQ(test::GetWindowTextOf(hwnd), L"Zavex Phone - Instalador");
  EXPECT_FALSE(IsWindowVisible(hwnd));
  const LONG style = GetWindowLongW(hwnd, GWL_STYLE);
  EXPECT_EQ(style & 0x80CA0000, 0x80CA0000);
  EXPECT_EQ(style & (WS_THICKFRAME | WS_MAXIMIZEBOX), 0);
  EXPECT_TRUE(GetWindowLongW(hwnd, GWL_EXSTYLE) & WS_EX_APPWINDOW);
  RECT outer = {};
  GetWindowRect(hwnd, &outer);
  EXPECT_EQ(outer.right - outer.left, 500);
  EXPECT_EQ(outer.bottom - outer.top, 400);
  EXPECT_EQ(outer.left, (GetSystemMetrics(SM_CXSCREEN) - 500) / 2);
  EXPECT_EQ(outer.top, (GetSystemMetrics(SM_CYSCREEN) - 400) / 2);
  EXPECT_EQ(window.GetMode(), Welcome);

  // Creation order is the z-order.
  const std::vector<std::pair<int, std::wstring>> expected = {
      {IDC_TITLE_LABEL, L"Static"},   {IDC_STATUS_LABEL, L"Static"},
      {IDC_PATH_EDIT, L"Edit"},       {IDC_BROWSE_BUTTON, L"Button"},
      {IDC_PROGRESS_BAR, L"msctls_progress32"}, {IDC_ACTION_BUTTON, L"Button"},
      {IDC_CANCEL_BUTTON, L"Button"}};
  HWND child = GetWindow(hwnd, GW_CHILD);
  for (const auto& [id, className] : expected) {
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(GetDlgCtrlID(child), id);
    EXPECT_EQ(_wcsicmp(ClassOf(child).c_str(), className.c_str()), 0) << id;
    EXPECT_EQ(GetWindowLongW(child, GWL_STYLE) & WS_TABSTOP, 0) << id;
    child = GetWindow(child, GW_HWNDNEXT);
  }
  // The labels show file names and folders: "R&D.dll" is no mnemonic.
  for (int label : {IDC_TITLE_LABEL, IDC_STATUS_LABEL}) {
    EXPECT_TRUE(test::ControlStyle(hwnd, label) & SS_NOPREFIX) << label;
  }
  EXPECT_EQ(ControlText(hwnd, IDC_BROWSE_BUTTON), L"...");
  EXPECT_EQ(ControlText(hwnd, IDC_ACTION_BUTTON), L"Instalar");
  EXPECT_EQ(ControlText(hwnd, IDC_CANCEL_BUTTON), L"Cancelar");
  EXPECT_TRUE(test::ControlStyle(hwnd, IDC_PATH_EDIT) & ES_READONLY);
  HWND bar = GetDlgItem(hwnd, IDC_PROGRESS_BAR);
  EXPECT_EQ(SendMessageW(bar, PBM_GETRANGE, FALSE, 0), 100);
  EXPECT_EQ(SendMessageW(bar, PBM_GETRANGE, TRUE, 0), 0);
  EXPECT_EQ(static_cast<COLORREF>(SendMessageW(bar, PBM_GETBARCOLOR, 0, 0)), RGB(255, 127, 0));
}

TEST_F(Window, EveryModePlacesItsControls) {
  const int left = w / 2 - 130, right = w / 2 + 10, centre = (w - 120) / 2, buttons = h - 60;
  ExpectPage(Checking, {{IDC_TITLE_LABEL, 30, 160, w - 60, 30},
                        {IDC_STATUS_LABEL, 30, 200, w - 60, 30},
                        {IDC_PROGRESS_BAR, 30, 250, w - 60, 20}});
  ExpectPage(Welcome, {{IDC_TITLE_LABEL, 30, 120, w - 60, 30},
                       {IDC_STATUS_LABEL, 30, 160, w - 60, 50},
                       {IDC_PATH_EDIT, 30, 230, w - 110, 28},
                       {IDC_BROWSE_BUTTON, w - 70, 230, 40, 28},
                       {IDC_ACTION_BUTTON, left, buttons, 120, 35},
                       {IDC_CANCEL_BUTTON, right, buttons, 120, 35}});
  for (WindowMode running : {Installing, Updating}) {
    ExpectPage(running, {{IDC_TITLE_LABEL, 30, 140, w - 60, 30},
                         {IDC_STATUS_LABEL, 30, 180, w - 60, 30},
                         {IDC_PROGRESS_BAR, 30, 230, w - 60, 25},
                         {IDC_CANCEL_BUTTON, centre, buttons, 120, 35}});
  }
  for (WindowMode done : {InstallComplete, UpdateComplete}) {
    ExpectPage(done, {{IDC_TITLE_LABEL, 30, 160, w - 60, 30},
                      {IDC_STATUS_LABEL, 30, 200, w - 60, 50},
                      {IDC_ACTION_BUTTON, centre, buttons, 120, 35}});
    EXPECT_EQ(ControlText(hwnd, IDC_ACTION_BUTTON), L"Concluir");
  }
  ExpectPage(UpdateAvailable, {{IDC_TITLE_LABEL, 30, 120, w - 60, 30},
                               {IDC_STATUS_LABEL, 30, 160, w - 60, 80},
                               {IDC_ACTION_BUTTON, left, buttons, 120, 35},
                               {IDC_CANCEL_BUTTON, right, buttons, 120, 35}});
  EXPECT_EQ(ControlText(hwnd, IDC_ACTION_BUTTON), L"Atualizar");
  ExpectPage(Failed, {{IDC_TITLE_LABEL, 30, 140, w - 60, 30},
                      {IDC_STATUS_LABEL, 30, 180, w - 60, 80},
                      {IDC_ACTION_BUTTON, centre, buttons, 120, 35}});
  EXPECT_EQ(ControlText(hwnd, IDC_ACTION_BUTTON), L"Fechar");
}

TEST_F(Window, LayoutsKeepTextsAndTheLastActionCaption) {
  window.SetTitle(L"título");
  window.SetStatus(L"linha 1\nlinha 2");
  window.SetMode(Installing);
  EXPECT_EQ(ControlText(hwnd, IDC_ACTION_BUTTON), L"Instalar");
  EXPECT_EQ(ControlText(hwnd, IDC_TITLE_LABEL), L"título");
  EXPECT_EQ(ControlText(hwnd, IDC_STATUS_LABEL), L"linha 1\nlinha 2");
  window.SetMode(Failed);
  EXPECT_EQ(ControlText(hwnd, IDC_ACTION_BUTTON), L"Fechar");
  window.SetMode(Updating);
  EXPECT_EQ(ControlText(hwnd, IDC_ACTION_BUTTON), L"Fechar");

  // The folder is read back whole, however long.
  std::wstring folder = L"C:";
  while (folder.size() < 400) folder += L"\\pasta";
  window.SetFolder(folder);
  EXPECT_EQ(window.GetFolder(), folder);
}

TEST_F(Window, MarqueeRunsOnlyOnTheCheckingPage) {
  window.SetMode(Checking);
  EXPECT_TRUE(test::ControlStyle(hwnd, IDC_PROGRESS_BAR) & PBS_MARQUEE);
  window.SetMode(Updating);
  EXPECT_FALSE(test::ControlStyle(hwnd, IDC_PROGRESS_BAR) & PBS_MARQUEE);
  window.SetProgress(0);
  EXPECT_EQ(test::ProgressPosition(hwnd), 0);
  window.SetProgress(100);
  EXPECT_EQ(test::ProgressPosition(hwnd), 100);
  window.SetProgress(37);
  EXPECT_EQ(test::ProgressPosition(hwnd), 37);
}

TEST_F(Window, ButtonsCallTheCallbackOfThePage) {
  std::vector<std::string> calls;
  window.onInstall = [&] { calls.push_back("install"); };
  window.onUpdate = [&] { calls.push_back("update"); };
  window.onCancel = [&] { calls.push_back("cancel"); };
  window.onFinish = [&] { calls.push_back("finish"); };
  const auto press = [&](int id) { SendMessageW(GetDlgItem(hwnd, id), BM_CLICK, 0, 0); };

  window.SetMode(Welcome);
  press(IDC_ACTION_BUTTON);
  press(IDC_CANCEL_BUTTON);
  window.SetMode(UpdateAvailable);
  press(IDC_ACTION_BUTTON);
  for (WindowMode mode : {InstallComplete, UpdateComplete, Failed}) {
    window.SetMode(mode);
    SendMessageW(hwnd, WM_COMMAND, IDC_ACTION_BUTTON, 0);
  }
  for (WindowMode mode : {Installing, Updating, Checking}) {
    window.SetMode(mode);
    SendMessageW(hwnd, WM_COMMAND, IDC_ACTION_BUTTON, 0);
    SendMessageW(hwnd, WM_COMMAND, IDC_CANCEL_BUTTON, 0);
  }
  EXPECT_EQ(calls, (std::vector<std::string>{"install", "cancel", "update", "finish", "finish",
                                             "finish", "cancel", "cancel", "cancel"}));

  ProgressWindow bare;  // no callbacks at all
  ASSERT_TRUE(bare.Create(GetModuleHandleW(nullptr), L"sem ações"));
  for (int id : {IDC_ACTION_BUTTON, IDC_CANCEL_BUTTON}) SendMessageW(bare.Handle(), WM_COMMAND, id, 0);
  DestroyWindow(bare.Handle());
}

TEST_F(Window, ApplicationMessagesReachTheOwnerWhicheverLoopDispatchesThem) {
  std::vector<std::pair<UINT, WPARAM>> received;
  window.onAppMessage = [&](UINT message, WPARAM wParam) { received.emplace_back(message, wParam); };
  PostMessageW(hwnd, WM_APP_PROGRESS, 42, 0);
  PostMessageW(hwnd, WM_APP_OPERATION_DONE, 1, 0);
  PostMessageW(hwnd, WM_APP_CHECK_DONE, 0, 0);
  PostMessageW(hwnd, WM_APP + 4, 9, 0);
  DispatchPending();
  EXPECT_EQ(received, (std::vector<std::pair<UINT, WPARAM>>{
                          {0x8001, 42}, {0x8002, 1}, {0x8003, 0}}));
}

TEST_F(Window, StaticTextsAreWhiteOnTheDarkBrush) {
  HDC context = CreateCompatibleDC(nullptr);
  const LRESULT brush = SendMessageW(hwnd, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(context),
                                     reinterpret_cast<LPARAM>(GetDlgItem(hwnd, IDC_TITLE_LABEL)));
  EXPECT_EQ(GetTextColor(context), RGB(255, 255, 255));
  EXPECT_EQ(GetBkMode(context), TRANSPARENT);
  LOGBRUSH colour = {};
  ASSERT_NE(brush, 0);
  GetObjectW(reinterpret_cast<HGDIOBJ>(brush), sizeof(colour), &colour);
  EXPECT_EQ(colour.lbColor, RGB(30, 30, 30));
  DeleteDC(context);
}

TEST_F(Window, CloseAsksOnlyWhileAnOperationRuns) {
  for (WindowMode running : {Installing, Updating}) {
    window.SetMode(running);
    ConfirmAnswer no(IDNO);
    SendMessageW(hwnd, WM_CLOSE, 0, 0);
    EXPECT_EQ(no.Text(), L"Deseja cancelar a operação?");
    EXPECT_TRUE(IsWindow(hwnd));
    EXPECT_FALSE(QuitMessagePending());
  }
  int stopRequests = 0;
  window.onStopOperation = [&] { ++stopRequests; };
  std::vector<UINT> forwarded;
  window.onAppMessage = [&](UINT message, WPARAM) { forwarded.push_back(message); };
  {
    ConfirmAnswer yes(IDYES);
    SendMessageW(hwnd, WM_CLOSE, 0, 0);
  }
  // Yes asks the operation to stop and waits for its completion.
  EXPECT_EQ(stopRequests, 1);
  EXPECT_TRUE(IsWindow(hwnd));
  EXPECT_EQ(ControlText(hwnd, IDC_TITLE_LABEL), L"Cancelando...");
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(hwnd, IDC_CANCEL_BUTTON)));
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(hwnd, IDC_ACTION_BUTTON)));
  {
    ConfirmAnswer none(IDYES, 1000);
    SendMessageW(hwnd, WM_CLOSE, 0, 0);
    EXPECT_EQ(none.Text(), L"");  // no second question
  }
  SendMessageW(hwnd, WM_APP_PROGRESS, 50, 0);
  EXPECT_TRUE(IsWindow(hwnd));
  EXPECT_FALSE(QuitMessagePending());
  SendMessageW(hwnd, WM_APP_OPERATION_DONE, 0, 0);
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_TRUE(QuitMessagePending());
  EXPECT_EQ(stopRequests, 1);
  EXPECT_TRUE(forwarded.empty());
  EXPECT_TRUE(window.ClosedDuringOperation());

  // The class stays registered: further windows open on it, and every page
  // but the two running ones closes at once.
  for (WindowMode mode : {Welcome, InstallComplete, Checking, UpdateAvailable, UpdateComplete, Failed}) {
    ProgressWindow next;
    ASSERT_TRUE(next.Create(GetModuleHandleW(nullptr), L"Zavex Phone - Atualizador"));
    next.SetMode(mode);
    SendMessageW(next.Handle(), WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(next.Handle())) << mode;
    EXPECT_TRUE(QuitMessagePending()) << mode;
  }
}

TEST_F(Window, YesAfterTheOperationCompletedUnderTheQuestionClosesAtOnce) {
  window.SetMode(Installing);
  window.onAppMessage = [&](UINT message, WPARAM) {
    if (message == WM_APP_OPERATION_DONE) window.SetMode(Failed);
  };
  std::thread answer([this] {
    HWND box = test::WaitForMessageBox(GetCurrentProcessId(), L"Confirmar", 10000);
    PostMessageW(hwnd, WM_APP_OPERATION_DONE, 0, 0);
    // The question's own loop shows the result page.
    for (int wait = 0; wait < 500 && !IsControlShown(hwnd, IDC_ACTION_BUTTON); ++wait) Sleep(10);
    if (box) test::AnswerMessageBox(box, IDYES);
  });
  SendMessageW(hwnd, WM_CLOSE, 0, 0);
  answer.join();
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_FALSE(window.ClosedDuringOperation());
}

TEST(InstallFolderUnder, AppendsTheApplicationFolderOnce) {
  EXPECT_EQ(InstallFolderUnder(L"C:\\Apps"), L"C:\\Apps\\ZavexPhone");
  EXPECT_EQ(InstallFolderUnder(L"C:\\Apps\\ZavexPhone"), L"C:\\Apps\\ZavexPhone\\ZavexPhone");
  EXPECT_EQ(InstallFolderUnder(L"D:\\"), L"D:\\ZavexPhone");
}

}  // namespace
}  // namespace zavex
