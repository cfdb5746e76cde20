#include "describe/describe.h"
#include "dumps/dumps.h"
#include "lifecycle/lifecycle.h"
#include "probes/memory.h"
#include "report/report.h"
#include "report/report_places.h"
#include "runtime_ends/runtime_ends.h"
#include "support/function_cast.h"
#include "support/optional_calls.h"
#include "support/seam.h"

namespace ruxtrap {

namespace {

const LifecyclePlatform kRealPlatform = {
    &::SetUnhandledExceptionFilter,
    &::OutputDebugStringA,
    &::OutputDebugStringW,
};
RUXTRAP_SEAM(LifecyclePlatform, platform, kRealPlatform);

// Installation state. Plain module data: installation is not serialised
// against itself, against unload or against a crash in progress.
CrashHandler handler = nullptr;
LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = nullptr;
// Not installed, being installed, installed. Several threads may install at
// once: the one that moves the state from not installed to being installed
// installs the filter; the others wait for it, so each returns with the
// filter in place and the host's filter kept as the previous one.
enum : LONG { kNotInstalled, kInstalling, kInstalled };
volatile LONG installState = kNotInstalled;

// The unload action: runs before the module's memory goes away.
struct RestoreFilterAtUnload {
  ~RestoreFilterAtUnload() {
    if (ProcessIsEnding()) return;
    GiveBackRuntimeEnds();
    RestorePreviousFilter();
  }
} restoreFilterAtUnload;

}  // namespace

const LifecyclePlatform& LifecycleCalls() { return platform; }
const LifecyclePlatform& RealLifecyclePlatform() { return kRealPlatform; }
#ifdef RUXTRAP_TEST_SEAMS
LifecyclePlatform& TheLifecyclePlatform() { return platform; }
#endif

CrashHandler InstalledCrashHandler() { return handler; }

bool SetCrashHandler(CrashHandler newHandler) {
  if (!IsLoadedCode(FunctionCast<const void*>(newHandler))) return false;
  handler = newHandler;
  if (InterlockedCompareExchange(&installState, kInstalling, kNotInstalled) == kNotInstalled) {
    previousFilter = platform.setUnhandledExceptionFilter(&CrashFilter);
    InterlockedExchange(&installState, kInstalled);
  }
  while (installState == kInstalling) Sleep(0);
  return true;
}

// What a crash must find ready: the optional system calls bound and the
// formatting of report lines set up, while the process is sound and no other
// thread can hold the loader lock against the report. A later call reads
// the places and settings again (see crash_lock.h for how a report in
// progress on another thread keeps what it found).
void InstallCrashReporter() {
  BindOptionalCalls();
  PrepareReportLines();
  ResolveReportPlaces();
  ReadDumpSettings();
  if (!SetCrashHandler(&WriteCrashReport)) {
    platform.outputDebugStringA("Ruxtrap Set Handler Fail!\r\n");
    return;
  }
  TakeOverRuntimeEnds(&CrashFilter);
  platform.outputDebugStringA("Ruxtrap Set Handler OK!\r\n");
}

void ResetInstallationState() {
  handler = nullptr;
  previousFilter = nullptr;
  installState = kNotInstalled;
}

// Only the library's own filter is replaced: one installed after it (by a
// second copy of the library that a plug-in brought, say) stays, or that
// copy would be switched off without a word. The filter the call replaced
// tells which was in force. A previous filter whose code is gone (that
// other copy, unloaded first) is not put back: the system's own takes over.
void RestorePreviousFilter() {
  if (installState != kInstalled) return;
  LPTOP_LEVEL_EXCEPTION_FILTER earlier = previousFilter;
  if (earlier != nullptr && !IsLoadedCode(FunctionCast<const void*>(earlier))) earlier = nullptr;
  LPTOP_LEVEL_EXCEPTION_FILTER replaced = platform.setUnhandledExceptionFilter(earlier);
  if (replaced != &CrashFilter) platform.setUnhandledExceptionFilter(replaced);
  previousFilter = nullptr;
  installState = kNotInstalled;
}

}  // namespace ruxtrap
