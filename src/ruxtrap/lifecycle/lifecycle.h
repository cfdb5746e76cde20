// The library's boundary towards its host: the export, installing the crash
// filter and the filter itself.
#pragma once

#include <windows.h>

#include "report/report_session.h"
#include "support/crash_lock.h"
#include "support/process_ending.h"

namespace ruxtrap {

// A crash handler takes the exception and the report's session, which the
// filter makes for the report, and returns a filter's disposition.
using CrashHandler = LONG (*)(EXCEPTION_POINTERS* pointers, ReportSession& session);

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
