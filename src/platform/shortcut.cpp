#include "platform/shortcut.h"

#include <windows.h>
#include <objidl.h>
#include <shlobj.h>

#include "platform/file_system.h"
#include "platform/unique_handle.h"

namespace zavex {
namespace {

void DescribeLink(IShellLinkW& link, const std::wstring& targetPath,
                  const std::wstring& description, const std::wstring& workingDirectory,
                  const std::wstring& iconPath, const std::wstring& arguments) {
  link.SetPath(targetPath.c_str());
  if (!description.empty()) link.SetDescription(description.c_str());
  const std::wstring startIn = workingDirectory.empty() ? ParentFolderOf(targetPath) : workingDirectory;
  if (!startIn.empty()) link.SetWorkingDirectory(startIn.c_str());
  link.SetIconLocation(iconPath.empty() ? targetPath.c_str() : iconPath.c_str(), 0);
  if (!arguments.empty()) link.SetArguments(arguments.c_str());
}

// False, with hr as the thread's last error, when hr is a failure.
bool Succeeded(HRESULT hr) {
  if (SUCCEEDED(hr)) return true;
  SetLastError(static_cast<DWORD>(hr));
  return false;
}

}  // namespace

bool CreateShortcut(const std::wstring& shortcutPath, const std::wstring& targetPath,
                    const std::wstring& description, const std::wstring& workingDirectory,
                    const std::wstring& iconPath, const std::wstring& arguments) {
  ComPtr<IShellLinkW> link;
  if (!Succeeded(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IShellLinkW, link.put_void()))) {
    return false;
  }
  DescribeLink(*link.get(), targetPath, description, workingDirectory, iconPath, arguments);

  ComPtr<IPersistFile> file;
  if (!Succeeded(link->QueryInterface(IID_IPersistFile, file.put_void()))) return false;
  return Succeeded(file->Save(shortcutPath.c_str(), TRUE));
}

}  // namespace zavex
