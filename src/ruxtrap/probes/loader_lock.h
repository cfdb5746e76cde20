// The loader lock and the report.
//
// Many platform calls wait for the process's loader lock: they load or look
// up a module, or set up a part of the system on first use. A thread that
// holds the lock for good (a DllMain waiting for the crashed thread, say)
// would hang such a report for ever, and _exit too, which takes the lock to
// detach the DLLs. The crash filter takes the lock itself, waiting a short
// while for another thread to give it back, and keeps it for the report and
// the end of the process: a thread that starts loading a DLL after the crash
// then cannot hold up a later query or _exit. Only the DirectX query runs
// with the hold given back, since its provider may wait for threads of its
// own, and no thread can start while another holds the lock; a thread that
// takes the lock for good in that moment still holds the report up. If
// another thread still holds the lock after the wait, the report leaves out
// what needs it (the symbol handler with the call stack, the display and
// DirectX lines, system messages) and ends the process without detaching. A
// thread that holds the lock itself can take it again, so its report stays
// whole.
#pragma once

#include <windows.h>

namespace ruxtrap {

// How long a report waits for another thread to give the loader lock back
// before it leaves out what needs the lock.
constexpr DWORD kLoaderLockWaitMs = 2000;

// Whether the report in progress may make calls that wait for the loader
// lock. True outside a report.
bool LoaderCallsAllowed();
void AllowLoaderCalls(bool allowed);

// Binds the loader's lock calls of NTDLL. At InitRuxtrap, never in a crash.
void BindLoaderLockProbe();

// Takes the loader lock, waiting at most waitMs for another thread to give it
// back, and keeps it until ReleaseTakenLoaderLock. False when another thread
// held it all along; true as well where the lock cannot be probed.
bool TakeLoaderLockWithin(DWORD waitMs);
// Gives back what TakeLoaderLockWithin took, if anything; true if it did.
bool ReleaseTakenLoaderLock();

// Gives the report's hold on the loader lock back for a scope, and takes it
// again at the scope's end with the bounded wait; when it cannot be had
// again, the rest of the report leaves out what needs it. For a query that
// may wait for a thread of its own: no thread can start while another one
// holds the loader lock.
class LoaderLockReleasedScope {
 public:
  LoaderLockReleasedScope() : released_(ReleaseTakenLoaderLock()) {}
  ~LoaderLockReleasedScope() {
    if (released_ && !TakeLoaderLockWithin(kLoaderLockWaitMs)) AllowLoaderCalls(false);
  }
  LoaderLockReleasedScope(const LoaderLockReleasedScope&) = delete;
  LoaderLockReleasedScope& operator=(const LoaderLockReleasedScope&) = delete;

 private:
  bool released_;
};

// Whether the calling thread holds the loader lock (taken by itself or by
// the loader it runs under).
bool ThisThreadHoldsLoaderLock();


}  // namespace ruxtrap
