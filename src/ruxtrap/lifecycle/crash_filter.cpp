#include "lifecycle/lifecycle.h"
#include "probes/memory.h"
#include "report/report.h"
#include "support/floating_point.h"
#include "support/function_cast.h"
#include "support/report_progress.h"
#include "support/reserve_stack.h"
#include "support/step_times.h"

namespace ruxtrap {

namespace {

// Enough for the symbol handler's set-up and the whole report, whatever the
// faulting thread has left. Allocated at load; given back at unload unless a
// thread still runs on it or the process is ending.
constexpr SIZE_T kReportStackBytes = 1024 * 1024;
ReserveStack reportStack(kReportStackBytes);
struct ReleaseReportStackAtUnload {
  ~ReleaseReportStackAtUnload() {
    if (!ProcessIsEnding()) reportStack.Release();
  }
} releaseReportStackAtUnload;

void AnnounceStackOverflow() {
  const wchar_t* bang = L"!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n";
  const LifecyclePlatform& p = LifecycleCalls();
  p.outputDebugStringW(bang);
  p.outputDebugStringW(L"EXCEPTION_STACK_OVERFLOW occurred\n");
  p.outputDebugStringW(bang);
}

struct FilterCall {
  EXCEPTION_POINTERS* pointers;
  LONG result;
};

// A fault anywhere in the handler unwinds it (its log and lock owners
// release themselves) and leaves the result 0. The symbol handler is set up
// by the report's first lookup, after the lines that need none are on disk,
// and released with the session.
void CallHandlerGuarded(FilterCall* call, CrashHandler handler, ReportSession& session) {
  RunGuarded([call, handler, &session] {
    if (IsLoadedCode(FunctionCast<const void*>(handler))) call->result = handler(call->pointers, session);
    session.Symbols().Release();
  });
}

// Everything the filter does, on the reserve stack.
void FilterOnReportStack(void* context) {
  auto* call = static_cast<FilterCall*>(context);
  RUXTRAP_STEP("dispatch to the filter");
  DefaultFloatingPointScope floatingPoint;
  DWORD code = 0;
  if (!RunGuarded([&] { code = call->pointers->ExceptionRecord->ExceptionCode; })) return;
  if (code == EXCEPTION_STACK_OVERFLOW) AnnounceStackOverflow();
  CrashHandler handler = InstalledCrashHandler();
  if (handler == nullptr) return;
  ReportSession session;
  RUXTRAP_STEP("loader lock check");
  CrashLockGuard lock(TheCrashLock());
  CallHandlerGuarded(call, handler, session);
}

// A thread that waits for another thread's report ends the process when
// that report no longer moves (see report_progress.h).
void EndProcessIfReportStalled(DWORD waitingSince) {
  if (ReportHasStalled(waitingSince)) TerminateProcess(GetCurrentProcess(), static_cast<UINT>(kCrashExitCode));
}

}  // namespace

// Runs on the faulting thread; several threads may be here at once. Nothing
// runs on the faulting thread's stack but the switch to the reserve stack: a
// stack overflow leaves about a page, too little even for the debug output's
// exception. The reserve stack takes one thread at a time, which also keeps
// the symbol handler (not safe for two threads) to one; the report lock is
// taken on it as well and is re-entrant for the report driver.
LONG WINAPI CrashFilter(EXCEPTION_POINTERS* pointers) {
  FilterCall call = {pointers, EXCEPTION_CONTINUE_SEARCH};
  reportStack.Run(&FilterOnReportStack, &call, &EndProcessIfReportStalled);
  return call.result;
}

}  // namespace ruxtrap
