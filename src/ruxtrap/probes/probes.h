// Lists the modules of a process and names a module the same way on every
// supported Windows family, through PSAPI or the Toolhelp32 functions,
// whichever the running version has, bound at run time on first use.
// Results follow the Windows convention: a BOOL (or a count) and the
// thread's last-error code. No locks: callers run under the report lock.
#pragma once

#include <windows.h>

namespace ruxtrap {

// Stores up to slots module handles of the process in modules and the number
// of modules in count. slots 0 asks for the number only; modules may then be
// null. Errors: 87 (count or array not writable, or slots of 2^30 or more),
// 122 (more modules than slots), 1114 (no binding), 1154 (PSAPI entry not
// executable), or the system's own code.
BOOL WINAPI EnumProcessModulesCompat(DWORD processId, DWORD slots, HMODULE* modules, DWORD* count);

// GetModuleBaseNameW through the PSAPI binding: 0 with 1114 where PSAPI
// cannot be bound.
DWORD WINAPI GetModuleBaseNameCompat(HANDLE process, HMODULE module, wchar_t* baseName, DWORD size);

// GetModuleFileNameExW through the PSAPI binding: 0 with 1114 where PSAPI
// cannot be bound.
DWORD WINAPI GetModuleFileNameExCompat(HANDLE process, HMODULE module, wchar_t* path, DWORD size);

// A module image loaded in this process: its load address and size.
struct ImageSpan {
  DWORD base;
  DWORD size;
};

// The loaded image that holds address, from the address's memory region and
// the image's own headers: neither waits for the loader lock nor faults on
// unreadable memory.
bool FindImageAt(DWORD address, ImageSpan* span);

// Copies size bytes of this process's memory at address into out; false,
// without faulting, when any of them cannot be read.
bool ReadOwnMemory(DWORD address, void* out, DWORD size);

// Binds PSAPI and the Toolhelp functions now, while the process is sound, so
// a crash (perhaps with a damaged heap) finds them bound and need not load a
// library. A binding that fails here is tried again at first use, unless the
// report may not wait for the loader lock (loading and binding take it).
void BindModuleProbes();

// The platform calls of this module, so a test can put a missing library or
// an old Windows version in front of it. The default entries are the real calls.
struct ProbePlatform {
  decltype(&::GetVersionExW) getVersionExW;
  decltype(&::LoadLibraryW) loadLibraryW;
  decltype(&::GetModuleHandleW) getModuleHandleW;
  decltype(&::GetProcAddress) getProcAddress;
  decltype(&::OpenProcess) openProcess;
  decltype(&::IsBadWritePtr) isBadWritePtr;
  decltype(&::IsBadCodePtr) isBadCodePtr;
};
ProbePlatform& TheProbePlatform();
const ProbePlatform& RealProbePlatform();

// Back to the state at load: version cache empty, nothing bound. For tests.
void ResetProbeState();

}  // namespace ruxtrap
