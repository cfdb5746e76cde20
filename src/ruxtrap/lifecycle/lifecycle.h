// The library's boundary towards its host: the export, installing the crash
// filter, the filter itself and the process-wide report lock.
#pragma once

#include <windows.h>

#include "support/fault_guard.h"

namespace ruxtrap {

// A crash handler has the shape of a top-level exception filter.
using CrashHandler = LONG(WINAPI*)(EXCEPTION_POINTERS*);

// What InitRuxtrap does: installs WriteCrashReport as the crash handler and
// says on the debug output whether that worked ("OK" or "Fail"), once per call.
void InstallCrashReporter();

// Makes CrashFilter the process's unhandled-exception filter with handler as
// what it calls for a crash. A later call only replaces the handler. False when
// the handler is no code of a loaded module; nothing changes then.
bool SetCrashHandler(CrashHandler handler);

// The handler CrashFilter calls, or null before the first installation.
CrashHandler InstalledCrashHandler();

// Back to the installation state at load: no handler, nothing installed.
// The process's filter is not touched. For tests.
void ResetInstallationState();

// Puts back the filter that was in force before the first installation, if
// the library installed one and its filter is still the one in force. Runs
// at unload.
void RestorePreviousFilter();

// The installed top-level filter.
LONG WINAPI CrashFilter(EXCEPTION_POINTERS* pointers);

// Told by the module's detach hook when the process is ending (not just
// unloading the library): the unload actions then free nothing and put
// nothing back. Memory and the top-level filter go with the process, and a
// damaged heap (the crash may have been one) must not fault during detach,
// where a fault can replace the exit code.
void NoteProcessEnding();
bool ProcessIsEnding();

// The process-wide lock that lets one crash report run at a time. Its
// critical section lives inside the object, so it can never be missing.
class CrashLock {
 public:
  CrashLock();
  ~CrashLock();
  CrashLock(const CrashLock&) = delete;
  CrashLock& operator=(const CrashLock&) = delete;
  void Enter();
  void Leave();
  // Whether any thread holds the lock.
  bool IsLocked() const;

 private:
  CRITICAL_SECTION storage_;
  CRITICAL_SECTION* section_;  // null once destroyed
};

CrashLock& TheCrashLock();

// Holds the lock for a scope. A fault that unwinds the scope under a guard
// leaves the lock too.
class CrashLockGuard {
 public:
  explicit CrashLockGuard(CrashLock& lock);
  ~CrashLockGuard();
  CrashLockGuard(const CrashLockGuard&) = delete;
  CrashLockGuard& operator=(const CrashLockGuard&) = delete;

 private:
  static void LeaveOnFault(void* self);
  void LeaveOnce();
  CrashLock& lock_;
  bool held_;
  FaultRelease onFault_;
};

// The platform calls of this subsystem, so a test can watch them (see
// support/seam.h).
struct LifecyclePlatform {
  decltype(&::SetUnhandledExceptionFilter) setUnhandledExceptionFilter;
  decltype(&::OutputDebugStringA) outputDebugStringA;
  decltype(&::OutputDebugStringW) outputDebugStringW;
};
const LifecyclePlatform& LifecycleCalls();
const LifecyclePlatform& RealLifecyclePlatform();
#ifdef RUXTRAP_TEST_SEAMS
LifecyclePlatform& TheLifecyclePlatform();
#endif

}  // namespace ruxtrap
