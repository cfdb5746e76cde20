// The loader lock and the report.
//
// Many platform calls wait for the process's loader lock: they load or look
// up a module, or set up a part of the system on first use. A thread that
// holds the lock for good (a DllMain waiting for the crashed thread, say)
// would hang such a report for ever, and _exit too, which takes the lock to
// detach the DLLs. A report takes the lock itself, waiting a short while for
// another thread to give it back, and keeps it for the whole report and the
// end of the process: a thread that starts loading a DLL after the crash
// then cannot hold up a later query or _exit, and a thread that ends the
// process (ExitProcess takes the lock first) waits until the report has
// ended it with the report's exit code. No thread can start while the report
// holds the lock, so a query that needs a thread of its own cannot be made
// (the DirectX query in the multi-threaded COM apartment is left out). If
// another thread still holds the lock after the wait, the report leaves out
// what needs it (the symbol handler with the call stack, the display and
// DirectX lines, system messages, the dump) and ends the process without
// detaching. A thread that holds the lock itself can take it again, so its
// report stays whole.
#pragma once

#include <windows.h>

namespace ruxtrap {

// How long a report waits for another thread to give the loader lock back
// before it leaves out what needs the lock: that long after the loader last
// added or removed a module, and never longer than kMostLoaderLockWaitMs.
constexpr DWORD kLoaderLockWaitMs = 2000;
constexpr DWORD kMostLoaderLockWaitMs = 10000;

// One report's hold on the loader lock. Made before the report's first
// line: takes the lock at once when no other thread holds it. Otherwise the
// bounded wait for it is left to the report's first call that needs the
// lock (CallsAllowed), so that the lines that need none are on disk before
// it: a thread that ends the process meanwhile gets the lock before the
// report can. Gives back what it took when it goes (a report that returns
// instead of ending the process).
class LoaderLockHold {
 public:
  LoaderLockHold();
  ~LoaderLockHold();
  LoaderLockHold(const LoaderLockHold&) = delete;
  LoaderLockHold& operator=(const LoaderLockHold&) = delete;

  // Whether the report may make calls that wait for the loader lock; the
  // first question that finds the lock held elsewhere waits for it.
  bool CallsAllowed();
  // From now on the report makes no such calls (a measurement of the
  // report without them).
  void DenyCalls();

 private:
  bool TakeWithin(DWORD waitMs);

  bool pending_;  // began without the lock and has not waited for it yet
  bool allowed_;
  ULONG_PTR cookie_;  // of the lock taken; 0 when none
};

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

}  // namespace ruxtrap
