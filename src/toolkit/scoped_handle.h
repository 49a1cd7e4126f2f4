// Scoped owners of the platform's handles. Each handle kind has a traits type
// that says which value means "none" (some APIs use NULL, others
// INVALID_HANDLE_VALUE) and how the handle is released. The owner closes the
// handle through the PlatformOps that opened it, on every way out, including
// the one error the installer raises.
#pragma once

#include <utility>

#include "platform/platform_ops.h"

namespace korvanta {

template <class Traits>
class ScopedHandle {
 public:
  using Type = typename Traits::Type;

  explicit ScopedHandle(PlatformOps& ops) : ops_(&ops), handle_(Traits::None()) {}
  ScopedHandle(PlatformOps& ops, Type handle) : ops_(&ops), handle_(handle) {}
  ~ScopedHandle() { Close(); }

  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ScopedHandle(ScopedHandle&& other) noexcept : ops_(other.ops_), handle_(other.Release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) {
      Close();
      ops_ = other.ops_;
      handle_ = other.Release();
    }
    return *this;
  }

  Type Get() const { return handle_; }
  bool IsValid() const { return handle_ != Traits::None(); }
  explicit operator bool() const { return IsValid(); }

  // Gives up ownership without closing.
  Type Release() {
    Type handle = handle_;
    handle_ = Traits::None();
    return handle;
  }

  // Closes the held handle (if any) and takes a new one.
  void Reset(Type handle = Traits::None()) {
    Close();
    handle_ = handle;
  }

  // For out-parameters of the Win32 style: closes what is held, then hands the
  // address of the empty slot to the API.
  Type* Receive() {
    Close();
    return &handle_;
  }

 private:
  void Close() {
    if (IsValid()) Traits::Close(*ops_, handle_);
    handle_ = Traits::None();
  }

  PlatformOps* ops_;
  Type handle_;
};

struct RegKeyTraits {
  using Type = HKEY;
  static Type None() { return nullptr; }
  static void Close(PlatformOps& ops, Type key) { ops.RegCloseKey(key); }
};

struct ModuleTraits {
  using Type = HMODULE;
  static Type None() { return nullptr; }
  static void Close(PlatformOps& ops, Type module) { ops.FreeLibrary(module); }
};

// OpenProcess returns NULL on failure.
struct ProcessHandleTraits {
  using Type = HANDLE;
  static Type None() { return nullptr; }
  static void Close(PlatformOps& ops, Type handle) { ops.CloseHandle(handle); }
};

// CreateToolhelp32Snapshot returns INVALID_HANDLE_VALUE on failure.
struct SnapshotTraits {
  using Type = HANDLE;
  static Type None() { return INVALID_HANDLE_VALUE; }
  static void Close(PlatformOps& ops, Type handle) { ops.CloseHandle(handle); }
};

// FindFirstFileA returns INVALID_HANDLE_VALUE on failure.
struct FindHandleTraits {
  using Type = HANDLE;
  static Type None() { return INVALID_HANDLE_VALUE; }
  static void Close(PlatformOps& ops, Type handle) { ops.FindClose(handle); }
};

struct LocalMemoryTraits {
  using Type = HLOCAL;
  static Type None() { return nullptr; }
  static void Close(PlatformOps& ops, Type block) { ops.LocalFree(block); }
};

struct SidTraits {
  using Type = PSID;
  static Type None() { return nullptr; }
  static void Close(PlatformOps& ops, Type sid) { ops.FreeSid(sid); }
};

using ScopedRegKey = ScopedHandle<RegKeyTraits>;
using ScopedModule = ScopedHandle<ModuleTraits>;
using ScopedProcessHandle = ScopedHandle<ProcessHandleTraits>;
using ScopedSnapshot = ScopedHandle<SnapshotTraits>;
using ScopedFindHandle = ScopedHandle<FindHandleTraits>;
using ScopedLocalMemory = ScopedHandle<LocalMemoryTraits>;
using ScopedSid = ScopedHandle<SidTraits>;

}  // namespace korvanta
