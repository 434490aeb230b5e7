#pragma once

#include <windows.h>

#include <string>

#include "platform/unique_handle.h"

namespace zavex {

// True when the descriptor's owner is Administrators, SYSTEM or
// TrustedInstaller and its access list lets no one else change the object
// (write, append, delete, change its attributes, access list or owner).
// Entries that only pass to children, and denials, do not count.
bool DescriptorLetsOnlyAdministratorsChange(PSECURITY_DESCRIPTOR descriptor);

// The same for the folder's own owner and access list, read with the
// security APIs; false when they cannot be read.
bool OnlyAdministratorsCanChange(const std::wstring& folder);

// A protected access list, nothing inherited: Administrators and SYSTEM full
// control, Users read and execute, passed on to every folder and file below.
// Empty when it cannot be built.
UniqueLocalMemory ProtectedInstallationDescriptor();

// Creates the folder, and any missing folder above it, with
// ProtectedInstallationDescriptor. True when it was created or already
// exists; a folder that existed keeps its access list.
bool CreateProtectedFolder(const std::wstring& path);

}  // namespace zavex
