// Lists the modules of a process and names a module the same way on every
// supported Windows family, through PSAPI or the Toolhelp32 functions,
// whichever the running version has (bound with the other optional calls,
// see support/optional_calls.h).
// Results follow the Windows convention: a BOOL (or a count) and the
// thread's last-error code. No locks: callers run under the report lock.
#pragma once

#include <windows.h>

#include "probes/memory.h"

namespace ruxtrap {

// Stores up to slots module handles of the process in modules and the number
// of modules in count. slots 0 asks for the number only; modules may then be
// null. Errors: 87 (count or array not writable memory, or slots of 2^30 or
// more), 122 (more modules than slots), 1114 (no binding), 1154 (the PSAPI
// entry is no code of a loaded module), or the system's own code.
BOOL WINAPI EnumProcessModulesCompat(DWORD processId, DWORD slots, HMODULE* modules, DWORD* count);

// GetModuleBaseNameW through the PSAPI binding: 0 with 1114 where PSAPI
// cannot be bound.
DWORD WINAPI GetModuleBaseNameCompat(HANDLE process, HMODULE module, wchar_t* baseName, DWORD size);

// The size of the module loaded at module in this process, as the loader's
// list has it (PSAPI's GetModuleInformation, which does not wait for the
// loader lock); false where PSAPI cannot tell.
bool GetModuleSizeCompat(HMODULE module, DWORD* size);

// GetModuleFileNameExW through the PSAPI binding: 0 with 1114 where PSAPI
// cannot be bound.
DWORD WINAPI GetModuleFileNameExCompat(HANDLE process, HMODULE module, wchar_t* path, DWORD size);

// The platform calls of this module, so a test can put an old Windows
// version in front of it (see support/seam.h); a missing library is a null
// entry of the optional calls.
struct ProbePlatform {
  decltype(&::GetVersionExW) getVersionExW;
  decltype(&::OpenProcess) openProcess;
};
const ProbePlatform& RealProbePlatform();
#ifdef RUXTRAP_TEST_SEAMS
ProbePlatform& TheProbePlatform();
#endif

// Back to the state at load: version cache empty. For tests.
void ResetProbeState();

}  // namespace ruxtrap
