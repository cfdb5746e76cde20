// A crash host built with the library's code linked in, whose crash handler
// checks, from inside the report, the rule Windows' exception-chain
// validation applies before it dispatches an exception: every registration
// record lies aligned inside the current stack bounds, each one above the
// one before, no handler lies on the stack, and the chain ends at the
// thread's own final handler. Wine does not apply the rule, so the host
// checks it itself, then writes the real report.
//   chain_check_host
// Facts (C:\ruxtrap-host-facts.txt): <place>Records, <place>Valid (1 or 0),
// for the places "handler" (the handler's entry) and "guarded" (inside a
// guard of the report, one record deeper).
#include <windows.h>

#include <stdio.h>

#include "host.h"
#include "lifecycle/lifecycle.h"
#include "report/report.h"
#include "support/fault_guard.h"
#include "support/thread_block.h"

namespace {

using ruxtrap::kChainEnd;
PEXCEPTION_ROUTINE ownFinalHandler;

void RecordPlaceFact(const char* place, const char* name, unsigned long value) {
  char fact[64];
  snprintf(fact, sizeof(fact), "%s%s", place, name);
  RecordFact(fact, value);
}

PEXCEPTION_ROUTINE FinalHandler() {
  EXCEPTION_REGISTRATION_RECORD* r = ruxtrap::ThreadInfoBlock()->ExceptionList;
  while (r->Next != kChainEnd) r = r->Next;
  return r->Handler;
}

// Follows the chain only as far as the rule allows, so a chain that breaks
// it is never read outside the stack.
void CheckChain(const char* place) {
  NT_TIB* tib = ruxtrap::ThreadInfoBlock();
  auto low = reinterpret_cast<ULONG_PTR>(tib->StackLimit);
  auto high = reinterpret_cast<ULONG_PTR>(tib->StackBase);
  bool valid = false;
  unsigned long records = 0;
  ULONG_PTR previous = 0;
  for (EXCEPTION_REGISTRATION_RECORD* r = tib->ExceptionList; records < 1000; r = r->Next) {
    auto at = reinterpret_cast<ULONG_PTR>(r);
    auto handler = reinterpret_cast<ULONG_PTR>(r->Handler);
    if ((at & 3) != 0 || at < low || at + sizeof(*r) > high || at <= previous) break;
    if (handler >= low && handler < high) break;
    ++records;
    previous = at;
    if (r->Next == kChainEnd) {
      valid = r->Handler == ownFinalHandler;
      break;
    }
  }
  RecordPlaceFact(place, "Records", records);
  RecordPlaceFact(place, "Valid", valid ? 1 : 0);
}

LONG CheckChainThenReport(EXCEPTION_POINTERS* pointers, ruxtrap::ReportSession& session) {
  CheckChain("handler");
  ruxtrap::RunGuarded([] { CheckChain("guarded"); });
  return ruxtrap::WriteCrashReport(pointers, session);
}

}  // namespace

int wmain() {
  ownFinalHandler = FinalHandler();
  ruxtrap::InstallCrashReporter();
  ruxtrap::SetCrashHandler(&CheckChainThenReport);
  volatile int* volatile target = nullptr;
  *target = 1;
  return 0;
}
