// The crash benchmark's filters, set in place of the library's: one that
// only ends the process, and one that does what a report cannot do without,
// asked of the platform alone.
#include <windows.h>
// windows.h first
#include <dbghelp.h>

#include <stdio.h>
#include <string.h>

#include "modes.h"

namespace {

// A host's own last-resort filter that only ends the process.
LONG WINAPI EndProcessFilter(EXCEPTION_POINTERS*) {
  TerminateProcess(GetCurrentProcess(), 9);
  return EXCEPTION_EXECUTE_HANDLER;
}

// What a report cannot do without, asked of the platform alone: the symbol
// handler set up as the library sets it up (without taking in the process's
// modules), then the walk with the module of each frame made known to it
// and one symbol and one source-line lookup a frame. The crash benchmark's
// measure of the platform's own share. DbgHelp is bound before the crash,
// as the library's import has it loaded.
struct DbgHelp {
  decltype(&SymGetOptions) getOptions;
  decltype(&SymSetOptions) setOptions;
  decltype(&SymInitialize) initialize;
  decltype(&StackWalk64) stackWalk;
  decltype(&SymFunctionTableAccess64) functionTableAccess;
  decltype(&SymGetModuleBase64) getModuleBase;
  decltype(&SymGetSymFromAddr64) getSymbol;
  decltype(&SymGetLineFromAddr64) getLine;
  decltype(&SymLoadModuleExW) loadModule;
  DWORD(WINAPI* moduleFileName)(HANDLE, HMODULE, wchar_t*, DWORD);
} dbghelp;

template <class Fn>
void Bind(HMODULE module, const char* name, Fn* entry) {
  *entry = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

void BindDbgHelp() {
  HMODULE module = LoadLibraryW(L"dbghelp.dll");
  Bind(module, "SymGetOptions", &dbghelp.getOptions);
  Bind(module, "SymSetOptions", &dbghelp.setOptions);
  Bind(module, "SymInitialize", &dbghelp.initialize);
  Bind(module, "StackWalk64", &dbghelp.stackWalk);
  Bind(module, "SymFunctionTableAccess64", &dbghelp.functionTableAccess);
  Bind(module, "SymGetModuleBase64", &dbghelp.getModuleBase);
  Bind(module, "SymGetSymFromAddr64", &dbghelp.getSymbol);
  Bind(module, "SymGetLineFromAddr64", &dbghelp.getLine);
  Bind(module, "SymLoadModuleExW", &dbghelp.loadModule);
  Bind(LoadLibraryW(L"psapi.dll"), "GetModuleFileNameExW", &dbghelp.moduleFileName);
}

// The filter's steps, stamped as the library's step-time build stamps its
// own, in C:\ruxtrap-steps.txt.
struct PlatformSteps {
  LONGLONG entered, setUp, known, walked;
};

void WritePlatformSteps(const PlatformSteps& t) {
  FILE* out = fopen("C:\\ruxtrap-steps.txt", "w");
  if (out == nullptr) return;
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  fprintf(out, "frequency\t%lld\ndispatch to the filter\t%lld\nsymbol set-up\t%lld\n", frequency.QuadPart, t.entered,
          t.setUp);
  // The module registrations are spread over the walk; they are stamped as
  // one step after the set-up, and the walk's own time as the rest.
  fprintf(out, "module made known\t%lld\nwalk and lookups\t%lld\n", t.setUp + t.known, t.walked);
  fclose(out);
}

LONGLONG Counter() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

// The module at address made known to the symbol handler, as a report
// must: its image's bounds and the loader's name for it. Returns the
// counter ticks it took.
LONGLONG MakeModuleKnown(HANDLE process, DWORD64 address) {
  const LONGLONG start = Counter();
  MEMORY_BASIC_INFORMATION region;
  if (address == 0 || dbghelp.getModuleBase(process, address) != 0 ||
      VirtualQuery(reinterpret_cast<void*>(static_cast<DWORD>(address)), &region, sizeof(region)) == 0 ||
      region.Type != MEM_IMAGE)
    return Counter() - start;
  auto* base = static_cast<BYTE*>(region.AllocationBase);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS32*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
  wchar_t path[MAX_PATH];
  DWORD n = dbghelp.moduleFileName(process, reinterpret_cast<HMODULE>(base), path, MAX_PATH);
  dbghelp.loadModule(process, nullptr, n > 0 && n < MAX_PATH ? path : nullptr, nullptr,
                     reinterpret_cast<DWORD>(base), nt->OptionalHeader.SizeOfImage, nullptr, 0);
  return Counter() - start;
}

LONG WINAPI PlatformWalkFilter(EXCEPTION_POINTERS* pointers) {
  PlatformSteps t = {};
  t.entered = Counter();
  HANDLE process = GetCurrentProcess();
  dbghelp.setOptions(dbghelp.getOptions() | SYMOPT_LOAD_LINES | SYMOPT_DEFERRED_LOADS);
  dbghelp.initialize(process, nullptr, FALSE);
  t.setUp = Counter();
  static CONTEXT context;
  context = *pointers->ContextRecord;
  STACKFRAME64 frame = {};
  frame.AddrPC.Offset = context.Eip;
  frame.AddrFrame.Offset = context.Ebp;
  frame.AddrStack.Offset = context.Esp;
  frame.AddrPC.Mode = frame.AddrFrame.Mode = frame.AddrStack.Mode = AddrModeFlat;
  static union {
    IMAGEHLP_SYMBOL64 symbol;
    BYTE bytes[1024];
  } symbol;
  for (int n = 0; n < 10000; ++n) {
    t.known += MakeModuleKnown(process, frame.AddrPC.Offset) + MakeModuleKnown(process, frame.AddrReturn.Offset);
    if (!dbghelp.stackWalk(IMAGE_FILE_MACHINE_I386, process, GetCurrentThread(), &frame, &context, nullptr,
                           dbghelp.functionTableAccess, dbghelp.getModuleBase, nullptr))
      break;
    t.known += MakeModuleKnown(process, frame.AddrPC.Offset);
    memset(&symbol, 0, sizeof(symbol));
    symbol.symbol.SizeOfStruct = sizeof(IMAGEHLP_SYMBOL64);
    symbol.symbol.MaxNameLength = 992;
    DWORD64 displacement = 0;
    if (!dbghelp.getSymbol(process, frame.AddrPC.Offset, &displacement, &symbol.symbol)) continue;
    IMAGEHLP_LINE64 line = {};
    line.SizeOfStruct = sizeof(line);
    DWORD lineDisplacement = 0;
    dbghelp.getLine(process, frame.AddrPC.Offset, &lineDisplacement, &line);
  }
  t.walked = Counter();
  WritePlatformSteps(t);
  TerminateProcess(process, 9);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void SetEndProcessFilter() { SetUnhandledExceptionFilter(&EndProcessFilter); }

void SetPlatformWalkFilter() {
  BindDbgHelp();
  SetUnhandledExceptionFilter(&PlatformWalkFilter);
}
