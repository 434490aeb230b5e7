#include <chrono>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "publish/key_generation.h"
#include "publish/key_files.h"
#include "publish/publisher.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>

#include "base/text_conversion.h"
#include "platform/system_dlls.h"
#else
#include <unistd.h>
#endif

namespace {

constexpr int kExitPublished = 0;
constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;

void PrintWarnings(const zavex::PublishSummary& summary) {
  for (const std::string& warning : summary.warnings) {
    std::cerr << "zavex_publish: warning: " << warning << "\n";
  }
}

void PrintPublished(const zavex::PublishOptions& options, const zavex::PublishSummary& summary) {
  PrintWarnings(summary);
  std::cout << "Published version " << options.version << " (version code " << options.versionCode
            << ") in " << options.releaseFolder.u8string() << ": " << summary.fileCount
            << " files, " << summary.totalBytes << " bytes";
  if (summary.previousVersionCode > 0) {
    std::cout << ", replacing version code " << summary.previousVersionCode;
  }
  if (options.rollout) std::cout << ", at rollout " << *options.rollout << " %";
  if (!summary.expires.empty()) std::cout << ", signed, expires " << summary.expires;
  std::cout << "\n";
}

void PrintReSigned(const zavex::PublishOptions& options, const zavex::PublishSummary& summary) {
  PrintWarnings(summary);
  std::cout << "Re-signed version code " << summary.previousVersionCode << " in "
            << options.releaseFolder.u8string() << " (" << summary.fileCount
            << " files unchanged)";
  if (options.rollout) std::cout << " at rollout " << *options.rollout << " %";
  std::cout << ", expires " << summary.expires << "\n";
}

bool ErrorsGoToATerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(STDERR_FILENO) != 0;
#endif
}

// One line on the terminal, rewritten in place: the file being diffed, how
// far, and the time left at the pace so far.
class DiffProgressLine {
 public:
  void Show(const std::string& path, std::uint64_t done, std::uint64_t total) {
    const auto now = std::chrono::steady_clock::now();
    if (path != path_) {
      if (!path_.empty()) std::cerr << "\n";
      path_ = path;
      start_ = now;
    }
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double left = done == 0 ? 0 : seconds * static_cast<double>(total - done) / static_cast<double>(done);
    char line[160];
    std::snprintf(line, sizeof(line), "\rdiff %.60s: %.1f of %.1f MB, %.0f s left   ", path.c_str(), done / 1e6,
                  total / 1e6, left);
    std::cerr << line << std::flush;
  }
  void End() {
    if (!path_.empty()) std::cerr << "\n";
  }

 private:
  std::string path_;
  std::chrono::steady_clock::time_point start_;
};

int GenerateKey(const std::filesystem::path& folder) {
  std::string error;
  if (!zavex::GenerateKeyFiles(folder, error)) {
    std::cerr << "zavex_publish: refused: " << error << "\n";
    return kExitRefused;
  }
  std::cout << "Wrote " << (folder / zavex::kPrivateKeyFileName).u8string()
            << " (private: keep it offline, never publish it) and "
            << (folder / zavex::kPublicKeyFileName).u8string()
            << " (for ZAVEX_RELEASE_PUBLIC_KEYS)\n";
  return kExitPublished;
}

int Run(const std::vector<std::string>& arguments) {
  zavex::PublishCommand command;
  std::string error;
  if (!zavex::ParsePublishCommand(arguments, command, error)) {
    std::cerr << "zavex_publish: " << error << "\nRun zavex_publish --help for the options.\n";
    return kExitUsage;
  }
  if (command.showHelp) {
    std::cout << zavex::PublishHelpText();
    return kExitPublished;
  }
  if (!command.generateKeyFolder.empty()) return GenerateKey(command.generateKeyFolder);
  const std::unique_ptr<zavex::FileHasher> hasher = zavex::CreateSha256FileHasher();
  zavex::PublishSummary summary;
  DiffProgressLine progressLine;
  zavex::DeltaProgress progress;
  if (ErrorsGoToATerminal()) {
    progress = [&progressLine](const std::string& path, std::uint64_t done, std::uint64_t total) {
      progressLine.Show(path, done, total);
    };
  }
  const bool done =
      command.reSign || command.setRollout ? zavex::ReSignRelease(command.options, *hasher, summary, error)
                     : zavex::PublishRelease(command.options, *hasher, summary, error, progress);
  progressLine.End();
  if (!done) {
    std::cerr << "zavex_publish: refused: " << error << "\n";
    return kExitRefused;
  }
  (command.reSign || command.setRollout ? PrintReSigned : PrintPublished)(command.options, summary);
  return kExitPublished;
}

int RunGuarded(const std::vector<std::string>& arguments) {
  try {
    return Run(arguments);
  } catch (const std::exception& failure) {
    std::cerr << "zavex_publish: " << failure.what() << "\n";
    return kExitRefused;
  }
}

}  // namespace

#ifdef _WIN32
namespace {

bool dllSearchRestricted = false;

// Before every other constructor, as in the updater's main.cpp: the stack
// protector's setup loads a crypto provider whose DLLs must come from System32.
__attribute__((constructor(101))) void RestrictDllSearchBeforeAnyLoad() {
  dllSearchRestricted = zavex::RestrictDllSearchToSystem32({L"bcrypt.dll", L"crypt32.dll"});
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  SetConsoleOutputCP(CP_UTF8);
  if (!dllSearchRestricted) {
    std::cerr << "zavex_publish: warning: DLL search not limited to System32\n";
  }
  std::vector<std::string> arguments;
  for (int index = 1; index < argc; ++index) arguments.push_back(zavex::WideToUtf8(argv[index]));
  return RunGuarded(arguments);
}
#else
int main(int argc, char** argv) {
  return RunGuarded(std::vector<std::string>(argv + 1, argv + argc));
}
#endif
