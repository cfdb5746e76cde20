// The loader lock around a crash: the main thread sits in a DllMain (of
// loader_lock_lib.dll) that waits for ever or for a while as a worker
// faults; the faulting thread took the lock itself, as code inside a loader
// callback runs; or the main thread loads hundreds of DLLs as the worker
// faults. (A fault inside a DllMain itself is taken by Wine's loader and
// never reaches a filter.)
#include <windows.h>

#include <wchar.h>

#include "modes.h"

namespace {

HANDLE workerRelease;

DWORD WINAPI FaultWhenReleased(void*) {
  SignalRunning();
  WaitForSingleObject(workerRelease, INFINITE);
  WriteThroughNullPointer();
  return 0;
}

// Sets loader_lock_lib.dll's DllMain up to run as mode says and to release
// the worker, which faults then. A thread's start-up takes the loader lock
// too: the worker is running before any DllMain holds it.
void StartWorkerReleasedByDllMain(const wchar_t* mode) {
  wchar_t name[64];
  swprintf(name, 64, L"ruxtrap-dllmain-%lu", GetCurrentProcessId());
  workerRelease = CreateEventW(nullptr, TRUE, FALSE, name);
  SetEnvironmentVariableW(L"RUXTRAP_DLLMAIN", mode);
  SetEnvironmentVariableW(L"RUXTRAP_DLLMAIN_EVENT", name);
  StartRunningThread(&FaultWhenReleased);
}

int CrashWhileDllMainWaits(const ModeArgs&) {
  StartWorkerReleasedByDllMain(L"release-and-wait");
  LoadLibraryW(L"loader_lock_lib.dll");  // never returns
  return 6;
}

// A worker faults while a slow DllMain holds the loader lock on another
// thread, and the main thread ends the process once the report's head (the
// lines that need no loader lock) is in the log: the report still waits for
// the lock then, and ExitProcess, queued on it, may end the process first.
DWORD WINAPI LoadSlowLibrary(void*) {
  LoadLibraryW(L"loader_lock_lib.dll");
  return 0;
}

int ExitWhileTheReportWaitsForTheLoaderLock(const ModeArgs&) {
  StartWorkerReleasedByDllMain(L"release-and-hold");
  CreateThread(nullptr, 0, &LoadSlowLibrary, nullptr, 0, nullptr);
  for (int waited = 0; !LogHolds("[Service pack]:") && waited < 60000; ++waited) Sleep(1);
  ExitProcess(0);
}

__attribute__((noinline)) int CrashHoldingTheLoaderLock(const ModeArgs&) {
  LdrLockLoaderLockFn lockLoader = LoaderLockCall();
  ULONG_PTR cookie = 0;
  if (lockLoader == nullptr || lockLoader(0, nullptr, &cookie) != 0) return 6;
  WriteThroughNullPointer();
  return 0;
}

// A worker faults while the main thread loads the many copies, one after
// another, as a program loads its plug-ins at start-up: the loader lock is
// taken and given back all the time, free only between two loads.
int FaultWhileLoading(const ModeArgs& args) {
  const int copies = args.Number(0);
  if (copies < 1 || copies > kMostManyCopies) return 5;
  StartRunningThread(&SignalThenFault);
  if (LoadMany(copies) != 0) return 6;
  Sleep(INFINITE);
  return 0;
}

const Mode kModes[] = {
    {L"dllmain-waits", &CrashWhileDllMainWaits, nullptr},
    {L"exit-behind-loader-lock", &ExitWhileTheReportWaitsForTheLoaderLock, nullptr},
    {L"holding-loader-lock", &CrashHoldingTheLoaderLock, nullptr},
    {L"fault-while-loading", &FaultWhileLoading, nullptr},
};

}  // namespace

const ModeTable kLoaderLockModes = TableOf(kModes);
