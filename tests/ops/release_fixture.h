#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "formats/rollout.h"
#include "ops/operation_callbacks.h"
#include "support/http_server.h"

namespace zavex {
class Installer;
}

namespace zavex::test {

struct ReleaseFile {
  ReleaseFile(std::string filePath, std::string fileContent, bool isRequired = true)
      : path(std::move(filePath)), content(std::move(fileContent)), required(isRequired) {}

  std::string path;
  std::string content;
  bool required = true;
  std::string listedHash;  // empty: the content's real hash
};

// One published version of the application.
struct Release {
  std::string version = "1.0.0";
  int versionCode = 1;
  std::vector<ReleaseFile> files;
  std::string expires = "2099-12-31T23:59:59Z";  // empty: none listed
  std::string deltaIndex;  // the index the manifest names by its hash and size; empty: none
  std::string rolloutMembers;  // written as they are before "expires": "\"rollout\": 10, "

  std::string ManifestJson() const;
  // The record that the program stores for it.
  std::string RecordText() const;
  const ReleaseFile* Find(const std::string& path) const;
};

std::string Sha256Hex(const std::string& bytes);

// The requests the server received whose path starts with prefix.
size_t RequestsUnder(const HttpServer& server, const std::string& prefix);

// count files "data/<i>.bin" of GeneratedBytes from seed on, of bytes + i bytes each.
std::vector<ReleaseFile> NumberedFiles(int count, size_t bytes, uint64_t seed);

// A route answering status with body.
HttpRoute Answer(int status, const std::string& body);
// A 200 route sending body in pieces with a pause before each.
HttpRoute SlowAnswer(const std::string& body, size_t pieceBytes, DWORD pieceDelayMs);

// The text of manifest.json.sig for manifest, signed by a test key of
// tests/support/keys: "first" and "second" are compiled into the test
// build, "stranger" is not.
std::string SignatureFor(const std::string& manifest, const std::string& keyName = "first");

// Serves manifest at /manifest.json and its signature by the first test key
// at /manifest.json.sig, both below folder ("channels/beta/") when given.
void ServeManifest(HttpServer& server, const std::string& manifest, const std::string& folder = "");

// Serves the signed manifest and every file at its path, below folder when
// given.
void PublishRelease(HttpServer& server, const Release& release, const std::string& folder = "");

// Publishes release through the publisher, signed by the first test key,
// from a build folder made afresh into site (the release folder, which
// keeps what earlier releases left there); the error is empty on success.
// The manifest has the fields of Release::ManifestJson, files in path order.
std::string PublishThroughPublisher(const Release& release, const std::wstring& buildFolder,
                                    const std::wstring& site);

// The address of a file below a served folder: "/" and its relative path
// with "/" separators.
std::string RoutePath(const std::wstring& relative);

// Serves every file below folder at its RoutePath; the paths served.
std::set<std::string> ServeFolder(HttpServer& server, const std::wstring& folder);

// folder\path, separators as the path writes them.
std::wstring PathIn(const std::wstring& folder, const std::string& path);

// The id that InstallReleaseLocally gives an installation.
inline constexpr char kTestInstallationId[] = "0123456789abcdef0123456789abcdef\n";

// Leaves folder as an installation of release would: files, record, the id
// above and the default channel.
void InstallReleaseLocally(const std::wstring& folder, const Release& release);

// Relative paths ("\" separators) of every file below folder.
std::vector<std::wstring> ListFiles(const std::wstring& folder);

// folder holds exactly the files of release with their contents, the record
// in the program's layout, the installation's id and channel files, and the
// named extra files, nothing else.
::testing::AssertionResult HoldsExactly(const std::wstring& folder, const Release& release,
                                        const std::vector<std::wstring>& extras = {});

// Each file of before is in folder with its old content or its content in after.
::testing::AssertionResult HoldsOldOrNewFiles(const std::wstring& folder, const Release& before,
                                              const Release& after);

// What a cancel during the downloads of release may end with: the text of a
// required file whose transfer it cut short, or "Cancelado pelo usuário".
::testing::AssertionResult IsCancelText(const std::wstring& error, const Release& release);

// A REG_SZ value under HKEY_CURRENT_USER; empty when missing.
std::wstring ReadUserRegistryString(const std::wstring& subKey, const std::wstring& valueName);
bool UserRegistryKeyExists(const std::wstring& subKey);

// The target of a shell link; empty when it cannot be read.
std::wstring ReadShortcutTarget(const std::wstring& linkPath);

// Ends every process with this file name.
void KillProcessesNamed(const std::wstring& exeName);

// The test builds' hooks (ops/test_hooks.h), which CleanMachineState forgets:
// folder taken for one that only administrators can change (Wine reads every
// folder as its user's), and a pause before each swap of every placing.
void TrustFolderForTests(const std::wstring& folder);
void PausePlacingForTests(DWORD pauseMs);

// Removes what an installation leaves outside its folder and the default
// folder and the test builds' hooks, and stops any running stand-in
// application.
void CleanMachineState();

struct OperationResult {
  bool finished = false;
  bool success = false;
  std::wstring error;
};

// A completion callback and the result that it receives on the worker.
class CompletionProbe {
 public:
  CompletionProbe();
  CompletionCallback Callback() const;
  // finished is false when nothing arrived within timeoutSeconds.
  OperationResult Wait(int timeoutSeconds = 120) const;

 private:
  std::shared_ptr<std::promise<OperationResult>> promise;
  std::shared_future<OperationResult> future;
};

// Sets the operation's completion callback, starts it and waits for it.
template <typename Operation>
OperationResult RunToCompletion(Operation& operation, void (Operation::*start)()) {
  CompletionProbe probe;
  operation.onComplete = probe.Callback();
  (operation.*start)();
  return probe.Wait();
}

// Sets folder as the installer window does when the user says "Sim" to a
// folder that exists already (under Wine every existing folder is one that
// others than administrators can change).
void SetAcceptedInstallPath(Installer& installer, const std::wstring& folder);

// Publishes a release holding the stand-in application and installs it into
// folder with the Installer; true when that succeeded.
bool InstallStandInRelease(HttpServer& server, const std::wstring& folder);

struct ProgressReport {
  int current = 0;
  int total = 0;
  uint32_t bytesDone = 0;
  uint32_t bytesTotal = 0;
  std::wstring text;
};

// Records every report; read them after the completion has arrived.
class ProgressRecorder {
 public:
  // extra, when set, runs after each report is recorded.
  ProgressCallback Callback(std::function<void(const ProgressReport&)> extra = {});
  const std::vector<ProgressReport>& reports() const { return *recorded; }

 private:
  std::shared_ptr<std::vector<ProgressReport>> recorded =
      std::make_shared<std::vector<ProgressReport>>();
};

// Ready on the first progress report about text with at least bytesDone
// bytes. Its watcher keeps its own share, so it may outlive the milestone.
class ProgressMilestone {
 public:
  ProgressMilestone(std::wstring text, uint32_t bytesDone);
  std::function<void(const ProgressReport&)> Watcher() const;
  bool Wait(int timeoutSeconds = 60) const;

 private:
  struct Shared;
  std::shared_ptr<Shared> shared;
  std::shared_future<void> reached;
};

// WinHTTP waits 30 s for data; a cancel has to end a transfer well before.
inline constexpr int kCancelWaitSeconds = 10;

// Starts the operation with a progress recorder watching milestone, cancels
// it from this thread once the milestone is reached, and waits at most
// kCancelWaitSeconds for its end.
template <typename Operation>
OperationResult CancelAtMilestone(Operation& operation, void (Operation::*start)(),
                                  const ProgressMilestone& milestone) {
  operation.onProgress = ProgressRecorder().Callback(milestone.Watcher());
  CompletionProbe probe;
  operation.onComplete = probe.Callback();
  (operation.*start)();
  if (!milestone.Wait()) return OperationResult{};
  operation.Cancel();
  return probe.Wait(kCancelWaitSeconds);
}

// Tests that touch the registry, shortcuts and the fixed server port.
class MachineStateTest : public ::testing::Test {
 protected:
  void SetUp() override { CleanMachineState(); }
  void TearDown() override { CleanMachineState(); }
};

inline constexpr wchar_t kUninstallKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Zavex Phone";
inline constexpr wchar_t kTelCommandKey[] = L"Software\\Classes\\tel\\shell\\open\\command";

}  // namespace zavex::test
