#include "ui/operation_reports.h"

#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/window_probe.h"
#include "ui/progress_window.h"

namespace zavex {
namespace {

TEST(ProgressPercent, StaysBetweenZeroAndHundredForAnySize) {
  EXPECT_EQ(ProgressPercent(0, 0), 0u);
  EXPECT_EQ(ProgressPercent(5, 0), 0u);
  EXPECT_EQ(ProgressPercent(0, 100), 0u);
  EXPECT_EQ(ProgressPercent(50, 100), 50u);
  EXPECT_EQ(ProgressPercent(100, 100), 100u);
  // Beyond 42,949,672 bytes the product no longer fits in 32 bits.
  EXPECT_EQ(ProgressPercent(42949673, 42949673), 100u);
  EXPECT_EQ(ProgressPercent(42949673, 85899346), 50u);
  EXPECT_EQ(ProgressPercent(4294967295u, 4294967295u), 100u);
  EXPECT_EQ(ProgressPercent(1, 3), 33u);
  // More bytes than the manifest announced.
  EXPECT_EQ(ProgressPercent(250, 100), 100u);
}

class Reports : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(window.Create(GetModuleHandleW(nullptr), L"t")); }
  void TearDown() override {
    DestroyWindow(window.Handle());
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    }
  }
  // Runs report on a worker while this thread serves the window, as in the flows.
  void OnWorker(const std::function<void()>& report) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
      report();
      done = true;
    });
    MSG message;
    while (!done) {
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_SENDMESSAGE);
      PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);  // serves sent messages
    }
    worker.join();
  }
  // The next application message posted to the window, or 0.
  UINT NextPosted(WPARAM& wParam) {
    MSG message;
    if (!PeekMessageW(&message, window.Handle(), WM_APP_PROGRESS, WM_APP_CHECK_DONE, PM_REMOVE)) return 0;
    wParam = message.wParam;
    return message.message;
  }

  ProgressWindow window;
};

TEST_F(Reports, ProgressShowsPrefixTextAndSizesAndPostsThePercentage) {
  const auto slot = std::make_shared<ProgressSlot>();
  const ProgressCallback report = MakeProgressReporter(window.Handle(), L"Baixando: ", slot);
  WPARAM percent = 99;
  OnWorker([&] { report(0, 0, 0, 0, L"Baixando lista de arquivos..."); });
  EXPECT_EQ(NextPosted(percent), WM_APP_PROGRESS);
  EXPECT_EQ(percent, 0u);
  ShowLatestProgress(window, *slot);
  EXPECT_EQ(test::ControlText(window.Handle(), IDC_TITLE_LABEL),
            L"Baixando: Baixando lista de arquivos...");
  EXPECT_EQ(test::ControlText(window.Handle(), IDC_STATUS_LABEL), L"0 B / 0 B");

  OnWorker([&] { report(1, 2, 1536, 3 * 1048576, L"bin/zavexphone.exe"); });
  EXPECT_EQ(NextPosted(percent), WM_APP_PROGRESS);
  EXPECT_EQ(percent, 0u);
  ShowLatestProgress(window, *slot);
  EXPECT_EQ(test::ControlText(window.Handle(), IDC_TITLE_LABEL), L"Baixando: bin/zavexphone.exe");
  EXPECT_EQ(test::ControlText(window.Handle(), IDC_STATUS_LABEL), L"1.5 KB / 3.0 MB");

  OnWorker([&] { report(2, 2, 50000000, 50000000, L"Criando atalhos..."); });
  EXPECT_EQ(NextPosted(percent), WM_APP_PROGRESS);
  EXPECT_EQ(percent, 100u);
  ShowLatestProgress(window, *slot);
  EXPECT_EQ(SendMessageW(GetDlgItem(window.Handle(), IDC_PROGRESS_BAR), PBM_GETPOS, 0, 0), 100);
}

TEST_F(Reports, ReportsWhileOneIsPendingReplaceItInsteadOfQueueing) {
  const auto slot = std::make_shared<ProgressSlot>();
  const ProgressCallback report = MakeProgressReporter(window.Handle(), L"Atualizando: ", slot);
  OnWorker([&] {
    report(0, 3, 0, 300, L"a.dll");
    report(0, 3, 50, 300, L"a.dll");
    report(1, 3, 100, 300, L"b.dll");
  });
  WPARAM percent = 99;
  EXPECT_EQ(NextPosted(percent), WM_APP_PROGRESS);
  EXPECT_EQ(percent, 0u);
  EXPECT_EQ(NextPosted(percent), 0u);
  ShowLatestProgress(window, *slot);
  EXPECT_EQ(test::ControlText(window.Handle(), IDC_TITLE_LABEL), L"Atualizando: b.dll");
  EXPECT_EQ(test::ControlText(window.Handle(), IDC_STATUS_LABEL), L"100 B / 300 B");

  // Once shown, a report with another text is posted at once.
  OnWorker([&] { report(2, 3, 200, 300, L"c.dll"); });
  EXPECT_EQ(NextPosted(percent), WM_APP_PROGRESS);
  EXPECT_EQ(percent, 66u);
}

TEST_F(Reports, CompletionStoresTheOutcomeBeforeItPosts) {
  const auto state = std::make_shared<OperationState>();
  state->started = true;
  const CompletionCallback complete = MakeCompletionReporter(window.Handle(), state);
  WPARAM success = 7;
  OnWorker([&] { complete(false, L"Falha ao baixar: a.dll"); });
  EXPECT_TRUE(state->finished);
  EXPECT_FALSE(state->started);
  EXPECT_FALSE(state->succeeded);
  EXPECT_EQ(state->error, L"Falha ao baixar: a.dll");
  EXPECT_EQ(NextPosted(success), WM_APP_OPERATION_DONE);
  EXPECT_EQ(success, 0u);

  OnWorker([&] { complete(true, L""); });
  EXPECT_TRUE(state->succeeded);
  EXPECT_EQ(NextPosted(success), WM_APP_OPERATION_DONE);
  EXPECT_EQ(success, 1u);
}

}  // namespace
}  // namespace zavex
