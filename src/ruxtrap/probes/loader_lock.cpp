#include "probes/loader_lock.h"

#include "support/function_cast.h"

namespace ruxtrap {

namespace {

using LockLoaderFn = LONG(NTAPI*)(ULONG flags, ULONG* disposition, ULONG_PTR* cookie);
using UnlockLoaderFn = LONG(NTAPI*)(ULONG flags, ULONG_PTR cookie);

constexpr ULONG kTryOnly = 2;        // LdrLockLoaderLock returns at once
constexpr ULONG kLockAcquired = 1;   // disposition: taken (by us, perhaps again)
constexpr DWORD kPollMs = 10;

struct LoaderLockBinding {
  LockLoaderFn lock;
  UnlockLoaderFn unlock;
} loader;

bool loaderCallsAllowed = true;

// Takes the lock without waiting and gives it straight back.
bool LoaderLockFreeNow() {
  ULONG disposition = 0;
  ULONG_PTR cookie = 0;
  if (loader.lock(kTryOnly, &disposition, &cookie) != 0) return true;  // cannot tell
  if (disposition != kLockAcquired) return false;
  loader.unlock(0, cookie);
  return true;
}

}  // namespace

void BindLoaderLockProbe() {
  if (loader.lock != nullptr && loader.unlock != nullptr) return;
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) return;
  loader.lock = FunctionCast<LockLoaderFn>(GetProcAddress(ntdll, "LdrLockLoaderLock"));
  loader.unlock = FunctionCast<UnlockLoaderFn>(GetProcAddress(ntdll, "LdrUnlockLoaderLock"));
}

bool LoaderLockFreeWithin(DWORD waitMs) {
  if (loader.lock == nullptr || loader.unlock == nullptr) return true;
  const DWORD start = GetTickCount();
  for (;;) {
    if (LoaderLockFreeNow()) return true;
    if (GetTickCount() - start >= waitMs) return false;
    Sleep(kPollMs);
  }
}

bool LoaderCallsAllowed() { return loaderCallsAllowed; }
void AllowLoaderCalls(bool allowed) { loaderCallsAllowed = allowed; }

}  // namespace ruxtrap
