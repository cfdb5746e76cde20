// The system functions the library calls only where the running system has
// them, or from DLLs it does not import: one table, bound once by the first
// InitRuxtrap, while the process is sound, and then made read-only, so a
// crash finds every entry bound (no loading, no loader lock, no heap) and
// nothing on the crash path calls through a pointer anything could have
// changed. An entry the system lacks stays null; its caller does without.
#pragma once

#define PSAPI_VERSION 1  // the PSAPI.DLL names, not KERNEL32's K32 ones
#include <windows.h>
// windows.h first
#include <dbghelp.h>
#include <oleauto.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

namespace ruxtrap {

struct OptionalCalls {
  // NTDLL
  LONG(NTAPI* ldrLockLoaderLock)(ULONG flags, ULONG* disposition, ULONG_PTR* cookie);
  LONG(NTAPI* ldrUnlockLoaderLock)(ULONG flags, ULONG_PTR cookie);
  decltype(&::NtCreateFile) ntCreateFile;
  BOOLEAN(NTAPI* rtlDosPathNameToNtPathName)(PCWSTR dosPath, UNICODE_STRING* ntPath, PWSTR* filePart, void* reserved);
  VOID(NTAPI* rtlFreeUnicodeString)(UNICODE_STRING* text);
  // KERNEL32, where the running version has them
  decltype(&::GetFinalPathNameByHandleW) getFinalPathNameByHandleW;
  BOOL(WINAPI* isWow64Process)(HANDLE process, BOOL* wow64);
  decltype(&::CreateToolhelp32Snapshot) createToolhelp32Snapshot;
  decltype(&::Module32FirstW) module32FirstW;
  decltype(&::Module32NextW) module32NextW;
  // PSAPI
  decltype(&::EnumProcessModules) enumProcessModules;
  decltype(&::GetModuleBaseNameW) getModuleBaseNameW;
  decltype(&::GetModuleFileNameExW) getModuleFileNameExW;
  decltype(&::GetModuleInformation) getModuleInformation;
  // OLE32 and OLEAUT32, for the DirectX query
  decltype(&::CoInitialize) coInitialize;
  decltype(&::CoUninitialize) coUninitialize;
  decltype(&::CoCreateInstance) coCreateInstance;
  decltype(&::VariantInit) variantInit;
  decltype(&::VariantClear) variantClear;
  // DBGHELP: the symbol handler, the stack walker and the dump writer
  decltype(&::SymGetOptions) symGetOptions;
  decltype(&::SymSetOptions) symSetOptions;
  decltype(&::SymInitialize) symInitialize;
  decltype(&::SymCleanup) symCleanup;
  decltype(&::SymLoadModuleExW) symLoadModuleExW;
  decltype(&::SymGetModuleBase64) symGetModuleBase64;
  decltype(&::SymFunctionTableAccess64) symFunctionTableAccess64;
  decltype(&::SymGetSymFromAddr64) symGetSymFromAddr64;
  decltype(&::SymGetLineFromAddr64) symGetLineFromAddr64;
  decltype(&::StackWalk64) stackWalk64;
  decltype(&::MiniDumpWriteDump) miniDumpWriteDump;
};

// Binds every entry unless an earlier call did, then seals the table. Runs
// under the loader lock, which serialises it with every other thread's
// InitRuxtrap and with the loading it does itself (a DllMain that calls
// InitRuxtrap already holds the lock and takes it again). A call from a
// DLL that the binding itself loads returns at once: the table is then
// still being bound, and its entries may still be null.
void BindOptionalCalls();

// The table; all null before the first BindOptionalCalls.
const OptionalCalls& Optional();

#ifdef RUXTRAP_TEST_SEAMS
// The table made writable again, for a test to take entries away; the
// next BindOptionalCalls binds it anew and seals it.
OptionalCalls& UnsealedOptionalCalls();
#endif

}  // namespace ruxtrap
