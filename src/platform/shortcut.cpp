#include "platform/shortcut.h"

#include <windows.h>
#include <objidl.h>
#include <shlobj.h>

#include "platform/unique_handle.h"

namespace zavex {
namespace {

// The target's folder, or empty when the path has no separator.
std::wstring FolderOf(const std::wstring& path) {
  const size_t separator = path.find_last_of(L"\\/");
  return separator == std::wstring::npos ? L"" : path.substr(0, separator);
}

void DescribeLink(IShellLinkW& link, const std::wstring& targetPath,
                  const std::wstring& description, const std::wstring& workingDirectory,
                  const std::wstring& iconPath, const std::wstring& arguments) {
  link.SetPath(targetPath.c_str());
  if (!description.empty()) link.SetDescription(description.c_str());
  const std::wstring startIn = workingDirectory.empty() ? FolderOf(targetPath) : workingDirectory;
  if (!startIn.empty()) link.SetWorkingDirectory(startIn.c_str());
  link.SetIconLocation(iconPath.empty() ? targetPath.c_str() : iconPath.c_str(), 0);
  if (!arguments.empty()) link.SetArguments(arguments.c_str());
}

}  // namespace

bool CreateShortcut(const std::wstring& shortcutPath, const std::wstring& targetPath,
                    const std::wstring& description, const std::wstring& workingDirectory,
                    const std::wstring& iconPath, const std::wstring& arguments) {
  ComPtr<IShellLinkW> link;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              link.put_void()))) {
    return false;
  }
  DescribeLink(*link.get(), targetPath, description, workingDirectory, iconPath, arguments);

  ComPtr<IPersistFile> file;
  if (FAILED(link->QueryInterface(IID_IPersistFile, file.put_void()))) return false;
  return SUCCEEDED(file->Save(shortcutPath.c_str(), TRUE));
}

}  // namespace zavex
