#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "base/install_location.h"
#include "base/text_conversion.h"
#include "support/window_probe.h"
#include "ui/progress_window.h"
#include "ui/flow_fixture.h"

namespace zavex::test {
namespace {

constexpr int kTitle = IDC_TITLE_LABEL;
constexpr int kStatus = IDC_STATUS_LABEL;
constexpr int kPathEdit = IDC_PATH_EDIT;
constexpr int kBrowse = IDC_BROWSE_BUTTON;
constexpr int kBar = IDC_PROGRESS_BAR;
constexpr int kAction = IDC_ACTION_BUTTON;
constexpr int kCancel = IDC_CANCEL_BUTTON;

class InstallerFlow : public FlowTest {
 protected:
  void SetUp() override {
    FlowTest::SetUp();
    release = StandInRelease("1.0.0", 1);
    PublishRelease(server, release);
  }
  // Makes lib/codec.dll take pieces of 1000 bytes each pieceDelayMs apart.
  void SlowDownLastFile(size_t bytes, DWORD pieceDelayMs) {
    release.files.back().content.assign(bytes, 'c');
    PublishRelease(server, release);
    server.SetRoute("/lib/codec.dll", SlowAnswer(release.files.back().content, 1000, pieceDelayMs));
  }
  // Leaves lib/codec.dll the release's only file, so that a cancel while it
  // downloads cannot cut another transfer running beside it.
  void KeepOnlyLastFile() { release.files.erase(release.files.begin(), release.files.end() - 1); }
  HWND StartInstaller() { return Start(L"--install"); }
  // The window once the slowed-down lib/codec.dll is being downloaded.
  HWND StartDownloading(size_t bytes, DWORD pieceDelayMs) {
    SlowDownLastFile(bytes, pieceDelayMs);
    HWND window = StartInstaller();
    if (!window || !ClickButton(window, kAction)) return nullptr;
    return WaitForControlText(window, kTitle, L"Baixando: lib/codec.dll") ? window : nullptr;
  }

  Release release;
};

TEST_F(InstallerFlow, WelcomePageInstallsIntoTheGivenFolderAndStartsTheApplication) {
  HWND window = StartInstaller();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(GetWindowTextOf(window), L"Zavex Phone - Instalador");
  EXPECT_TRUE(ShowsPage(window, L"Bem-vindo ao instalador do Zavex Phone",
                        L"Selecione o local de instalação: "));
  EXPECT_EQ(ControlText(window, kPathEdit), folder);
  for (int id : {kTitle, kStatus, kPathEdit, kBrowse, kAction, kCancel}) {
    EXPECT_TRUE(IsControlShown(window, id)) << id;
  }
  EXPECT_FALSE(IsControlShown(window, kBar));
  EXPECT_EQ(ControlText(window, kAction), L"Instalar");

  ASSERT_TRUE(ClickButton(window, kAction));
  EXPECT_TRUE(ShowsPage(window, L"Instalação concluída!", L"O Zavex Phone foi instalado com sucesso."));
  EXPECT_EQ(ControlText(window, kAction), L"Concluir");
  EXPECT_FALSE(IsControlShown(window, kCancel));
  EXPECT_EQ(ProgressPosition(window), 100);
  EXPECT_TRUE(HoldsExactly(folder, release, {L"zavex_updater.exe"}));

  ASSERT_TRUE(ClickButton(window, kAction));
  EXPECT_EQ(WaitForExit(), std::optional<DWORD>(0));
  EXPECT_TRUE(WaitForApplicationStart(1));
  EXPECT_TRUE(LogEndsWithResult(0));
}

// The installation keeps its channel and a new id beside its files.
TEST_F(InstallerFlow, AnInstallOnAChannelTakesItsReleaseAndKeepsTheChannel) {
  Release beta = StandInRelease("1.5.0", 5);
  PublishRelease(server, beta, "channels/beta/");
  HWND window = Start(L"--install --channel=beta");
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(ClickButton(window, kAction));
  EXPECT_TRUE(ShowsPage(window, L"Instalação concluída!", L"O Zavex Phone foi instalado com sucesso."));
  EXPECT_TRUE(HoldsExactly(folder, beta, {L"zavex_updater.exe"}));
  EXPECT_EQ(ReadTextFile(folder + L"\\zavex_channel.txt"), "beta\n");
  InstallationId id{};
  EXPECT_TRUE(ParseInstallationId(ReadTextFile(folder + L"\\zavex_installation.id"), id));
  EXPECT_NE(ReadTextFile(folder + L"\\zavex_installation.id"), kTestInstallationId);
  for (const ReceivedRequest& request : server.Requests()) {
    EXPECT_EQ(request.target.rfind("/channels/beta/", 0), 0u) << request.target;
  }
}

// A halted release reaches no one, also not a new installation.
TEST_F(InstallerFlow, AHaltedReleaseIsNotInstalled) {
  release.rolloutMembers = "\"rollout\": 0, ";
  PublishRelease(server, release);
  HWND window = StartInstaller();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(ClickButton(window, kAction));
  EXPECT_TRUE(ShowsPage(window, L"Erro na instalação",
                        L"A versão 1.0.0 foi suspensa pelo fornecedor. Tente novamente mais tarde."));
  ASSERT_TRUE(ClickButton(window, kAction));
  EXPECT_EQ(WaitForExit(), std::optional<DWORD>(1));
  EXPECT_FALSE(FileExists(folder + L"\\manifest.json"));
}

TEST_F(InstallerFlow, FolderTooLongForTheProgramIsRefusedAsShown) {
  folder = dir.path();
  while (folder.size() <= 300) folder += L"\\pasta comprida";
  HWND window = StartInstaller();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(ControlText(window, kPathEdit), folder);
  ASSERT_TRUE(ClickButton(window, kAction));
  EXPECT_TRUE(ShowsPage(window, L"Erro na instalação",
                        L"O caminho da pasta de instalação tem mais de 241 caracteres. Escolha "
                        L"uma pasta com um caminho mais curto."));
  ASSERT_TRUE(ClickButton(window, kAction));
  EXPECT_EQ(WaitForExit(), std::optional<DWORD>(1));
  EXPECT_FALSE(FolderExists(dir / L"pasta comprida"));
  EXPECT_TRUE(server.Requests().empty());
}

// Wine keeps no access lists: every folder reads back owned by its user, with
// a list made from its Unix permission bits, so here every existing folder is
// one that others than administrators can change and the question always
// comes. On Windows a folder that only administrators can change (one this
// program created, or Program Files') is installed into without it, which
// Wine cannot show.
TEST_F(InstallerFlow, ExistingFolderOthersCanChangeIsUsedOnlyAfterTheUserSaysYes) {
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  ASSERT_TRUE(WriteTextFile(folder + L"\\notas.txt", "do usuário"));
  const std::wstring question = L"Outros usuários além dos administradores podem alterar a pasta " +
                                folder + L". Instalar nela mesmo assim?";
  const std::string logged =
      " into a folder that others than administrators can change: " + WideToUtf8(folder);
  HWND window = StartInstaller();
  ASSERT_NE(window, nullptr);

  ASSERT_TRUE(ClickButton(window, kAction));
  EXPECT_EQ(AnswerBox(L"Zavex Phone - Instalador", IDNO), question);
  // Back where the folder is chosen, with nothing asked of the server.
  EXPECT_TRUE(ShowsPage(window, L"Bem-vindo ao instalador do Zavex Phone",
                        L"Selecione o local de instalação: "));
  EXPECT_TRUE(IsControlShown(window, kPathEdit));
  EXPECT_TRUE(server.Requests().empty());
  EXPECT_EQ(ListFiles(folder), std::vector<std::wstring>{L"notas.txt"});
  EXPECT_NE(Log().find("[WARN] The user chose not to install" + logged), std::string::npos);

  ASSERT_TRUE(ClickButton(window, kAction));
  EXPECT_EQ(AnswerBox(L"Zavex Phone - Instalador", IDYES), question);
  EXPECT_TRUE(ShowsPage(window, L"Instalação concluída!", L"O Zavex Phone foi instalado com sucesso."));
  EXPECT_TRUE(HoldsExactly(folder, release, {L"zavex_updater.exe", L"notas.txt"}));
  EXPECT_NE(Log().find("[WARN] The user chose to install" + logged), std::string::npos);
  PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(WaitForExit(), std::optional<DWORD>(0));
}

// Absent when the window looked, the folder is made by someone else while the
// manifest comes: the install refuses it and writes nothing there.
TEST_F(InstallerFlow, AFolderMadeAfterTheQuestionIsRefused) {
  server.SetRoute("/manifest.json", SlowAnswer(release.ManifestJson(), 64, 100));
  HWND window = StartInstaller();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(ClickButton(window, kAction));
  const ULONGLONG deadline = GetTickCount64() + 10000;
  while (RequestsUnder(server, "/manifest.json") == 0 && GetTickCount64() < deadline) Sleep(10);
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  EXPECT_TRUE(ShowsPage(window, L"Erro na instalação",
                        L"A pasta " + folder +
                            L" já existe e outros usuários além dos administradores podem "
                            L"alterá-la. Nada foi instalado."));
  EXPECT_EQ(ListFiles(folder), std::vector<std::wstring>{});
  EXPECT_NE(Log().find("[ERROR] The installation folder exists, others than administrators can "
                       "change it, and it is not the folder accepted: " + WideToUtf8(folder)),
            std::string::npos);
  ASSERT_TRUE(ClickButton(window, kAction));
  EXPECT_EQ(WaitForExit(), std::optional<DWORD>(1));
}

// Whether a top-level window with this title shows up within timeoutMs; one
// that does is closed again.
bool WindowTitledAppears(const wchar_t* title, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (GetTickCount64() < deadline) {
    if (HWND window = FindWindowW(nullptr, title)) {
      PostMessageW(window, WM_CLOSE, 0, 0);
      return true;
    }
    Sleep(50);
  }
  return false;
}

TEST_F(InstallerFlow, ConcluirStartsOnlyAnApplicationFileThatExists) {
  // A folder in the application's place: the shell would open it in a window.
  release.files[0] = {"zavexphone.exe/leia-me.txt", "uma pasta"};
  PublishRelease(server, release);
  HWND window = StartInstaller();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(ClickButton(window, kAction));
  ASSERT_TRUE(ShowsPage(window, L"Instalação concluída!", L"O Zavex Phone foi instalado com sucesso."));
  ASSERT_TRUE(ClickButton(window, kAction));
  EXPECT_EQ(WaitForExit(), std::optional<DWORD>(0));
  EXPECT_TRUE(LogEndsWithResult(0));
  EXPECT_FALSE(WindowTitledAppears(L"zavexphone.exe", 3000));
}

TEST_F(InstallerFlow, WithoutPathTheFieldShowsProgramFilesAndCancelInstallsNothing) {
  HWND window = StartWithArguments(L"--install");
  ASSERT_NE(window, nullptr);
  // The default folder comes from the shell, which gives a 32-bit program on
  // 64-bit Windows the folder for 32-bit programs; this test asks it at the
  // program's width.
  ASSERT_EQ(RunsUnderWow64(updater.handle()), RunsUnderWow64(GetCurrentProcess()));
  EXPECT_TRUE(WaitForControlText(window, kPathEdit, GetDefaultInstallFolder()));
  EXPECT_TRUE(ControlStyle(window, kPathEdit) & ES_READONLY);

  ASSERT_TRUE(ClickButton(window, kCancel));
  EXPECT_EQ(WaitForExit(), std::optional<DWORD>(1));
  EXPECT_FALSE(FolderExists(GetDefaultInstallFolder()));
  EXPECT_TRUE(server.Requests().empty());
}

TEST_F(InstallerFlow, BrowseAppendsTheApplicationFolderAndCancelKeepsTheField) {
  HWND window = StartInstaller();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(ClickButton(window, kBrowse));
  HWND dialog = WaitForMessageBox(updater.id(), L"");
  ASSERT_NE(dialog, nullptr);
  ASSERT_TRUE(AnswerMessageBox(dialog, IDCANCEL));
  ASSERT_TRUE(WaitForWindowGone(updater.id(), L"#32770", L""));
  EXPECT_EQ(ControlText(window, kPathEdit), folder);

  ASSERT_TRUE(ClickButton(window, kBrowse));
  dialog = WaitForMessageBox(updater.id(), L"");
  ASSERT_NE(dialog, nullptr);
  HWND tree = FindDescendant(dialog, WC_TREEVIEWW);
  ASSERT_NE(tree, nullptr);
  // The root of the tree is the desktop.
  const LRESULT root = SendMessageW(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0);
  SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, root);
  ASSERT_TRUE(AnswerMessageBox(dialog, IDOK));
  wchar_t desktop[MAX_PATH] = {};
  ASSERT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, 0, desktop)));
  EXPECT_TRUE(WaitForControlText(window, kPathEdit, std::wstring(desktop) + L"\\ZavexPhone"));
  EXPECT_EQ(ControlText(window, kTitle), L"Bem-vindo ao instalador do Zavex Phone");

  ASSERT_TRUE(ClickButton(window, kCancel));
  EXPECT_EQ(WaitForExit(), std::optional<DWORD>(1));
}

TEST_F(InstallerFlow, FirstReportsShowZeroSizesWhileTheListDownloads) {
  server.SetRoute("/manifest.json", SlowAnswer(release.ManifestJson(), 32, 150));
  HWND window = StartInstaller();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(ClickButton(window, kAction));
  EXPECT_TRUE(ShowsPage(window, L"Baixando: Baixando lista de arquivos...", L"0 B / 0 B"));
  EXPECT_EQ(ProgressPosition(window), 0);
  EXPECT_TRUE(IsControlShown(window, kBar));
  EXPECT_FALSE(IsControlShown(window, kAction));
  EXPECT_FALSE(IsControlShown(window, kPathEdit));
  EXPECT_EQ(ControlText(window, kCancel), L"Cancelar");
  EXPECT_TRUE(ShowsPage(window, L"Instalação concluída!", L"O Zavex Phone foi instalado com sucesso."));

  // The close box on the result page starts nothing.
  PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(WaitForExit(), std::optional<DWORD>(0));
  EXPECT_TRUE(NoApplicationStarted());
}

TEST_F(InstallerFlow, CancelDuringTheDownloadAnsweredNoEndsOnTheFailedPage) {
  KeepOnlyLastFile();
  HWND window = StartDownloading(100000, 100);
  ASSERT_NE(window, nullptr);

  ASSERT_TRUE(ClickButton(window, kCancel));
  HWND box = WaitForMessageBox(updater.id(), L"Confirmar");
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(GetMessageBoxText(box), L"Deseja cancelar a operação?");
  // The cancel was requested before the question: the result arrives under it.
  EXPECT_TRUE(ShowsPage(window, L"Erro na instalação", L"Falha ao baixar: lib/codec.dll"));
  ASSERT_TRUE(AnswerMessageBox(box, IDNO));
  ASSERT_TRUE(WaitForControlText(window, kAction, L"Fechar"));
  EXPECT_TRUE(IsWindow(window));
  EXPECT_TRUE(IsControlShown(window, kAction));

  ASSERT_TRUE(ClickButton(window, kAction));
  EXPECT_EQ(WaitForExit(), std::optional<DWORD>(1));
  EXPECT_TRUE(NoApplicationStarted());
  EXPECT_TRUE(LogEndsWithResult(1));
}

TEST_F(InstallerFlow, CancelDuringTheDownloadAnsweredYesEndsWithOne) {
  KeepOnlyLastFile();
  HWND window = StartDownloading(100000, 100);
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(ClickButton(window, kCancel));
  EXPECT_EQ(AnswerBox(L"Confirmar", IDYES), L"Deseja cancelar a operação?");
  EXPECT_EQ(WaitForExit(), std::optional<DWORD>(1));
  EXPECT_TRUE(LogEndsWithResult(1));
  EXPECT_FALSE(FileExists(folder + L"\\manifest.json"));
}

TEST_F(InstallerFlow, CloseBoxDuringTheDownloadAnsweredYesWaitsForTheStopThenEndsWithOne) {
  // The cancel ends the slow list's download too, within its 50 ms poll, so
  // "Cancelando..." shows too briefly to watch; the worker's end is logged
  // before the process ends.
  server.SetRoute("/manifest.json", SlowAnswer(release.ManifestJson(), 16, 200));
  HWND window = StartInstaller();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(ClickButton(window, kAction));
  ASSERT_TRUE(WaitForControlText(window, kTitle, L"Baixando: Baixando lista de arquivos..."));
  PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(AnswerBox(L"Confirmar", IDYES), L"Deseja cancelar a operação?");
  EXPECT_EQ(WaitForExit(), std::optional<DWORD>(1));
  EXPECT_TRUE(LogEndsWithResult(1));
  EXPECT_TRUE(OperationEndedBeforeTheProcess("Failed to download manifest: cancelled"));
  EXPECT_FALSE(FileExists(folder + L"\\manifest.json"));
  EXPECT_FALSE(UserRegistryKeyExists(kUninstallKey));
}

TEST_F(InstallerFlow, CloseBoxDuringTheDownloadAnsweredNoLetsTheInstallFinish) {
  HWND window = StartDownloading(30000, 50);
  ASSERT_NE(window, nullptr);

  PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(AnswerBox(L"Confirmar", IDNO), L"Deseja cancelar a operação?");
  EXPECT_TRUE(ShowsPage(window, L"Instalação concluída!", L"O Zavex Phone foi instalado com sucesso."));
  EXPECT_TRUE(HoldsExactly(folder, release, {L"zavex_updater.exe"}));
  ASSERT_TRUE(ClickButton(window, kAction));
  EXPECT_EQ(WaitForExit(), std::optional<DWORD>(0));
  EXPECT_TRUE(WaitForApplicationStart(1));
}

TEST_F(InstallerFlow, BarStaysWithinRangeAndReachesTheEndForALargeRelease) {
  release.files.push_back({"media/ringtones.bin", GeneratedBytes(0, 43000000)});
  PublishRelease(server, release);
  server.SetRoute("/media/ringtones.bin", SlowAnswer(release.files.back().content, 1 << 20, 25));
  HWND window = StartInstaller();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(ClickButton(window, kAction));

  std::vector<int> positions;
  const ULONGLONG deadline = GetTickCount64() + kExitTimeoutMs;
  while (ControlText(window, kTitle) != L"Instalação concluída!" && updater.running() &&
         GetTickCount64() < deadline) {
    positions.push_back(ProgressPosition(window));
    Sleep(20);
  }
  EXPECT_EQ(ControlText(window, kTitle), L"Instalação concluída!");
  EXPECT_EQ(ProgressPosition(window), 100);
  ASSERT_FALSE(positions.empty());
  EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
  EXPECT_LE(*std::max_element(positions.begin(), positions.end()), 100);
  // The bar moves during the file rather than jumping from 0 to 100.
  EXPECT_TRUE(std::any_of(positions.begin(), positions.end(), [](int p) { return p > 0 && p < 100; }));
  PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(WaitForExit(), std::optional<DWORD>(0));
}

}  // namespace
}  // namespace zavex::test
