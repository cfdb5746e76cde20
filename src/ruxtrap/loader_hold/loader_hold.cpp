#include "loader_hold/loader_hold.h"

#include "probes/loader_lock.h"
#include "support/optional_calls.h"
#include "support/report_progress.h"

namespace ruxtrap {

namespace {

constexpr ULONG kTryOnly = 2;       // LdrLockLoaderLock returns at once
constexpr ULONG kLockAcquired = 1;  // disposition: taken (by us, perhaps again)

bool CanProbe() {
  return Optional().ldrLockLoaderLock != nullptr && Optional().ldrUnlockLoaderLock != nullptr;
}

// Takes the lock without waiting. False when another thread holds it;
// true, with *cookie 0, when the lock cannot be probed.
bool TakeNow(ULONG_PTR* cookie) {
  ULONG disposition = 0;
  *cookie = 0;
  if (!CanProbe() || Optional().ldrLockLoaderLock(kTryOnly, &disposition, cookie) != 0) {
    *cookie = 0;
    return true;  // cannot tell
  }
  return disposition == kLockAcquired;
}

void GiveBack(ULONG_PTR* cookie) {
  if (*cookie != 0) Optional().ldrUnlockLoaderLock(0, *cookie);
  *cookie = 0;
}

}  // namespace

LoaderLockHold::LoaderLockHold() : pending_(false), allowed_(true), cookie_(0) {
  pending_ = !TakeNow(&cookie_);
  allowed_ = !pending_;
}

LoaderLockHold::~LoaderLockHold() { GiveBack(&cookie_); }

bool LoaderLockHold::CallsAllowed() {
  if (pending_) {
    pending_ = false;
    allowed_ = TakeWithin(kLoaderLockWaitMs);
  }
  return allowed_;
}

void LoaderLockHold::DenyCalls() {
  pending_ = false;
  allowed_ = false;
}

// A thread that loads one module after another gives the lock back for a
// few microseconds between loads: only a probe that comes round again at
// once may find it free then, and on a busy machine even that may miss it
// for long. So the wait lasts while the loader is seen adding or removing
// modules, up to its own bound, by which a program's start-up has usually
// loaded what it loads; a lock held for good, with the list at rest, costs
// waitMs. Yielding keeps the holder running where it shares this processor.
bool LoaderLockHold::TakeWithin(DWORD waitMs) {
  const DWORD start = GetTickCount();
  DWORD lastChange = start;
  const void* last = LastLoadedModule();
  for (;;) {
    if (TakeNow(&cookie_)) return true;
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

LoaderLockTakenAtOnce::LoaderLockTakenAtOnce() : cookie_(0) {
  if (!TakeNow(&cookie_)) cookie_ = 0;
}

LoaderLockTakenAtOnce::~LoaderLockTakenAtOnce() { GiveBack(&cookie_); }

}  // namespace ruxtrap
