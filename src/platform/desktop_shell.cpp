#include "platform/desktop_shell.h"

#include <windows.h>
#include <exdisp.h>
#include <oleauto.h>
#include <servprov.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>
#include <shobjidl.h>

#include "platform/unique_handle.h"

namespace zavex {
namespace {

// A VARIANT cleared on every path.
class Variant {
 public:
  Variant() { VariantInit(&value); }
  explicit Variant(const std::wstring& text) : Variant() {
    value.vt = VT_BSTR;
    value.bstrVal = SysAllocString(text.c_str());
  }
  explicit Variant(int number) : Variant() {
    value.vt = VT_I4;
    value.lVal = number;
  }
  ~Variant() { VariantClear(&value); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;

  VARIANT* get() { return &value; }
  const VARIANT& operator*() const { return value; }

 private:
  VARIANT value;
};

// The folder view of the desktop window that the shell shows.
ComPtr<IShellFolderViewDual> DesktopFolderView() {
  ComPtr<IShellFolderViewDual> folderView;
  ComPtr<IShellWindows> windows;
  if (FAILED(CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                              windows.put_void()))) {
    return folderView;
  }
  Variant desktop(CSIDL_DESKTOP);
  Variant none;
  long window = 0;
  ComPtr<IDispatch> found;
  if (windows->FindWindowSW(desktop.get(), none.get(), SWC_DESKTOP, &window, SWFO_NEEDDISPATCH,
                            found.put()) != S_OK || !found) {
    return folderView;
  }
  ComPtr<IServiceProvider> provider;
  ComPtr<IShellBrowser> browser;
  ComPtr<IShellView> view;
  ComPtr<IDispatch> background;
  if (FAILED(found->QueryInterface(IID_IServiceProvider, provider.put_void())) ||
      FAILED(provider->QueryService(SID_STopLevelBrowser, IID_IShellBrowser, browser.put_void())) ||
      FAILED(browser->QueryActiveShellView(view.put())) ||
      FAILED(view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, background.put_void()))) {
    return folderView;
  }
  background->QueryInterface(IID_IShellFolderViewDual, folderView.put_void());
  return folderView;
}

}  // namespace

bool OpenThroughDesktopShell(const std::wstring& file, const std::wstring& folder) {
  const ComPtr<IShellFolderViewDual> folderView = DesktopFolderView();
  if (!folderView) return false;
  ComPtr<IDispatch> application;
  ComPtr<IShellDispatch2> shell;
  if (FAILED(folderView->get_Application(application.put())) || !application ||
      FAILED(application->QueryInterface(IID_IShellDispatch2, shell.put_void()))) {
    return false;
  }
  BSTR fileText = SysAllocString(file.c_str());
  Variant arguments;
  Variant workingFolder(folder);
  Variant operation(std::wstring(L"open"));
  Variant show(SW_SHOWNORMAL);
  const HRESULT result =
      shell->ShellExecute(fileText, *arguments, *workingFolder, *operation, *show);
  SysFreeString(fileText);
  return SUCCEEDED(result);
}

}  // namespace zavex
