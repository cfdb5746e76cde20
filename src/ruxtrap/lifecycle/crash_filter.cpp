#include "describe/symbol_engine.h"
#include "lifecycle/lifecycle.h"
#include "support/function_cast.h"
#include "support/reserve_stack.h"

namespace ruxtrap {

namespace {

// Enough for the symbol handler's set-up and the whole report, whatever the
// faulting thread has left. Allocated at load, released at unload.
constexpr SIZE_T kReportStackBytes = 1024 * 1024;
ReserveStack reportStack(kReportStackBytes);

void AnnounceStackOverflow() {
  const wchar_t* bang = L"!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n";
  auto& p = TheLifecyclePlatform();
  p.outputDebugStringW(bang);
  p.outputDebugStringW(L"EXCEPTION_STACK_OVERFLOW occurred\n");
  p.outputDebugStringW(bang);
}

struct HandlerCall {
  EXCEPTION_POINTERS* pointers;
  CrashHandler handler;
  LONG result;
};

// Runs on the reserve stack. A fault anywhere in the handler unwinds it
// (its log and lock owners release themselves) and leaves the result 0.
void CallHandlerGuarded(void* context) {
  auto* call = static_cast<HandlerCall*>(context);
  RunGuarded([call] {
    EnsureSymbolEngine();
    if (TheLifecyclePlatform().isBadCodePtr(FunctionCast<FARPROC>(call->handler)) == 0)
      call->result = call->handler(call->pointers);
    ReleaseSymbolEngine();
  });
}

}  // namespace

// Runs on the faulting thread; several threads may be here at once. The
// symbol handler is not safe for two threads, so its set-up and release are
// done under the report lock, together with the report, and on the reserve
// stack, which the lock also keeps to one thread. The lock is re-entrant:
// the report driver takes it again on the same thread.
LONG WINAPI CrashFilter(EXCEPTION_POINTERS* pointers) {
  DWORD code = 0;
  if (!RunGuarded([&] { code = pointers->ExceptionRecord->ExceptionCode; })) return EXCEPTION_CONTINUE_SEARCH;
  if (code == EXCEPTION_STACK_OVERFLOW) AnnounceStackOverflow();
  CrashHandler handler = InstalledCrashHandler();
  if (handler == nullptr) return EXCEPTION_CONTINUE_SEARCH;
  HandlerCall call = {pointers, handler, EXCEPTION_CONTINUE_SEARCH};
  CrashLockGuard lock(TheCrashLock());
  reportStack.Run(&CallHandlerGuarded, &call);
  return call.result;
}

}  // namespace ruxtrap
