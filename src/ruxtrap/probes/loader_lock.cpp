#include "probes/loader_lock.h"

#include "support/function_cast.h"
#include "support/report_progress.h"
#include "support/thread_block.h"

namespace ruxtrap {

namespace {

using LockLoaderFn = LONG(NTAPI*)(ULONG flags, ULONG* disposition, ULONG_PTR* cookie);
using UnlockLoaderFn = LONG(NTAPI*)(ULONG flags, ULONG_PTR cookie);

constexpr ULONG kTryOnly = 2;        // LdrLockLoaderLock returns at once
constexpr ULONG kLockAcquired = 1;   // disposition: taken (by us, perhaps again)

struct LoaderLockBinding {
  LockLoaderFn lock;
  UnlockLoaderFn unlock;
} loader;

bool loaderCallsAllowed = true;
// The report began without the lock and has not waited for it yet.
bool holdPending = false;
// The cookie of the hold TakeLoaderLockWithin took; 0 when none.
ULONG_PTR heldCookie = 0;

// Takes the lock without waiting. False when another thread holds it;
// true, with *cookie 0, when the lock cannot be probed.
bool TakeLoaderLockNow(ULONG_PTR* cookie) {
  ULONG disposition = 0;
  *cookie = 0;
  if (loader.lock(kTryOnly, &disposition, cookie) != 0) {
    *cookie = 0;
    return true;  // cannot tell
  }
  return disposition == kLockAcquired;
}

}  // namespace

void BindLoaderLockProbe() {
  if (loader.lock != nullptr && loader.unlock != nullptr) return;
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) return;
  loader.lock = FunctionCast<LockLoaderFn>(GetProcAddress(ntdll, "LdrLockLoaderLock"));
  loader.unlock = FunctionCast<UnlockLoaderFn>(GetProcAddress(ntdll, "LdrUnlockLoaderLock"));
}

namespace {

// The head of the loader's list of modules, in the order of their memory.
const LIST_ENTRY* LoadedModules() { return &CurrentThreadBlock()->process->loaderData->InMemoryOrderModuleList; }

// The last entry of the loader's list of modules: it changes with every
// module loaded or unloaded. One aligned pointer, read without the lock.
const void* LastLoadedModule() {
  const LIST_ENTRY* head = LoadedModules();
  return *static_cast<const void* const volatile*>(static_cast<const void*>(&head->Blink));
}

}  // namespace

// A thread that loads one module after another gives the lock back for a
// few microseconds between loads: only a probe that comes round again at
// once may find it free then, and on a busy machine even that may miss it
// for long. So the wait lasts while the loader is seen adding or removing
// modules, up to its own bound, by which a program's start-up has usually
// loaded what it loads; a lock held for good, with the list at rest, costs
// waitMs. Yielding keeps the holder running where it shares this processor.
bool TakeLoaderLockWithin(DWORD waitMs) {
  if (loader.lock == nullptr || loader.unlock == nullptr) return true;
  const DWORD start = GetTickCount();
  DWORD lastChange = start;
  const void* last = LastLoadedModule();
  for (;;) {
    if (TakeLoaderLockNow(&heldCookie)) return true;
    const DWORD now = GetTickCount();
    if (const void* seen = LastLoadedModule(); seen != last) {
      last = seen;
      lastChange = now;
      NoteReportProgress();
    }
    if (now - lastChange >= waitMs || now - start >= kMostLoaderLockWaitMs) return false;
    SwitchToThread();
  }
}

bool ReleaseTakenLoaderLock() {
  if (heldCookie == 0) return false;
  loader.unlock(0, heldCookie);
  heldCookie = 0;
  return true;
}

LoaderLockTakenAtOnce::LoaderLockTakenAtOnce() : cookie_(0) {
  if (loader.lock != nullptr && loader.unlock != nullptr && !TakeLoaderLockNow(&cookie_)) cookie_ = 0;
}

LoaderLockTakenAtOnce::~LoaderLockTakenAtOnce() {
  if (cookie_ != 0) loader.unlock(0, cookie_);
}

// A full name's last part, as the base name.
UNICODE_STRING BaseNameOf(const UNICODE_STRING& fullName) {
  USHORT chars = fullName.Length / sizeof(wchar_t), start = chars;
  while (start > 0 && fullName.Buffer[start - 1] != L'\\' && fullName.Buffer[start - 1] != L'/') --start;
  const USHORT bytes = static_cast<USHORT>((chars - start) * sizeof(wchar_t));
  return {bytes, bytes, fullName.Buffer + start};
}

void ForEachLoadedModule(void (*visit)(HMODULE module, const UNICODE_STRING& baseName)) {
  if (loader.lock == nullptr || loader.unlock == nullptr) return;
  ULONG_PTR cookie = 0;
  if (loader.lock(0, nullptr, &cookie) != 0) return;
  const LIST_ENTRY* head = LoadedModules();
  for (const LIST_ENTRY* link = head->Flink; link != head; link = link->Flink) {
    const auto* entry = CONTAINING_RECORD(link, LDR_DATA_TABLE_ENTRY, InMemoryOrderLinks);
    visit(static_cast<HMODULE>(entry->DllBase), BaseNameOf(entry->FullDllName));
  }
  loader.unlock(0, cookie);
}

bool ThisThreadHoldsLoaderLock() {
  const RTL_CRITICAL_SECTION* lock = CurrentThreadBlock()->process->loaderLock;
  return lock != nullptr &&
         reinterpret_cast<ULONG_PTR>(lock->OwningThread) == static_cast<ULONG_PTR>(GetCurrentThreadId());
}

void BeginLoaderLockHold() {
  holdPending = !TakeLoaderLockWithin(0);
  loaderCallsAllowed = !holdPending;
}

bool LoaderCallsAllowed() {
  if (holdPending) {
    holdPending = false;
    loaderCallsAllowed = TakeLoaderLockWithin(kLoaderLockWaitMs);
  }
  return loaderCallsAllowed;
}

void AllowLoaderCalls(bool allowed) {
  holdPending = false;
  loaderCallsAllowed = allowed;
}

}  // namespace ruxtrap
