#pragma once

#include <string>

namespace zavex::test {

// Under Wine, the host's path of a Windows path; empty elsewhere.
std::string HostPathOf(const std::wstring& path);

// Runs a command with the host's /bin/sh and waits for it to end; true when
// it exited with 0. Only under Wine.
bool RunHostShell(const std::string& command);

// A symbolic link to a folder: through Windows, or, where that only
// pretends (Wine), with the host's ln. False when neither is possible.
bool CreateFolderLink(const std::wstring& link, const std::wstring& target);

// text in single quotes, for /bin/sh.
std::string ShellQuoted(const std::string& text);

}  // namespace zavex::test
