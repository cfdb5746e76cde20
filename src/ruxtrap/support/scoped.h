// Scope-bound owners, one type per kind of handle and close function, so every
// path out of a scope gives the handle back. An owner released by a fault guard
// additionally registers a FaultRelease (see fault_guard.h).
#pragma once

#include <windows.h>

#include <utility>

namespace ruxtrap {

// Owner of one value of Traits::Type, closed with Traits::Close unless it is
// Traits::Invalid(). Move-only.
template <class Traits>
class UniqueResource {
 public:
  using Type = typename Traits::Type;
  UniqueResource() : value_(Traits::Invalid()) {}
  explicit UniqueResource(Type value) : value_(value) {}
  ~UniqueResource() { Reset(); }
  UniqueResource(UniqueResource&& other) noexcept : value_(other.Release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;

  Type Get() const { return value_; }
  // Where a call that opens a resource stores it: the owner's own value,
  // released first, so the result is owned from the moment it is stored.
  Type* Put() {
    Reset();
    return &value_;
  }
  bool IsValid() const { return value_ != Traits::Invalid(); }
  Type Release() { return std::exchange(value_, Traits::Invalid()); }
  void Reset(Type value = Traits::Invalid()) {
    if (IsValid()) Traits::Close(value_);
    value_ = value;
  }

 private:
  Type value_;
};

// A kernel handle whose failure value is null (OpenProcess, CreateThread, ...).
struct KernelHandleTraits {
  using Type = HANDLE;
  static Type Invalid() { return nullptr; }
  static void Close(Type h) { ::CloseHandle(h); }
};
using ScopedKernelHandle = UniqueResource<KernelHandleTraits>;

// A handle whose failure value is INVALID_HANDLE_VALUE: files (CreateFileW,
// NtCreateFile's result as the library maps it) and Toolhelp snapshots.
struct FileHandleTraits {
  using Type = HANDLE;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Type h) { ::CloseHandle(h); }
};
using ScopedFileHandle = UniqueResource<FileHandleTraits>;

// A search of a folder, from FindFirstFileW.
struct FindHandleTraits {
  using Type = HANDLE;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Type h) { ::FindClose(h); }
};
using ScopedFind = UniqueResource<FindHandleTraits>;

// The device context of the whole screen, from GetDC(nullptr).
struct ScreenDcTraits {
  using Type = HDC;
  static Type Invalid() { return nullptr; }
  static void Close(Type dc) { ::ReleaseDC(nullptr, dc); }
};
using ScopedScreenDc = UniqueResource<ScreenDcTraits>;

// An open registry key.
struct RegKeyTraits {
  using Type = HKEY;
  static Type Invalid() { return nullptr; }
  static void Close(Type key) { ::RegCloseKey(key); }
};
using ScopedRegKey = UniqueResource<RegKeyTraits>;

// A COM interface pointer, released once.
template <class T>
struct ComTraits {
  using Type = T*;
  static Type Invalid() { return nullptr; }
  static void Close(Type p) { p->Release(); }
};
template <class T>
using ScopedComPtr = UniqueResource<ComTraits<T>>;

}  // namespace ruxtrap
