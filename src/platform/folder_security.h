#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "platform/unique_handle.h"

namespace zavex {

// True when the descriptor's owner is Administrators, SYSTEM or
// TrustedInstaller and its access list lets no one else change the folder
// (write, append, delete, change its attributes, access list or owner), nor,
// through entries that pass only to what is created below it, the files and
// folders it will hold. CREATOR OWNER and denials do not count.
bool DescriptorLetsOnlyAdministratorsChange(PSECURITY_DESCRIPTOR descriptor);

// True when the descriptor of a folder above the installation lets no one but
// administrators move or delete its entries or itself (a volume's root
// itself cannot be), nor change its access list or owner (which would grant
// that). Adding entries does not count: the installation's name is taken,
// and it cannot be moved away.
bool DescriptorLetsOnlyAdministratorsReplaceEntries(PSECURITY_DESCRIPTOR descriptor,
                                                    bool isVolumeRoot);

// The owner and access list of a folder; empty when they cannot be read.
using FolderDescriptorReader = std::function<UniqueLocalMemory(const std::wstring& folder)>;

// True when the folder's descriptor passes DescriptorLetsOnlyAdministratorsChange
// and that of every folder above it, up to its volume's root, passes
// DescriptorLetsOnlyAdministratorsReplaceEntries; read gives the descriptors.
// A volume's root, or a folder whose root cannot be found, is not trusted.
bool OnlyAdministratorsCanChangeWith(const std::wstring& folder,
                                     const FolderDescriptorReader& read);

// The same with the descriptors read from the file system; a link on the way
// counts as a folder whose descriptor cannot be read. Checked again by each
// run that trusts the folder: the answer holds only while it is true.
bool OnlyAdministratorsCanChange(const std::wstring& folder);

// A protected access list, nothing inherited: Administrators and SYSTEM full
// control, Users read and execute, passed on to every folder and file below.
// Empty when it cannot be built.
UniqueLocalMemory ProtectedInstallationDescriptor();

enum class FolderCreation { kCreated, kExisted, kFailed };

// Creates the folder with ProtectedInstallationDescriptor in the same call,
// and any missing folder above it likewise. kExisted when an entry of that
// name was there already: it keeps its access list, and the caller decides
// whether to use it.
FolderCreation CreateProtectedFolder(const std::wstring& path);

}  // namespace zavex
