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

namespace ruxtrap {

// The codes a runtime end is reported with: a fatal application exit
// (abort, a pure virtual call) and an invalid C runtime parameter.
constexpr DWORD kFatalAppExitCode = 0x40000015;
constexpr DWORD kInvalidRuntimeParameterCode = 0xC0000417;

// Takes over the ends of every loaded C runtime that has no handler of the
// program's. Called by InitRuxtrap; a runtime taken over once is left as it
// is at a later call.
void TakeOverRuntimeEnds();

// Gives back what is still the library's: a handler the program set since
// stays. Runs at unload.
void GiveBackRuntimeEnds();

// The summary line's name of a report a runtime end made ("STATUS_FATAL_APP_EXIT
// (abort)", ...), or null for any other exception record.
const wchar_t* RuntimeEndName(const EXCEPTION_RECORD& record);

}  // namespace ruxtrap
