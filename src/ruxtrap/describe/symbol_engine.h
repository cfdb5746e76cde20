// The symbol handler of the current process, set up on first need.
#pragma once

#include <windows.h>

namespace ruxtrap {

// Sets up the symbol handler (line information on, every loaded module made
// known) unless the last set-up succeeded. A failed set-up is tried again at
// the next need; one that faulted is not; none is made while the report may
// not wait for the loader lock.
void EnsureSymbolEngine();

// Releases the symbol handler if it is set up.
void ReleaseSymbolEngine();

// 1 when the symbol handler is set up, 0 when not.
LONG SymbolEngineFlag();

}  // namespace ruxtrap
