#include "publish/publish_options.h"

#include <algorithm>
#include <ctime>
#include <limits>
#include <set>

#include "formats/rollout.h"

namespace zavex {
namespace {

enum class Option {
  Version,
  VersionCode,
  ReleaseDate,
  ReleaseNotes,
  MinVersion,
  Optional,
  SigningKey,
  GenerateKey,
  ExpiresIn,
  ReSign,
  X64Updater,
  PatchHistory,
  PatchFormats,
  Rollout,
  SetRollout,
  Halt,
  CriticalBelow,
  Channel
};

struct OptionName {
  const char* text;
  Option option;
};

constexpr OptionName kOptionNames[] = {
    {"--version", Option::Version},          {"--version-code", Option::VersionCode},
    {"--release-date", Option::ReleaseDate}, {"--release-notes", Option::ReleaseNotes},
    {"--min-version", Option::MinVersion},   {"--optional", Option::Optional},
    {"--signing-key", Option::SigningKey},   {"--generate-key", Option::GenerateKey},
    {"--expires-in", Option::ExpiresIn},     {"--re-sign", Option::ReSign},
    {"--x64-updater", Option::X64Updater},   {"--patch-history", Option::PatchHistory},
    {"--patch-formats", Option::PatchFormats},
    {"--rollout", Option::Rollout},          {"--set-rollout", Option::SetRollout},
    {"--halt", Option::Halt},                {"--critical-below", Option::CriticalBelow},
    {"--channel", Option::Channel},
};

bool IsHelpRequest(const std::string& argument) {
  return argument == "--help" || argument == "-h";
}

// Options that take no value.
bool IsFlag(Option option) {
  return option == Option::ReSign || option == Option::X64Updater || option == Option::Halt;
}

bool FindOption(const std::string& name, Option& option) {
  for (const OptionName& known : kOptionNames) {
    if (name == known.text) {
      option = known.option;
      return true;
    }
  }
  return false;
}

constexpr int kMostPatchHistory = 100;

// Digits only, from lowest to highest.
bool ParseWholeNumber(const std::string& text, std::int32_t lowest, std::int32_t highest, std::int32_t& number) {
  if (text.empty() || text.size() > 10) return false;
  if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  const long long value = std::stoll(text);
  if (value < lowest || value > highest) return false;
  number = static_cast<std::int32_t>(value);
  return true;
}

bool ApplyVersionCode(const std::string& name, const std::string& value, std::int32_t& code,
                      std::string& error) {
  if (ParseWholeNumber(value, 1, std::numeric_limits<std::int32_t>::max(), code)) return true;
  error = name + " needs a whole number from 1 to 2147483647, not \"" + value + "\"";
  return false;
}

// A fraction such as "0.5" is refused, never read as 0.
bool ApplyPercentage(const std::string& name, const std::string& value, PublishOptions& options,
                     std::string& error) {
  std::int32_t percentage = 0;
  if (!ParseWholeNumber(value, 0, 100, percentage)) {
    error = name + " needs a whole number from 0 to 100, not \"" + value + "\"";
    return false;
  }
  options.rollout = percentage;
  return true;
}

bool ApplyChannel(const std::string& value, PublishOptions& options, std::string& error) {
  if (!IsValidChannelName(value)) {
    error = "--channel needs 1 to " + std::to_string(kMaxChannelNameChars) +
            " letters, digits and -, not \"" + value + "\"";
    return false;
  }
  options.channel = value;
  return true;
}

bool ApplyPath(const std::string& name, const std::string& value, std::filesystem::path& path,
               std::string& error) {
  if (value.empty()) {
    error = name + " needs a path";
    return false;
  }
  path = std::filesystem::u8path(value);
  return true;
}

bool ApplyOption(Option option, const std::string& value, PublishCommand& command,
                 std::string& error) {
  PublishOptions& options = command.options;
  switch (option) {
    case Option::Version: options.version = value; break;
    case Option::ReleaseDate: options.releaseDate = value; break;
    case Option::ReleaseNotes: options.releaseNotes = value; break;
    case Option::MinVersion: options.minVersion = value; break;
    case Option::Optional: options.optionalPatterns.push_back(value); break;
    case Option::SigningKey:
      return ApplyPath("--signing-key", value, options.signingKeyFile, error);
    case Option::GenerateKey:
      return ApplyPath("--generate-key", value, command.generateKeyFolder, error);
    case Option::PatchHistory:
      if (!ParseWholeNumber(value, 0, kMostPatchHistory, options.patchHistory)) {
        error = "--patch-history needs a whole number from 0 to " + std::to_string(kMostPatchHistory) + ", not \"" +
                value + "\"";
        return false;
      }
      break;
    case Option::PatchFormats:
      if (value != "both" && value != "new") {
        error = "--patch-formats needs both or new, not \"" + value + "\"";
        return false;
      }
      options.seekingPatches = value == "both";
      break;
    case Option::VersionCode: return ApplyVersionCode("--version-code", value, options.versionCode, error);
    case Option::ExpiresIn:
      if (!ParseWholeNumber(value, 1, kMaxExpiryDays, options.expiresInDays)) {
        error = "--expires-in needs a number of days from 1 to " + std::to_string(kMaxExpiryDays) +
                ", not \"" + value + "\"";
        return false;
      }
      break;
    case Option::ReSign: command.reSign = true; break;
    case Option::Rollout: return ApplyPercentage("--rollout", value, options, error);
    case Option::SetRollout:
      command.setRollout = true;
      return ApplyPercentage("--set-rollout", value, options, error);
    case Option::Halt:
      command.setRollout = true;
      options.rollout = 0;
      break;
    case Option::CriticalBelow:
      return ApplyVersionCode("--critical-below", value, options.criticalBelow, error);
    case Option::Channel: return ApplyChannel(value, options, error);
    case Option::X64Updater: options.x64Updater = true; break;
  }
  return true;
}

// Reads "--name=value" or "--name value" at arguments[index]; index ends on
// the last argument used.
bool ReadOption(const std::vector<std::string>& arguments, std::size_t& index,
                std::set<Option>& given, PublishCommand& command, std::string& error) {
  const std::string& argument = arguments[index];
  const std::size_t equals = argument.find('=');
  const std::string name = argument.substr(0, equals);
  Option option;
  if (!FindOption(name, option)) {
    error = "unknown option " + name;
    return false;
  }
  if (option != Option::Optional && !given.insert(option).second) {
    error = name + " is given more than once";
    return false;
  }
  if (IsFlag(option)) {
    if (equals != std::string::npos) error = name + " takes no value";
    return error.empty() && ApplyOption(option, "", command, error);
  }
  if (equals != std::string::npos) {
    return ApplyOption(option, argument.substr(equals + 1), command, error);
  }
  if (index + 1 == arguments.size()) {
    error = name + " needs a value";
    return false;
  }
  return ApplyOption(option, arguments[++index], command, error);
}

// --re-sign, --set-rollout and --halt take the key, the expiry, the channel
// and the release folder, nothing else.
bool CheckReSign(const std::string& mode, Option modeOption, const std::vector<std::string>& folders,
                 const std::set<Option>& given, std::string& error) {
  for (const Option option : given) {
    if (option != modeOption && option != Option::SigningKey && option != Option::ExpiresIn &&
        option != Option::Channel) {
      error = mode + " takes only --signing-key, --expires-in, --channel and the release folder";
      return false;
    }
  }
  if (given.count(Option::SigningKey) == 0) {
    error = mode + " needs --signing-key";
  } else if (folders.size() != 1) {
    error = mode + " expects the release folder alone, got " + std::to_string(folders.size()) +
            " folder argument(s)";
  }
  return error.empty();
}

// The re-signing mode given, if any; false when more than one is.
bool FindReSignMode(const std::set<Option>& given, std::string& mode, Option& option,
                    std::string& error) {
  constexpr OptionName kModes[] = {{"--re-sign", Option::ReSign},
                                   {"--set-rollout", Option::SetRollout},
                                   {"--halt", Option::Halt}};
  for (const OptionName& known : kModes) {
    if (given.count(known.option) == 0) continue;
    if (!mode.empty()) {
      error = mode + " and " + known.text + " cannot be given together";
      return false;
    }
    mode = known.text;
    option = known.option;
  }
  return true;
}

bool CheckComplete(const std::vector<std::string>& folders, const std::set<Option>& given,
                   const PublishOptions& options, std::string& error) {
  if (given.count(Option::GenerateKey) != 0) {
    if (given.size() != 1 || !folders.empty()) error = "--generate-key takes no other argument";
    return error.empty();
  }
  std::string mode;
  Option modeOption = Option::ReSign;
  if (!FindReSignMode(given, mode, modeOption, error)) return false;
  if (!mode.empty()) return CheckReSign(mode, modeOption, folders, given, error);
  if (folders.size() != 2) {
    error = "expected the build folder and the release folder, got " +
            std::to_string(folders.size()) + " folder argument(s)";
  } else if (options.version.empty()) {
    error = "--version is required and must not be empty";
  } else if (given.count(Option::VersionCode) == 0) {
    error = "--version-code is required";
  }
  return error.empty();
}

}  // namespace

bool ParsePublishCommand(const std::vector<std::string>& arguments, PublishCommand& command,
                         std::string& error) {
  command = PublishCommand();
  if (std::any_of(arguments.begin(), arguments.end(), IsHelpRequest)) {
    command.showHelp = true;
    return true;
  }
  std::set<Option> given;
  std::vector<std::string> folders;
  bool optionsEnded = false;
  for (std::size_t index = 0; index < arguments.size(); ++index) {
    const std::string& argument = arguments[index];
    if (!optionsEnded && argument == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && argument.rfind("--", 0) == 0) {
      if (!ReadOption(arguments, index, given, command, error)) return false;
    } else {
      folders.push_back(argument);
    }
  }
  PublishOptions& options = command.options;
  if (!CheckComplete(folders, given, options, error)) return false;
  if (!command.generateKeyFolder.empty()) return true;
  const bool reSigns = command.reSign || command.setRollout;
  options.releaseFolder = std::filesystem::u8path(folders[reSigns ? 0 : 1]);
  if (!options.channel.empty()) {
    options.releaseFolder /= std::filesystem::path(kChannelsFolderName) / options.channel;
  }
  if (reSigns) return true;
  options.buildFolder = std::filesystem::u8path(folders[0]);
  if (given.count(Option::ReleaseDate) == 0) options.releaseDate = TodayUtcDate();
  return true;
}

std::string TodayUtcDate() {
  const std::time_t now = std::time(nullptr);
  char text[16] = {};
  std::strftime(text, sizeof(text), "%Y-%m-%d", std::gmtime(&now));
  return text;
}

std::string PublishHelpText() {
  return R"(zavex_publish: turns one build of Zavex Phone into a release folder that any
static web server can serve to zavex_updater.exe.

Usage:
  zavex_publish --version=TEXT --version-code=N [options] BUILD_FOLDER RELEASE_FOLDER

Every file below BUILD_FOLDER is copied to RELEASE_FOLDER under the same
relative path, and RELEASE_FOLDER/manifest.json lists each file with its path
(forward slashes), SHA-256, size and whether it is required. A top-level
zavex_updater.exe is the updater that installed copies put in place of
themselves (how a change of the release keys reaches them). Serve
RELEASE_FOLDER at the program's server address, so that each file is found at
that address followed by its path.

Options (each also as "--name value"):
  --version=TEXT        version name shown to users, e.g. 1.1.0 (required)
  --version-code=N      version number, 1 to 2147483647 (required); it must be
                        above the one already published in RELEASE_FOLDER,
                        because installed copies update only to a higher one
  --release-date=TEXT   release date text (default: today in UTC, YYYY-MM-DD)
  --release-notes=TEXT  release notes text (default: empty)
  --min-version=TEXT    oldest version this release applies to (default: empty)
  --optional=PATTERN    files that match are not required: a failed download of
                        them does not stop an installation. Repeatable. "*"
                        matches within a folder name, "**" across folders, "?"
                        one character; a pattern without "/" is matched against
                        the file name in every folder (--optional='*.pdb').
  --signing-key=FILE    sign the release with this private key (PEM PKCS#8,
                        ECDSA P-256): RELEASE_FOLDER/manifest.json.sig is
                        written with manifest.json, which then says when it
                        expires. Without it no signature is published, and an
                        updater built with release keys refuses the release.
  --expires-in=DAYS     a signed manifest expires this many days after
                        publishing (default: 90, at most 3650); updaters built
                        with release keys refuse it after that, so re-sign or
                        publish again before then
  --x64-updater         a top-level zavex_updater.exe is built for x86-64 (the
                        64-bit test and demo builds); without it, it must be
                        built for x86 (i386), as the shipped updater is, which
                        runs on 32-bit and 64-bit Windows
  --patch-history=N     patches from the versions of each changed file in the
                        last N releases (default 3, 0 for none); see below
  --patch-formats=both|new
                        both (default): each patch in the format every
                        updater reads and as a forward patch, which newer
                        updaters apply reading the installed file once, in
                        order; new: forward patches only, once no installed
                        copy is older than forward patches
  --rollout=N           only N % of the installations take the release, a whole
                        number from 0 to 100 (default 100); each installation
                        is placed by a random id of its own, anew for each
                        version code. 0 halts the release: no installation
                        takes it, not even on request
  --critical-below=CODE installations below this version code take the release
                        at once, whatever the rollout (not when halted)
  --channel=NAME        publish into RELEASE_FOLDER/channels/NAME, the folder
                        that installations following channel NAME read (1 to
                        32 letters, digits and -)
  --help, -h            this text

  zavex_publish --re-sign --signing-key=FILE [--expires-in=DAYS] RELEASE_FOLDER
    signs the release in RELEASE_FOLDER anew with a new expiry; its files and
    every other field of its manifest stay as they are.

  zavex_publish --set-rollout=N --signing-key=FILE [--channel=NAME] RELEASE_FOLDER
  zavex_publish --halt --signing-key=FILE [--channel=NAME] RELEASE_FOLDER
    re-signs the live release as --re-sign does, with rollout N (--halt: 0);
    every published file stays byte for byte as it is.

  zavex_publish --generate-key=FOLDER
    writes a new key pair into FOLDER: release-signing-key.pem (private, only
    for the current user; keep it offline) and release-signing-key.pub.pem
    (for ZAVEX_RELEASE_PUBLIC_KEYS when building the updater). Existing files
    are never overwritten.

Refusals (nothing is written, the previous release stays as it was):
  - an empty BUILD_FOLDER, or one that holds links (to files or folders) or
    special files;
  - a file of 4 GiB or more;
  - a top-level zavex_updater.exe that is not a Windows executable for x86
    (i386), or for x86-64 with --x64-updater;
  - a path the updater cannot install: characters Windows does not allow in
    names or that a URL would misread (< > : " \ | ? * % # and control
    characters), names ending in a dot or blank, device names (CON, NUL,
    COM1, ...), invalid UTF-8, two paths that differ only in letter case, the
    updater's own names at the top (manifest.json, manifest.json.sig,
    zavex_updater.log, zavex_delta, zavex_installation.id,
    zavex_channel.txt, channels), and names ending in .old or .tmp,
    which the updater deletes as leftovers;
  - a RELEASE_FOLDER that holds files but no readable manifest.json, or the
    build folder itself, or a folder inside or around it;
  - a --version-code not above the published one;
  - a --signing-key file that is not a P-256 private key in PEM PKCS#8.

Beside the files, RELEASE_FOLDER/zavex_delta holds what lets an update fetch
less: a compressed copy of every file, named by its SHA-256; for each changed
file, a patch from each of its versions in the last N releases, named by both
SHA-256s, when smaller than the compressed copy; the manifests of those
releases; and index.json, which lists the copies and patches with their sizes
(forward patches in a list of their own, which older updaters do not read).
Copies and patches that no kept manifest names are dropped. Diffing takes
minutes for large files; on a terminal the publisher shows its progress.

The new release is written into a temporary folder beside RELEASE_FOLDER and
then put in its place, so a web server never serves half a release.

Exit codes: 0 published, 1 refused or failed, 2 invalid command line.
)";
}

}  // namespace zavex
