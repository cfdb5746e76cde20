// The loader lock and the report.
//
// Many platform calls wait for the process's loader lock: they load or look
// up a module, or set up a part of the system on first use. A thread that
// holds the lock for good (a DllMain waiting for the crashed thread, say)
// would hang such a report for ever, and _exit too, which takes the lock to
// detach the DLLs. The crash filter takes the lock itself, waiting a short
// while for another thread to give it back, and keeps it for the whole
// report and the end of the process: a thread that starts loading a DLL
// after the crash then cannot hold up a later query or _exit, and a thread
// that ends the process (ExitProcess takes the lock first) waits until the
// report has ended it with the report's exit code. No thread can start while
// the report holds the lock, so a query that needs a thread of its own
// cannot be made (the DirectX query in the multi-threaded COM apartment is
// left out). If another thread still holds the lock after the wait, the
// report leaves out what needs it (the symbol handler with the call stack,
// the display and DirectX lines, system messages) and ends the process
// without detaching. A thread that holds the lock itself can take it again,
// so its report stays whole.
#pragma once

#include <windows.h>
// windows.h first
#include <winternl.h>

namespace ruxtrap {

// How long a report waits for another thread to give the loader lock back
// before it leaves out what needs the lock: that long after the loader last
// added or removed a module, and never longer than kMostLoaderLockWaitMs.
constexpr DWORD kLoaderLockWaitMs = 2000;
constexpr DWORD kMostLoaderLockWaitMs = 10000;

// Starts the report's hold on the loader lock: takes the lock at once when
// no other thread holds it. Otherwise the bounded wait for it is left to the
// report's first call that needs the lock (LoaderCallsAllowed), so that the
// lines that need none are on disk before it: a thread that ends the process
// meanwhile gets the lock before the report can.
void BeginLoaderLockHold();

// Whether the report in progress may make calls that wait for the loader
// lock; the first question after BeginLoaderLockHold that finds the lock
// held elsewhere waits for it (bounded as above). True outside a report.
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

// The loader lock taken for a scope without waiting, where no other thread
// holds it: a handler whose next thread may end the process at any moment
// (a runtime end's, while another thread's abort goes straight to the
// process's end) takes it before anything else, so that the end waits.
class LoaderLockTakenAtOnce {
 public:
  LoaderLockTakenAtOnce();
  ~LoaderLockTakenAtOnce();
  LoaderLockTakenAtOnce(const LoaderLockTakenAtOnce&) = delete;
  LoaderLockTakenAtOnce& operator=(const LoaderLockTakenAtOnce&) = delete;

 private:
  ULONG_PTR cookie_;
};

// Calls visit(module, its base name) for each module the loader's list holds,
// in load order, under the loader lock (waiting for it: never in a crash).
// Reading the list costs nothing per module, unlike asking the loader for
// names one by one.
void ForEachLoadedModule(void (*visit)(HMODULE module, const UNICODE_STRING& baseName));

// Whether the calling thread holds the loader lock (taken by itself or by
// the loader it runs under).
bool ThisThreadHoldsLoaderLock();


}  // namespace ruxtrap
