// The C runtimes' own ends of a program, which raise no exception and so
// never reach the crash filter: abort() (and with it a failed assert and
// std::terminate), a pure virtual function call, and an invalid parameter
// passed to a runtime function. The library takes them over in every C
// runtime DLL loaded when InitRuxtrap runs (msvcrt.dll, ucrtbase.dll, the
// msvcr70.dll to msvcr120.dll of older Microsoft toolchains, and their
// debug forms), where the program has set no
// handler of its own, and turns each into a crash report whose call stack
// starts in the runtime code that gave up, the program's caller just below.
// A runtime linked statically into a program has no exports to reach it by.
#pragma once

#include <windows.h>

#include "support/runtime_end_record.h"

namespace ruxtrap {

// Takes over the ends of every loaded C runtime that has no handler of the
// program's; an end is reported by calling filter, the crash filter, with
// the exception record of support/runtime_end_record.h. Called by
// InitRuxtrap; a runtime taken over once is left as it is at a later call.
void TakeOverRuntimeEnds(LPTOP_LEVEL_EXCEPTION_FILTER filter);

// Gives back what is still the library's: a handler the program set since
// stays. Runs at unload.
void GiveBackRuntimeEnds();

}  // namespace ruxtrap
