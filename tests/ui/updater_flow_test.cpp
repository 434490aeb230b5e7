#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include "support/window_probe.h"
#include "ui/progress_window.h"
#include "ui/flow_fixture.h"

namespace zavex::test {
namespace {

constexpr int kTitle = IDC_TITLE_LABEL;
constexpr int kBar = IDC_PROGRESS_BAR;
constexpr int kPathEdit = IDC_PATH_EDIT;
constexpr int kAction = IDC_ACTION_BUTTON;
constexpr int kCancel = IDC_CANCEL_BUTTON;

const wchar_t kOfferText[] = L"Versão atual: 1.0.0\nNova versão: 2.0.0\nTamanho: 1.5 KB";

class UpdaterFlow : public FlowTest {
 protected:
  void SetUp() override {
    FlowTest::SetUp();
    installed = StandInRelease("1.0.0", 1);
    newer = StandInRelease("2.0.0", 2);
    newer.files.back().content.assign(1536, 'n');
    InstallReleaseLocally(folder, installed);
    installedRecord = ReadTextFile(folder + L"\\manifest.json");
    PublishRelease(server, newer);
  }
  // folder still holds the installed release as it was laid down.
  ::testing::AssertionResult Untouched() const {
    if (ReadTextFile(folder + L"\\manifest.json") != installedRecord) {
      return ::testing::AssertionFailure() << "manifest.json changed";
    }
    return HoldsOldOrNewFiles(folder, installed, installed);
  }
  HWND StartUpdater() { return Start(L"--update"); }
  // The window once lib/codec.dll, served in pieces of 100 bytes
  // pieceDelayMs apart, is being downloaded.
  HWND StartUpdating(DWORD pieceDelayMs) {
    server.SetRoute("/lib/codec.dll", SlowAnswer(newer.files.back().content, 100, pieceDelayMs));
    HWND window = StartAndWaitForOffer();
    if (!window || !ClickButton(window, kAction)) return nullptr;
    return WaitForControlText(window, kTitle, L"Atualizando: lib/codec.dll") ? window : nullptr;
  }
  HWND StartAndWaitForOffer() {
    HWND window = StartUpdater();
    if (window && !ShowsPage(window, L"Nova versão disponível!", kOfferText)) return nullptr;
    return window;
  }
  // The window shows no update, and Concluir ends the updater with 2.
  void ExpectNoUpdateAndClose(HWND window) {
    EXPECT_TRUE(ShowsPage(window, L"Nenhuma atualização disponível",
                          L"Você já está usando a versão mais recente."));
    ASSERT_TRUE(ClickButton(window, kAction));
    EXPECT_EQ(WaitForExit(), std::optional<DWORD>(2));
  }
  bool RequestedFile(const std::string& path) const {
    for (const ReceivedRequest& request : server.Requests()) {
      if (request.target.rfind(path, 0) == 0) return true;
    }
    return false;
  }

  Release installed;
  Release newer;
  std::string installedRecord;
};

TEST_F(UpdaterFlow, OfferLeadsToTheUpdateAndFinishRestartsTheApplication) {
  ChildProcess application;
  ASSERT_TRUE(application.Start(folder + L"\\zavexphone.exe", L"--close-delay=1500"));
  ASSERT_TRUE(WaitForApplicationStart(1));

  HWND window = StartAndWaitForOffer();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(GetWindowTextOf(window), L"Zavex Phone - Atualizador");
  EXPECT_EQ(ControlText(window, kAction), L"Atualizar");
  EXPECT_TRUE(IsControlShown(window, kCancel));
  EXPECT_FALSE(IsControlShown(window, kBar));

  ASSERT_TRUE(ClickButton(window, kAction));
  // The title waits for the first report while the application closes.
  EXPECT_TRUE(ShowsPage(window, L"Instalando...", kOfferText));
  EXPECT_TRUE(ShowsPage(window, L"Atualização concluída!",
                        L"O Zavex Phone foi atualizado para a versão 2.0.0"));
  EXPECT_EQ(application.Wait(kExitTimeoutMs), std::optional<DWORD>(0));
  EXPECT_EQ(ControlText(window, kAction), L"Concluir");
  EXPECT_EQ(ProgressPosition(window), 100);
  EXPECT_FALSE(ControlStyle(window, kBar) & PBS_MARQUEE);
  EXPECT_TRUE(HoldsExactly(folder, newer, {L"zavexphone_cmdline.txt"}));

  ASSERT_TRUE(ClickButton(window, kAction));
  EXPECT_EQ(WaitForExit(), std::optional<DWORD>(0));
  EXPECT_TRUE(WaitForApplicationStart(2));
  EXPECT_TRUE(LogEndsWithResult(0));
}

TEST_F(UpdaterFlow, SameVersionCodeOffersNothingAndStartsNothing) {
  Release same = StandInRelease("1.0.1", 1);
  PublishRelease(server, same);
  HWND window = StartUpdater();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(ShowsPage(window, L"Nenhuma atualização disponível",
                        L"Você já está usando a versão mais recente."));
  EXPECT_EQ(ControlText(window, kAction), L"Concluir");
  EXPECT_FALSE(IsControlShown(window, kBar));
  ASSERT_TRUE(ClickButton(window, kAction));
  EXPECT_EQ(WaitForExit(), std::optional<DWORD>(2));
  EXPECT_TRUE(NoApplicationStarted());
  EXPECT_TRUE(Untouched());
}

// A person asking takes a release that its rollout holds back (the
// installation is at 78.99 % of release 2), never a halted one.
TEST_F(UpdaterFlow, AHeldBackReleaseIsTakenOnRequestAndAHaltedOneIsNoUpdate) {
  newer.rolloutMembers = "\"rollout\": 0, ";
  PublishRelease(server, newer);
  HWND window = StartUpdater();
  ASSERT_NE(window, nullptr);
  ExpectNoUpdateAndClose(window);
  EXPECT_TRUE(Untouched());

  newer.rolloutMembers = "\"rollout\": 10, ";
  PublishRelease(server, newer);
  window = StartAndWaitForOffer();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(ClickButton(window, kAction));
  EXPECT_TRUE(ShowsPage(window, L"Atualização concluída!",
                        L"O Zavex Phone foi atualizado para a versão 2.0.0"));
  EXPECT_TRUE(HoldsExactly(folder, newer));
  ASSERT_TRUE(ClickButton(window, kAction));
  EXPECT_EQ(WaitForExit(), std::optional<DWORD>(0));
  EXPECT_NE(Log().find("Update 2.0.0 taken on request: rollout 10 % (this installation: 78.99 %)"),
            std::string::npos);
}

// "--update --channel=NAME" moves at once; a channel below the installed code
// is waited for, never taken.
TEST_F(UpdaterFlow, MovingToAChannelWithALowerCodeWaitsUntilItPassesTheInstalledOne) {
  PublishRelease(server, newer, "channels/beta/");
  HWND window = Start(L"--update --channel=beta");
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(ShowsPage(window, L"Nova versão disponível!", kOfferText));
  ASSERT_TRUE(ClickButton(window, kAction));
  EXPECT_TRUE(ShowsPage(window, L"Atualização concluída!",
                        L"O Zavex Phone foi atualizado para a versão 2.0.0"));
  ASSERT_TRUE(ClickButton(window, kAction));
  EXPECT_EQ(WaitForExit(), std::optional<DWORD>(0));
  const std::wstring channelFile = folder + L"\\zavex_channel.txt";
  EXPECT_EQ(ReadTextFile(channelFile), "beta\n");

  PublishRelease(server, installed, "channels/stable/");
  window = Start(L"--update --channel=stable");
  ASSERT_NE(window, nullptr);
  ExpectNoUpdateAndClose(window);
  EXPECT_NE(Log().find("The channel stable has 1.0.0 (code 1), below the installed 2.0.0 (code 2): "
                       "waiting until it passes it"),
            std::string::npos);
  EXPECT_EQ(ReadTextFile(channelFile), "stable\n");

  Release third = StandInRelease("3.0.0", 3);
  PublishRelease(server, third, "channels/stable/");
  ASSERT_TRUE(Launch(L"--silent"));
  EXPECT_EQ(WaitForExit(), std::optional<DWORD>(0));
  EXPECT_TRUE(HoldsExactly(folder, third, {L"zavexphone_cmdline.txt"}));

  // Back to the default channel, whose release 2.0.0 is below the installed 3.0.0.
  window = Start(L"--update --channel=");
  ASSERT_NE(window, nullptr);
  ExpectNoUpdateAndClose(window);
  EXPECT_EQ(ReadTextFile(channelFile), "\n");
  EXPECT_NE(Log().find("The default channel has 2.0.0 (code 2), below the installed 3.0.0 (code 3)"),
            std::string::npos);
}

TEST_F(UpdaterFlow, FailedCheckWithAnInstallationStartsTheApplicationOnClose) {
  server.SetRoute("/manifest.json", 404, "Not Found");
  HWND window = StartUpdater();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(ShowsPage(window, L"Erro ao verificar atualizações", L"Falha ao verificar atualização: "));
  EXPECT_EQ(ControlText(window, kAction), L"Fechar");
  ASSERT_TRUE(ClickButton(window, kAction));
  EXPECT_EQ(WaitForExit(), std::optional<DWORD>(2));
  EXPECT_TRUE(WaitForApplicationStart(1));
  EXPECT_TRUE(LogEndsWithResult(2));
}

TEST_F(UpdaterFlow, CancelOnTheOfferClosesWithoutDownloading) {
  HWND window = StartAndWaitForOffer();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(ClickButton(window, kCancel));
  EXPECT_EQ(WaitForExit(), std::optional<DWORD>(1));
  EXPECT_TRUE(RequestedFile("/manifest.json?nocache="));
  EXPECT_FALSE(RequestedFile("/lib/codec.dll"));
  EXPECT_TRUE(Untouched());
}

TEST_F(UpdaterFlow, CancelDuringTheUpdateAnsweredNoEndsOnTheFailedPage) {
  HWND window = StartUpdating(200);
  ASSERT_NE(window, nullptr);

  ASSERT_TRUE(ClickButton(window, kCancel));
  HWND box = WaitForMessageBox(updater.id(), L"Confirmar");
  ASSERT_NE(box, nullptr);
  EXPECT_TRUE(ShowsPage(window, L"Erro na atualização", L"Falha ao baixar: lib/codec.dll"));
  ASSERT_TRUE(AnswerMessageBox(box, IDNO));
  ASSERT_TRUE(WaitForControlText(window, kAction, L"Fechar"));
  ASSERT_TRUE(ClickButton(window, kAction));
  EXPECT_EQ(WaitForExit(), std::optional<DWORD>(1));
  EXPECT_TRUE(NoApplicationStarted());
  EXPECT_TRUE(Untouched());
}

TEST_F(UpdaterFlow, CloseBoxDuringTheUpdateAnsweredNoLetsItFinish) {
  HWND window = StartUpdating(100);
  ASSERT_NE(window, nullptr);
  PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(AnswerBox(L"Confirmar", IDNO), L"Deseja cancelar a operação?");
  EXPECT_TRUE(ShowsPage(window, L"Atualização concluída!",
                        L"O Zavex Phone foi atualizado para a versão 2.0.0"));
  PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(WaitForExit(), std::optional<DWORD>(0));
  EXPECT_TRUE(NoApplicationStarted());
  EXPECT_TRUE(HoldsExactly(folder, newer));
}

TEST_F(UpdaterFlow, CloseBoxDuringTheUpdateAnsweredYesWaitsForTheStopThenEndsWithOne) {
  // A cancel ends a download at once; the wait for a slow application to
  // close keeps the worker busy after the close for long enough to watch.
  ChildProcess application;
  ASSERT_TRUE(application.Start(folder + L"\\zavexphone.exe", L"--close-delay=3000"));
  ASSERT_TRUE(WaitForApplicationStart(1));
  HWND window = StartAndWaitForOffer();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(ClickButton(window, kAction));
  PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);  // the close box and Alt+F4
  EXPECT_EQ(AnswerBox(L"Confirmar", IDYES), L"Deseja cancelar a operação?");
  EXPECT_TRUE(WaitForControlText(window, kTitle, L"Cancelando..."));
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(window, kCancel)));
  // Closing again while the update stops neither asks (nobody would answer)
  // nor ends the process early.
  PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(WaitForExit(), std::optional<DWORD>(1));
  EXPECT_TRUE(LogEndsWithResult(1));
  // The process ended only after the worker's wait for the application.
  EXPECT_TRUE(application.Wait(0).has_value());
  EXPECT_FALSE(RequestedFile("/lib/codec.dll"));
  EXPECT_TRUE(Untouched());
}

TEST_F(UpdaterFlow, ClosingWhileTheCheckRunsEndsWithTwo) {
  server.SetRoute("/manifest.json", SlowAnswer(newer.ManifestJson(), 16, 200));
  HWND window = StartUpdater();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(ShowsPage(window, L"Verificando atualizações...", L"Conectando ao servidor..."));
  EXPECT_TRUE(ControlStyle(window, kBar) & PBS_MARQUEE);
  EXPECT_FALSE(IsControlShown(window, kAction));
  EXPECT_FALSE(IsControlShown(window, kCancel));
  PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(WaitForExit(), std::optional<DWORD>(2));
  EXPECT_TRUE(LogEndsWithResult(2));
}

TEST_F(UpdaterFlow, NothingInstalledAndTheQuestionDeclinedEndsWithZero) {
  DeleteTree(folder);
  ASSERT_TRUE(Launch(L"--update"));
  HWND box = WaitForMessageBox(updater.id(), L"Zavex Phone - Instalador");
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(GetMessageBoxText(box), L"Zavex Phone não está instalado. Deseja instalar?");
  // The updater's window goes, and its end leaves the question open.
  EXPECT_TRUE(WaitForWindowGone(updater.id(), kUpdaterWindowClass, L""));
  EXPECT_TRUE(IsWindow(box));
  ASSERT_TRUE(AnswerMessageBox(box, IDNO));
  EXPECT_EQ(WaitForExit(), std::optional<DWORD>(0));
  EXPECT_FALSE(FolderExists(folder));
  EXPECT_TRUE(server.Requests().empty());
  EXPECT_TRUE(LogEndsWithResult(0));
}

TEST_F(UpdaterFlow, NothingInstalledAndTheQuestionAcceptedRunsTheInstaller) {
  DeleteTree(folder);
  PublishRelease(server, installed);
  ASSERT_TRUE(Launch(L"--update"));
  EXPECT_EQ(AnswerBox(L"Zavex Phone - Instalador", IDYES),
            L"Zavex Phone não está instalado. Deseja instalar?");

  HWND window = WaitForWindow(updater.id(), kUpdaterWindowClass, L"Zavex Phone - Instalador");
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(ShowsPage(window, L"Bem-vindo ao instalador do Zavex Phone",
                        L"Selecione o local de instalação: "));
  EXPECT_EQ(ControlText(window, kPathEdit), folder);
  ASSERT_TRUE(ClickButton(window, kAction));
  EXPECT_TRUE(ShowsPage(window, L"Instalação concluída!", L"O Zavex Phone foi instalado com sucesso."));
  ASSERT_TRUE(ClickButton(window, kAction));
  EXPECT_EQ(WaitForExit(), std::optional<DWORD>(0));
  EXPECT_TRUE(WaitForApplicationStart(1));
  EXPECT_TRUE(HoldsExactly(folder, installed, {L"zavex_updater.exe", L"zavexphone_cmdline.txt"}));
}

TEST_F(UpdaterFlow, InstallerAfterTheQuestionReportsItsFailure) {
  DeleteTree(folder);
  server.SetRoute("/manifest.json", 500, "");
  ASSERT_TRUE(Launch(L"--update"));
  EXPECT_EQ(AnswerBox(L"Zavex Phone - Instalador", IDYES),
            L"Zavex Phone não está instalado. Deseja instalar?");
  HWND window = WaitForWindow(updater.id(), kUpdaterWindowClass, L"Zavex Phone - Instalador");
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(ClickButton(window, kAction));
  // 500 is tried again three times before the page shows.
  EXPECT_TRUE(ShowsPage(window, L"Erro na instalação", L"Falha ao baixar manifest: "));
  ASSERT_TRUE(ClickButton(window, kAction));
  EXPECT_EQ(WaitForExit(), std::optional<DWORD>(1));
  EXPECT_TRUE(LogEndsWithResult(1));
}

}  // namespace
}  // namespace zavex::test
