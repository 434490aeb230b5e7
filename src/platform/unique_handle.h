#pragma once

#include <windows.h>
#include <bcrypt.h>
#include <winhttp.h>
#include <oleauto.h>
#include <winsvc.h>

#include <utility>

namespace zavex {

// Move-only owner of one Windows handle. Traits gives the handle type, the
// value that means "no handle" and the function that releases it.
template <typename Traits>
class UniqueHandle {
 public:
  using Handle = typename Traits::Handle;

  UniqueHandle() = default;
  explicit UniqueHandle(Handle handle) : handle_(handle) {}
  ~UniqueHandle() { reset(); }

  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  Handle get() const { return handle_; }
  explicit operator bool() const { return handle_ != Traits::Invalid(); }

  void reset(Handle handle = Traits::Invalid()) {
    if (handle_ != Traits::Invalid()) Traits::Close(handle_);
    handle_ = handle;
  }

  [[nodiscard]] Handle release() { return std::exchange(handle_, Traits::Invalid()); }

  // Closes the handle held and exposes the empty slot for an out-parameter.
  Handle* put() {
    reset();
    return &handle_;
  }

 private:
  Handle handle_ = Traits::Invalid();
};

template <typename H, typename CloseFn, CloseFn Closer, H InvalidValue = nullptr>
struct HandleTraits {
  using Handle = H;
  static Handle Invalid() { return InvalidValue; }
  static void Close(Handle handle) { Closer(handle); }
};

struct FileHandleTraits {  // CreateFileW, CreateToolhelp32Snapshot
  using Handle = HANDLE;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Handle handle) { CloseHandle(handle); }
};

struct FindHandleTraits {  // FindFirstFileW
  using Handle = HANDLE;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Handle handle) { FindClose(handle); }
};

struct BcryptAlgorithmTraits {
  using Handle = BCRYPT_ALG_HANDLE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle handle) { BCryptCloseAlgorithmProvider(handle, 0); }
};

using UniqueFile = UniqueHandle<FileHandleTraits>;
using UniqueSnapshot = UniqueHandle<FileHandleTraits>;
using UniqueFind = UniqueHandle<FindHandleTraits>;
using UniqueKernelHandle = UniqueHandle<HandleTraits<HANDLE, decltype(&CloseHandle), &CloseHandle>>;
using UniqueKey = UniqueHandle<HandleTraits<HKEY, decltype(&RegCloseKey), &RegCloseKey>>;
using UniqueInternet =
    UniqueHandle<HandleTraits<HINTERNET, decltype(&WinHttpCloseHandle), &WinHttpCloseHandle>>;
using UniqueAlgorithm = UniqueHandle<BcryptAlgorithmTraits>;
using UniqueHash =
    UniqueHandle<HandleTraits<BCRYPT_HASH_HANDLE, decltype(&BCryptDestroyHash), &BCryptDestroyHash>>;
using UniqueCryptKey =
    UniqueHandle<HandleTraits<BCRYPT_KEY_HANDLE, decltype(&BCryptDestroyKey), &BCryptDestroyKey>>;
using UniqueLocalMemory = UniqueHandle<HandleTraits<HLOCAL, decltype(&LocalFree), &LocalFree>>;
// A text that WinHTTP's proxy queries hand over, freed with GlobalFree.
using UniqueGlobalText = UniqueHandle<HandleTraits<wchar_t*, decltype(&GlobalFree), &GlobalFree>>;
using UniqueServiceHandle =
    UniqueHandle<HandleTraits<SC_HANDLE, decltype(&CloseServiceHandle), &CloseServiceHandle>>;
using UniqueBstr = UniqueHandle<HandleTraits<BSTR, decltype(&SysFreeString), &SysFreeString>>;
using UniqueGdiObject =
    UniqueHandle<HandleTraits<HGDIOBJ, decltype(&DeleteObject), &DeleteObject>>;
using UniqueFiber = UniqueHandle<HandleTraits<LPVOID, decltype(&DeleteFiber), &DeleteFiber>>;

// COM interface pointer released on every path.
template <typename Interface>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { reset(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ComPtr(ComPtr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) {
      reset();
      ptr_ = std::exchange(other.ptr_, nullptr);
    }
    return *this;
  }

  Interface* get() const { return ptr_; }
  Interface* operator->() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }
  // Releases the current pointer and exposes the slot for an out-parameter.
  Interface** put() {
    reset();
    return &ptr_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }
  void reset() {
    if (ptr_) std::exchange(ptr_, nullptr)->Release();
  }

 private:
  Interface* ptr_ = nullptr;
};

}  // namespace zavex
