#include "describe/symbol_engine.h"

#include <dbghelp.h>

namespace ruxtrap {

namespace {
// Holds the result of the last SymInitialize. Used only under the report lock.
LONG symbolEngineFlag = 0;
}  // namespace

void EnsureSymbolEngine() {
  if (symbolEngineFlag != 0) return;
  SymSetOptions(SymGetOptions() | SYMOPT_LOAD_LINES);
  symbolEngineFlag = SymInitialize(GetCurrentProcess(), nullptr, TRUE) ? 1 : 0;
}

void ReleaseSymbolEngine() {
  if (symbolEngineFlag != 1) return;
  SymCleanup(GetCurrentProcess());
  symbolEngineFlag = 0;
}

LONG SymbolEngineFlag() { return symbolEngineFlag; }

}  // namespace ruxtrap
