#pragma once

namespace zavex {

// The names that identify the product on the machine, each spelled here only.

// The shortcuts, the Start menu folder, the installed-programs entry and the
// title of the application's main window.
inline constexpr wchar_t kProductName[] = L"Zavex Phone";
// The default installation folder's name under Program Files.
inline constexpr wchar_t kProductFolderName[] = L"ZavexPhone";
inline constexpr wchar_t kPublisherName[] = L"Quorvane";
// The service that applies signed updates for users who are not administrators.
inline constexpr wchar_t kUpdateServiceName[] = L"ZavexPhoneUpdate";
inline constexpr wchar_t kUpdateServiceDisplayName[] = L"Zavex Phone Update";

inline constexpr wchar_t kApplicationExeName[] = L"zavexphone.exe";
inline constexpr wchar_t kUpdaterExeName[] = L"zavex_updater.exe";
inline constexpr wchar_t kLogFileName[] = L"zavex_updater.log";
// The manifest: on the server, and as the record of what is installed at the
// top of the installation folder.
inline constexpr wchar_t kManifestFileName[] = L"manifest.json";

}  // namespace zavex
