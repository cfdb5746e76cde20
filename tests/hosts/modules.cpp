// Faults in and through modules other than the host, and code the symbol
// handler does not find the usual way: a DLL of the tests' own, one whose
// headers were erased, one whose file was renamed, hundreds of DLLs, code
// made at run time and code without a name.
#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "modes.h"

namespace {

using CallThroughFn = void (*)(void (*)(void*), void*);

CallThroughFn CallThroughIn(HMODULE module) {
  return module ? reinterpret_cast<CallThroughFn>(reinterpret_cast<void (*)()>(GetProcAddress(module, "CallThrough")))
                : nullptr;
}

// Faults inside a DLL of the tests' own (crashlib.dll, or the given name).
int CrashInOwnLibrary(const ModeArgs& args) {
  HMODULE library = LoadLibraryW(args.Text(0));
  auto crash = library ? reinterpret_cast<void (*)()>(GetProcAddress(library, "CrashInLibrary")) : nullptr;
  if (crash == nullptr) ExitProcess(5);
  RecordFact("crashlib", library);
  crash();
  return 0;
}

// crashlib.dll with its headers erased in memory, as some protections do
// after a module loads: its size must come from the loader's list.
int CrashInLibraryWithoutHeaders(const ModeArgs&) {
  HMODULE library = LoadLibraryW(L"crashlib.dll");
  auto crash = library ? reinterpret_cast<void (*)()>(GetProcAddress(library, "CrashInLibrary")) : nullptr;
  if (crash == nullptr) ExitProcess(5);
  DWORD old = 0;
  VirtualProtect(library, 4096, PAGE_READWRITE, &old);
  memset(library, 0, 4096);
  crash();
  return 0;
}

// The copies of many_lib.dll that --load-many loaded, by number.
HMODULE manyModules[kMostManyCopies + 1];

CallThroughFn CallThroughOf(int copy) {
  return CallThroughIn(copy > 0 && copy <= kMostManyCopies ? manyModules[copy] : nullptr);
}

__attribute__((noinline)) void FaultHop(void*) {
  WriteThroughNullPointer();
  __asm__ volatile("");
}

__attribute__((noinline)) void SecondHop(void* copy) {
  CallThroughOf(reinterpret_cast<int>(copy))(&FaultHop, nullptr);
  __asm__ volatile("");
}

// A fault whose stack passes through two of the many DLLs: the first copy
// calls SecondHop, which calls through the second copy to the fault.
int CrashThroughMany(const ModeArgs& args) {
  const int first = args.Number(0), second = args.Number(1);
  CallThroughFn through = CallThroughOf(first);
  if (through == nullptr || CallThroughOf(second) == nullptr) return 5;
  through(&SecondHop, reinterpret_cast<void*>(second));
  return 0;
}

// A copy of many_lib.dll whose file is renamed once it is loaded, as an
// updater does: the symbol handler cannot read it, and the walk must go on
// through its frame.
__attribute__((noinline)) int CrashThroughRenamedLibrary(const ModeArgs&) {
  wchar_t folder[MAX_PATH], copy[MAX_PATH], moved[MAX_PATH], source[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  swprintf(copy, MAX_PATH, L"%lsruxtrap-renamed-%lu.dll", folder, GetCurrentProcessId());
  swprintf(moved, MAX_PATH, L"%lsruxtrap-renamed-%lu.old", folder, GetCurrentProcessId());
  DWORD n = 0;
  OwnFolder(source, &n);
  wcscpy(source + n, L"many\\many_001.dll");
  if (!CopyFileW(source, copy, FALSE)) return 5;
  CallThroughFn through = CallThroughIn(LoadLibraryW(copy));
  // Wine gives a later process the same id: an earlier run's file may be there.
  if (through == nullptr || !MoveFileExW(copy, moved, MOVEFILE_REPLACE_EXISTING)) return 5;
  through(&FaultHop, nullptr);
  return 0;
}

// A thunk made at run time, as a JIT compiler or a callback thunk makes
// one: it keeps a frame pointer and calls its argument.
using Thunk = void (*)(int (*)(const ModeArgs&));

Thunk MakeThunk() {
  static const BYTE code[] = {
      0x55,              // push ebp
      0x89, 0xE5,        // mov ebp, esp
      0x8B, 0x45, 0x08,  // mov eax, [ebp+8]
      0xFF, 0xD0,        // call eax
      0x5D,              // pop ebp
      0xC3,              // ret
  };
  void* memory = VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE);
  memcpy(memory, code, sizeof(code));
  return reinterpret_cast<Thunk>(memory);
}

__attribute__((noinline)) int CallsThroughMadeCode(const ModeArgs&) {
  MakeThunk()(&WriteThroughNullPointer);
  __asm__ volatile("");
  return 0;
}

// Code without a name (no symbol, no debug information, as in a runtime
// linked in without them) whose last instruction calls a function that never
// returns, placed so that its return address is the first byte of the named
// function after it. The linker lays sections ".text$NAME" out in the order
// of NAME, both 16-byte aligned: the call is made to end on that boundary.
extern "C" __attribute__((noinline, noreturn)) void FaultFromUnnamedCode() {
  WriteThroughNullPointer();
  ExitProcess(5);
}

__asm__(
    ".section .text$ruxtrap_unnamed_a,\"x\"\n"
    ".p2align 4\n"
    "ruxtrapUnnamedCode:\n"
    ".skip 11, 0x90\n"
    "call _FaultFromUnnamedCode\n");

extern "C" __attribute__((section(".text$ruxtrap_unnamed_b"), aligned(16), noinline)) int NamedAfterUnnamedCode() {
  return 7;
}

__attribute__((noinline)) int CallsUnnamedCode(const ModeArgs&) {
  void (*unnamed)();
  __asm__("movl $ruxtrapUnnamedCode, %0" : "=r"(unnamed));
  RecordFact("unnamedCallReturn", reinterpret_cast<void*>(reinterpret_cast<BYTE*>(unnamed) + 16));
  RecordFact("namedAfterUnnamed", reinterpret_cast<void*>(&NamedAfterUnnamedCode));
  unnamed();
  __asm__ volatile("");
  return 0;
}

const Mode kModes[] = {
    {L"dll", &CrashInOwnLibrary, L"crashlib.dll"},
    {L"dll-named", &CrashInOwnLibrary, nullptr},
    {L"dll-without-headers", &CrashInLibraryWithoutHeaders, nullptr},
    {L"many-chain", &CrashThroughMany, nullptr},
    {L"renamed-library", &CrashThroughRenamedLibrary, nullptr},
    {L"made-code", &CallsThroughMadeCode, nullptr},
    {L"unnamed-code", &CallsUnnamedCode, nullptr},
};

}  // namespace

const ModeTable kModuleModes = TableOf(kModes);

int LoadMany(int count) {
  wchar_t path[MAX_PATH];
  DWORD n = 0;
  OwnFolder(path, &n);
  for (int i = 1; i <= count && i <= kMostManyCopies; ++i) {
    swprintf(path + n, MAX_PATH - n, L"many\\many_%03d.dll", i);
    manyModules[i] = LoadLibraryW(path);
    if (manyModules[i] == nullptr) return 5;
  }
  RecordFact("manyLoaded", count);
  return 0;
}
