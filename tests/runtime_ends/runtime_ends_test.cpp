// The runtime ends taken over in this test process's own C runtime
// (msvcrt.dll): what the library's abort handler has done by the time the
// report runs.
#include <gtest/gtest.h>
#include <windows.h>

#include <signal.h>

#include "lifecycle/lifecycle.h"
#include "probes/loader_lock.h"
#include "runtime_ends/runtime_ends.h"
#include "support/optional_calls.h"

namespace ruxtrap {
namespace {

using AbortHandler = void(__cdecl*)(int);

AbortHandler CurrentAbortHandler() {
  AbortHandler current = signal(SIGABRT, SIG_DFL);
  signal(SIGABRT, current);
  return current;
}

struct Seen {
  int reports = 0;
  AbortHandler abortHandler = SIG_DFL;
  bool holdsLoaderLock = false;
  DWORD code = 0;
  ULONG_PTR parameters = 0;
} seen;

// Stands in for the report: looks at the process as the report finds it,
// and returns, so the runtime's raise() returns too.
LONG LookAtTheProcess(EXCEPTION_POINTERS* pointers, ReportSession&) {
  ++seen.reports;
  seen.abortHandler = CurrentAbortHandler();
  seen.holdsLoaderLock = ThisThreadHoldsLoaderLock();
  seen.code = pointers->ExceptionRecord->ExceptionCode;
  seen.parameters = pointers->ExceptionRecord->NumberParameters;
  return EXCEPTION_EXECUTE_HANDLER;
}

// The runtime sets SIGABRT back to its default before it calls the handler;
// another thread's abort in that moment would end the process at once. By
// the time the report runs, the handler is set again, and the thread holds
// the loader lock, which the end of the process has to wait for.
TEST(RuntimeEnds, AbortHandlerIsSetAgainAndTheLoaderLockHeldBeforeTheReport) {
  signal(SIGABRT, SIG_DFL);
  BindOptionalCalls();
  ASSERT_TRUE(SetCrashHandler(&LookAtTheProcess));
  TakeOverRuntimeEnds(&CrashFilter);
  const AbortHandler ours = CurrentAbortHandler();
  ASSERT_NE(SIG_DFL, ours) << "msvcrt.dll's abort end is taken over";

  raise(SIGABRT);
  EXPECT_EQ(1, seen.reports);
  EXPECT_EQ(ours, seen.abortHandler);
  EXPECT_TRUE(seen.holdsLoaderLock);
  EXPECT_EQ(kFatalAppExitCode, seen.code);
  EXPECT_EQ(2u, seen.parameters);
  EXPECT_FALSE(ThisThreadHoldsLoaderLock()) << "given back when the report returns";

  GiveBackRuntimeEnds();
  EXPECT_EQ(SIG_DFL, CurrentAbortHandler());
  RestorePreviousFilter();
  ResetInstallationState();
}

}  // namespace
}  // namespace ruxtrap
