#include "describe/symbol_engine.h"
#include "lifecycle/lifecycle.h"
#include "support/function_cast.h"

namespace ruxtrap {

namespace {

void AnnounceStackOverflow() {
  const wchar_t* bang = L"!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n";
  auto& p = TheLifecyclePlatform();
  p.outputDebugStringW(bang);
  p.outputDebugStringW(L"EXCEPTION_STACK_OVERFLOW occurred\n");
  p.outputDebugStringW(bang);
}

}  // namespace

// Runs on the faulting thread; several threads may be here at once. The
// symbol handler is not safe for two threads, so its set-up and release are
// done under the report lock, together with the report. The lock is
// re-entrant: the report driver takes it again on the same thread.
LONG WINAPI CrashFilter(EXCEPTION_POINTERS* pointers) {
  LONG result = EXCEPTION_CONTINUE_SEARCH;
  RunGuarded([&] {
    if (pointers->ExceptionRecord->ExceptionCode == EXCEPTION_STACK_OVERFLOW)
      AnnounceStackOverflow();
    CrashHandler handler = InstalledCrashHandler();
    if (handler == nullptr) return;
    CrashLockGuard lock(TheCrashLock());
    EnsureSymbolEngine();
    if (TheLifecyclePlatform().isBadCodePtr(FunctionCast<FARPROC>(handler)) == 0)
      result = handler(pointers);
    ReleaseSymbolEngine();
  });
  return result;
}

}  // namespace ruxtrap
