#include "describe/symbol_engine.h"

#include <dbghelp.h>

#include "probes/loader_lock.h"
#include "support/fault_guard.h"

namespace ruxtrap {

namespace {
// Holds the result of the last SymInitialize. Used only under the report lock.
LONG symbolEngineFlag = 0;
// Set when a set-up faulted (a corrupt heap, say): the report then goes on
// without symbols instead of faulting again at every line.
bool setUpFaulted = false;
}  // namespace

// The set-up waits for the loader lock (on its first use in a process, at
// least): while another thread holds it, the report has no symbol handler.
void EnsureSymbolEngine() {
  if (symbolEngineFlag != 0 || setUpFaulted || !LoaderCallsAllowed()) return;
  setUpFaulted = !RunGuarded([] {
    SymSetOptions(SymGetOptions() | SYMOPT_LOAD_LINES | SYMOPT_DEFERRED_LOADS);
    symbolEngineFlag = SymInitialize(GetCurrentProcess(), nullptr, TRUE) ? 1 : 0;
  });
}

void ReleaseSymbolEngine() {
  if (symbolEngineFlag != 1) return;
  SymCleanup(GetCurrentProcess());
  symbolEngineFlag = 0;
}

LONG SymbolEngineFlag() { return symbolEngineFlag; }

}  // namespace ruxtrap
