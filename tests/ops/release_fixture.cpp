#include "ops/release_fixture.h"

#include <windows.h>
#include <bcrypt.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <set>

#include "app/invocation.h"
#include "base/install_location.h"
#include "base/text_conversion.h"
#include "formats/manifest.h"
#include "formats/signature_file.h"
#include "ops/installer.h"
#include "ops/shortcut_locations.h"
#include "ops/test_hooks.h"
#include "ops/update_service.h"
#include "platform/unique_handle.h"
#include "publish/key_files.h"
#include "publish/publisher.h"
#include "publish/release_signer.h"
#include "support/process.h"
#include "support/test_files.h"

namespace zavex::test {
namespace {

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string FileJson(const ReleaseFile& file) {
  const std::string hash = file.listedHash.empty() ? Sha256Hex(file.content) : file.listedHash;
  return "{\"path\": " + Quoted(file.path) + ", \"hash\": " + Quoted(hash) +
         ", \"size\": " + std::to_string(file.content.size()) +
         ", \"required\": " + (file.required ? "true" : "false") + "}";
}

std::wstring WithBackslashes(std::wstring path) {
  std::replace(path.begin(), path.end(), L'/', L'\\');
  return path;
}

void CollectFiles(const std::wstring& root, const std::wstring& relative,
                  std::vector<std::wstring>& out) {
  WIN32_FIND_DATAW entry = {};
  const std::wstring folder = relative.empty() ? root : root + L"\\" + relative;
  UniqueFind search(FindFirstFileW((folder + L"\\*").c_str(), &entry));
  if (!search) return;
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring child = relative.empty() ? name : relative + L"\\" + name;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      CollectFiles(root, child, out);
    } else {
      out.push_back(child);
    }
  } while (FindNextFileW(search.get(), &entry));
}

std::string Describe(const std::vector<std::wstring>& names) {
  std::string text;
  for (const std::wstring& name : names) text += " " + WideToUtf8(name);
  return text;
}

}  // namespace

std::string Release::ManifestJson() const {
  std::string json = "{\"version\": " + Quoted(version) +
                     ", \"versionCode\": " + std::to_string(versionCode) +
                     ", \"releaseDate\": \"2024-05-01\", \"releaseNotes\": \"Notas\\nnovas\", "
                     "\"minVersion\": \"1.0.0\", ";
  json += rolloutMembers;
  if (!expires.empty()) json += "\"expires\": " + Quoted(expires) + ", ";
  if (!deltaIndex.empty()) {
    json += "\"deltaIndex\": {\"hash\": \"" + Sha256Hex(deltaIndex) + "\", \"size\": " +
            std::to_string(deltaIndex.size()) + "}, ";
  }
  json += "\"files\": [";
  for (size_t i = 0; i < files.size(); ++i) json += (i ? ", " : "") + FileJson(files[i]);
  return json + "]}";
}

std::string Release::RecordText() const {
  Manifest record = ParseManifest(ManifestJson());
  record.expires.clear();
  record.rollout = 100;
  record.criticalBelow = 0;
  record.deltaIndex = DeltaIndexRef();
  return SerializeManifest(record);
}

const ReleaseFile* Release::Find(const std::string& path) const {
  for (const ReleaseFile& file : files) {
    if (file.path == path) return &file;
  }
  return nullptr;
}

std::string Sha256Hex(const std::string& bytes) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
  UniqueAlgorithm ownedAlgorithm(algorithm);
  BCRYPT_HASH_HANDLE hash = nullptr;
  BCryptCreateHash(ownedAlgorithm.get(), &hash, nullptr, 0, nullptr, 0, 0);
  UniqueHash ownedHash(hash);
  BCryptHashData(ownedHash.get(), reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                 static_cast<ULONG>(bytes.size()), 0);
  UCHAR digest[32] = {};
  BCryptFinishHash(ownedHash.get(), digest, sizeof(digest), 0);
  std::string hex;
  char pair[3] = {};
  for (UCHAR byte : digest) {
    std::snprintf(pair, sizeof(pair), "%02x", byte);
    hex += pair;
  }
  return hex;
}

size_t RequestsUnder(const HttpServer& server, const std::string& prefix) {
  size_t count = 0;
  for (const ReceivedRequest& request : server.Requests()) {
    count += request.target.rfind(prefix, 0) == 0;
  }
  return count;
}

std::vector<ReleaseFile> NumberedFiles(int count, size_t bytes, uint64_t seed) {
  std::vector<ReleaseFile> files;
  for (int i = 0; i < count; ++i) {
    files.push_back({"data/" + std::to_string(i) + ".bin",
                     GeneratedBytes(seed + static_cast<uint64_t>(i) * bytes, bytes + i)});
  }
  return files;
}

HttpRoute Answer(int status, const std::string& body) {
  HttpRoute route;
  route.status = status;
  route.body = body;
  return route;
}

HttpRoute SlowAnswer(const std::string& body, size_t pieceBytes, DWORD pieceDelayMs) {
  HttpRoute route = Answer(200, body);
  route.pieceBytes = pieceBytes;
  route.pieceDelayMs = pieceDelayMs;
  return route;
}

std::string SignatureFor(const std::string& manifest, const std::string& keyName) {
  SigningKey key;
  ManifestSignature signature;
  const std::wstring keyFile = ZAVEX_TESTS_SOURCE_DIR_WIN L"\\support\\keys\\" + Utf8ToWide(keyName) + L".pem";
  if (!ReadPrivateKeyPem(ReadTextFile(keyFile), key) || !SignManifest(key, manifest, signature)) {
    ADD_FAILURE() << "cannot sign with the test key " << keyName;
    return "";
  }
  return WriteSignatureFile(signature);
}

void ServeManifest(HttpServer& server, const std::string& manifest, const std::string& folder) {
  server.SetRoute("/" + folder + "manifest.json", 200, manifest);
  server.SetRoute("/" + folder + "manifest.json.sig", 200, SignatureFor(manifest));
}

void PublishRelease(HttpServer& server, const Release& release, const std::string& folder) {
  ServeManifest(server, release.ManifestJson(), folder);
  for (const ReleaseFile& file : release.files) {
    server.SetRoute("/" + folder + file.path, 200, file.content);
  }
}

std::string PublishThroughPublisher(const Release& release, const std::wstring& buildFolder,
                                    const std::wstring& site) {
  DeleteTree(buildFolder);
  for (const ReleaseFile& file : release.files) {
    const std::filesystem::path target = std::filesystem::path(buildFolder) / std::filesystem::u8path(file.path);
    std::filesystem::create_directories(target.parent_path());
    if (!WriteTextFile(target.wstring(), file.content)) return "cannot write " + file.path;
  }
  PublishOptions options;
  options.buildFolder = buildFolder;
  options.releaseFolder = site;
  options.version = release.version;
  options.versionCode = release.versionCode;
  options.releaseDate = "2024-05-01";
  options.releaseNotes = "Notas\nnovas";
  options.minVersion = "1.0.0";
  options.signingKeyFile = ZAVEX_TESTS_SOURCE_DIR_WIN L"\\support\\keys\\first.pem";
  const std::unique_ptr<FileHasher> hasher = CreateSha256FileHasher();
  PublishSummary summary;
  std::string error;
  if (!zavex::PublishRelease(options, *hasher, summary, error) && error.empty()) error = "refused";
  return error;
}

std::string RoutePath(const std::wstring& relative) {
  std::string path = "/" + WideToUtf8(relative);
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

std::set<std::string> ServeFolder(HttpServer& server, const std::wstring& folder) {
  std::set<std::string> served;
  for (const std::wstring& relative : ListFiles(folder)) {
    const std::string path = RoutePath(relative);
    server.SetRoute(path, 200, ReadTextFile(folder + L"\\" + relative));
    served.insert(path);
  }
  return served;
}

std::wstring PathIn(const std::wstring& folder, const std::string& path) {
  return folder + L"\\" + Utf8ToWide(path);
}

void InstallReleaseLocally(const std::wstring& folder, const Release& release) {
  CreateDirectoryW(folder.c_str(), nullptr);
  for (const ReleaseFile& file : release.files) {
    const std::wstring target = WithBackslashes(PathIn(folder, file.path));
    SHCreateDirectoryExW(nullptr, target.substr(0, target.find_last_of(L'\\')).c_str(), nullptr);
    WriteTextFile(target, file.content);
  }
  WriteTextFile(folder + L"\\manifest.json", release.RecordText());
  WriteTextFile(PathIn(folder, kInstallationIdFileName), kTestInstallationId);
  WriteTextFile(PathIn(folder, kChannelFileName), "\n");
}

std::vector<std::wstring> ListFiles(const std::wstring& folder) {
  std::vector<std::wstring> files;
  CollectFiles(folder, L"", files);
  std::sort(files.begin(), files.end());
  return files;
}

::testing::AssertionResult HoldsExactly(const std::wstring& folder, const Release& release,
                                        const std::vector<std::wstring>& extras) {
  std::set<std::wstring> expected(extras.begin(), extras.end());
  expected.insert(L"manifest.json");
  expected.insert(Utf8ToWide(kInstallationIdFileName));
  expected.insert(Utf8ToWide(kChannelFileName));
  for (const ReleaseFile& file : release.files) {
    expected.insert(WithBackslashes(Utf8ToWide(file.path)));
    if (ReadTextFile(PathIn(folder, file.path)) != file.content) {
      return ::testing::AssertionFailure() << file.path << " does not hold its release content";
    }
  }
  const std::vector<std::wstring> actual = ListFiles(folder);
  if (std::vector<std::wstring>(expected.begin(), expected.end()) != actual) {
    return ::testing::AssertionFailure()
           << "files:" << Describe(actual) << "; expected:"
           << Describe(std::vector<std::wstring>(expected.begin(), expected.end()));
  }
  const std::string record = ReadTextFile(folder + L"\\manifest.json");
  if (record != release.RecordText()) {
    return ::testing::AssertionFailure() << "manifest.json is not the release's record:\n"
                                         << record;
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult HoldsOldOrNewFiles(const std::wstring& folder, const Release& before,
                                              const Release& after) {
  for (const ReleaseFile& old : before.files) {
    const std::wstring path = PathIn(folder, old.path);
    if (!FileExists(path)) return ::testing::AssertionFailure() << old.path << " is missing";
    const std::string content = ReadTextFile(path);
    const ReleaseFile* fresh = after.Find(old.path);
    if (content != old.content && !(fresh && content == fresh->content)) {
      return ::testing::AssertionFailure() << old.path << " holds neither version";
    }
  }
  return ::testing::AssertionSuccess();
}

CompletionProbe::CompletionProbe()
    : promise(std::make_shared<std::promise<OperationResult>>()),
      future(promise->get_future().share()) {}

CompletionCallback CompletionProbe::Callback() const {
  return [promise = promise](bool success, const std::wstring& error) {
    promise->set_value(OperationResult{true, success, error});
  };
}

OperationResult CompletionProbe::Wait(int timeoutSeconds) const {
  if (future.wait_for(std::chrono::seconds(timeoutSeconds)) != std::future_status::ready) {
    return OperationResult{};
  }
  return future.get();
}

void SetAcceptedInstallPath(Installer& installer, const std::wstring& folder) {
  installer.SetInstallPath(folder);
  FileIdentity identity;
  if (IdentityOfFolder(folder, identity)) installer.AcceptExistingFolder(identity);
}

bool InstallStandInRelease(HttpServer& server, const std::wstring& folder) {
  TrustFolderForTests(folder);
  Release release;
  release.files = {{"zavexphone.exe", ReadTextFile(BuildDir() + L"\\zavexphone.exe")},
                   {"bin/app.dll", "library"}};
  PublishRelease(server, release);
  Installer installer(CompiledReleaseServer());
  SetAcceptedInstallPath(installer, folder);
  return RunToCompletion(installer, &Installer::StartInstall).success;
}

ProgressCallback ProgressRecorder::Callback(std::function<void(const ProgressReport&)> extra) {
  return [recorded = recorded, extra](int current, int total, uint32_t bytesDone,
                                      uint32_t bytesTotal, const std::wstring& text) {
    recorded->push_back(ProgressReport{current, total, bytesDone, bytesTotal, text});
    if (extra) extra(recorded->back());
  };
}

struct ProgressMilestone::Shared {
  Shared(std::wstring milestoneText, uint32_t milestoneBytes)
      : text(std::move(milestoneText)), bytesDone(milestoneBytes) {}

  const std::wstring text;
  const uint32_t bytesDone;
  std::promise<void> promise;
  std::atomic<bool> passed{false};
};

ProgressMilestone::ProgressMilestone(std::wstring text, uint32_t bytesDone)
    : shared(std::make_shared<Shared>(std::move(text), bytesDone)),
      reached(shared->promise.get_future().share()) {}

std::function<void(const ProgressReport&)> ProgressMilestone::Watcher() const {
  return [shared = shared](const ProgressReport& report) {
    if (report.text != shared->text || report.bytesDone < shared->bytesDone) return;
    if (!shared->passed.exchange(true)) shared->promise.set_value();
  };
}

bool ProgressMilestone::Wait(int timeoutSeconds) const {
  return reached.wait_for(std::chrono::seconds(timeoutSeconds)) == std::future_status::ready;
}

::testing::AssertionResult IsCancelText(const std::wstring& error, const Release& release) {
  if (error == L"Cancelado pelo usuário") return ::testing::AssertionSuccess();
  for (const ReleaseFile& file : release.files) {
    if (file.required && error == L"Falha ao baixar: " + Utf8ToWide(file.path)) {
      return ::testing::AssertionSuccess();
    }
  }
  return ::testing::AssertionFailure() << "not the text of a cancel: " << WideToUtf8(error);
}

std::wstring ReadUserRegistryString(const std::wstring& subKey, const std::wstring& valueName) {
  const UniqueKey key = OpenUserKeyAsTheShellSeesIt(subKey);
  if (!key) return {};
  wchar_t buffer[1024] = {};
  DWORD size = sizeof(buffer);
  if (RegGetValueW(key.get(), nullptr, valueName.empty() ? nullptr : valueName.c_str(),
                   RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS) {
    return {};
  }
  return buffer;
}

bool UserRegistryKeyExists(const std::wstring& subKey) {
  return static_cast<bool>(OpenUserKeyAsTheShellSeesIt(subKey));
}

std::wstring ReadShortcutTarget(const std::wstring& linkPath) {
  ComPtr<IShellLinkW> link;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              link.put_void()))) {
    return {};
  }
  ComPtr<IPersistFile> file;
  if (FAILED(link->QueryInterface(IID_IPersistFile, file.put_void())) ||
      FAILED(file->Load(linkPath.c_str(), STGM_READ))) {
    return {};
  }
  wchar_t target[MAX_PATH] = {};
  if (FAILED(link->GetPath(target, MAX_PATH, nullptr, 0))) return {};
  return target;
}

void KillProcessesNamed(const std::wstring& exeName) {
  UniqueSnapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (_wcsicmp(entry.szExeFile, exeName.c_str()) != 0) continue;
    UniqueKernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                                           entry.th32ProcessID));
    if (!process) continue;
    TerminateProcess(process.get(), 1);
    WaitForSingleObject(process.get(), 5000);
  }
}

void TrustFolderForTests(const std::wstring& folder) {
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, kTestHooksKey, L"TrustedFolder", REG_SZ, folder.c_str(),
                  static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
}

void PausePlacingForTests(DWORD pauseMs) {
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, kTestHooksKey, L"PlacingPauseMs", REG_DWORD, &pauseMs,
                  sizeof(pauseMs));
}

void CleanMachineState() {
  KillProcessesNamed(L"zavexphone.exe");
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kTestHooksKey);
  RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey);
  RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Classes\\tel");
  DeleteFileW(DesktopShortcutPath().c_str());
  const std::wstring startMenuLink = StartMenuShortcutPath();
  DeleteTree(startMenuLink.substr(0, startMenuLink.find_last_of(L'\\')));
  DeleteTree(GetDefaultInstallFolder());
  RemoveUpdateService();
}

}  // namespace zavex::test
