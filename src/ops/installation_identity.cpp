#include "ops/installation_identity.h"

#include "base/logger.h"
#include "base/text_conversion.h"
#include "platform/link_safe_file.h"
#include "platform/sha256_hasher.h"
#include "platform/system_random.h"

namespace zavex {
namespace {

// An id is 33 bytes and a channel at most 33: anything larger is not ours.
constexpr std::size_t kMaxIdentityFileBytes = 64;

std::wstring FileInInstallation(const std::wstring& installPath, const char* name) {
  return installPath + L"\\" + Utf8ToWide(name);
}

bool ReadInstallationId(const std::wstring& path, InstallationId& id) {
  std::string text;
  return ReadSmallFileAsItself(path, kMaxIdentityFileBytes, text) && ParseInstallationId(text, id);
}

// A new id from the system's random generator, written to path; kept tells
// whether it was. False when none could be made.
bool MakeInstallationId(const std::wstring& path, InstallationId& id, bool& kept) {
  if (!FillWithSystemRandom(id.data(), id.size())) {
    Logger::Instance().Error("No installation id could be made: the system's random generator failed");
    return false;
  }
  kept = ReplaceFileAsItself(path, InstallationIdText(id));
  if (kept) Logger::Instance().Info("Made a new installation id: " + WideToUtf8(path));
  return true;
}

}  // namespace

bool LoadOrCreateInstallationId(const std::wstring& installPath, InstallationId& id) {
  const std::wstring path = FileInInstallation(installPath, kInstallationIdFileName);
  if (ReadInstallationId(path, id)) return true;
  bool kept = false;
  if (!MakeInstallationId(path, id, kept)) return false;
  if (!kept) {
    Logger::Instance().Warn("A new installation id could not be kept in " + WideToUtf8(path) +
                            ": it serves this run only");
  }
  return true;
}

std::string LoadChannel(const std::wstring& installPath) {
  const std::wstring path = FileInInstallation(installPath, kChannelFileName);
  std::string text;
  if (!ReadSmallFileAsItself(path, kMaxIdentityFileBytes, text)) return {};
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (text.empty() || IsValidChannelName(text)) return text;
  Logger::Instance().Warn("The channel file is malformed: following the default channel");
  return {};
}

bool SaveChannel(const std::wstring& installPath, const std::string& channel) {
  return ReplaceFileAsItself(FileInInstallation(installPath, kChannelFileName), channel + "\n");
}

bool KeepInstallationIdentity(const std::wstring& installPath, const std::string& channel) {
  const std::wstring path = FileInInstallation(installPath, kInstallationIdFileName);
  InstallationId id{};
  bool kept = ReadInstallationId(path, id);
  if (!kept) MakeInstallationId(path, id, kept);
  return kept && SaveChannel(installPath, channel);
}

bool InstallationBucket(const InstallationId& id, std::int32_t versionCode, int& bucket) {
  Sha256Digest digest{};
  if (!HashBytes(RolloutHashInput(id, versionCode), digest)) return false;
  bucket = RolloutBucket(digest);
  return true;
}

ReleaseServer ServerForChannel(ReleaseServer server, const std::string& channel) {
  if (channel.empty()) return server;
  server.baseUrl += Utf8ToWide(std::string(kChannelsFolderName) + "/" + channel + "/");
  server.channel = channel;
  return server;
}

}  // namespace zavex
