// The symbol handler of the current process, set up on first need.
//
// The set-up does not take in the process's modules: under Wine that costs
// some 70 ms for each loaded module, seconds in a program with a few hundred
// of them, all spent before the report's first line. A module is made known
// to the handler only when a lookup needs it (the summary line, a frame's
// symbol and line, the stack walker's unwinding), so a report's cost follows
// the modules its stack passes through, not those the process has loaded.
#pragma once

#include <windows.h>

namespace ruxtrap {

// Sets up the symbol handler (line information on, modules made known as
// lookups need them) unless the last set-up succeeded. A failed set-up is
// tried again at the next need; one that faulted is not; none is made while
// the report may not wait for the loader lock.
void EnsureSymbolEngine();

// Releases the symbol handler if it is set up.
void ReleaseSymbolEngine();

// 1 when the symbol handler is set up, 0 when not.
LONG SymbolEngineFlag();

// Makes the module that holds address known to the symbol handler, once,
// if the handler is set up and the address lies in a loaded image. The
// module's bounds and name come from queries that do not wait for the
// loader lock (the address's memory region, the image's own headers, the
// loader's list read through PSAPI).
void MakeModuleKnownAt(DWORD64 address);

// The stack walker's callbacks: the system's, after the module at address
// has been made known.
PVOID CALLBACK FunctionTableAccessKnown(HANDLE process, DWORD64 address);
DWORD64 CALLBACK ModuleBaseKnown(HANDLE process, DWORD64 address);

}  // namespace ruxtrap
