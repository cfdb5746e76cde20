// The crash host of the end-to-end tests: loads Ruxtrap.dll from its own
// folder, calls InitRuxtrap, then crashes in the way its arguments choose.
//   crash_host [--no-init] [--load-library] [--load-many N] [--stamp] [--own-filter | --platform-walk] MODE [ARGS...]
// Every crash sits in a named function of its own, so reports can be checked
// for the functions of the call stack.
#include <windows.h>
// windows.h first
#include <dbghelp.h>

#include <stdio.h>
#include <wchar.h>

namespace {

using InitRuxtrapFn = void(WINAPI*)(const char*);

// Facts the tests compare with the report, as name=hex lines in
// C:\ruxtrap-host-facts.txt (addresses of functions, stack bounds, modules).
void RecordFact(const char* name, const void* value) {
  FILE* facts = fopen("C:\\ruxtrap-host-facts.txt", "a");
  if (facts == nullptr) return;
  fprintf(facts, "%s=%08lX\n", name, reinterpret_cast<unsigned long>(value));
  fclose(facts);
}

void RecordThreadFacts() {
  NT_TIB* tib;
  __asm__("movl %%fs:0x18, %0" : "=r"(tib));
  RecordFact("stackBase", tib->StackBase);
  RecordFact("stackLimit", tib->StackLimit);
  RecordFact("threadId", reinterpret_cast<void*>(GetCurrentThreadId()));
}

// With --stamp, the performance counter just before the fault goes to
// C:\ruxtrap-fault-qpc.txt, for the crash benchmark.
bool stampFault = false;

void StampFault() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  FILE* stamp = fopen("C:\\ruxtrap-fault-qpc.txt", "w");
  if (stamp == nullptr) return;
  fprintf(stamp, "%lld\n", now.QuadPart);
  fclose(stamp);
}

__attribute__((noinline)) void WriteThroughNullPointer() {
  if (stampFault) StampFault();
  volatile int* volatile target = nullptr;
  *target = 42;
}

__attribute__((noinline)) int DivideByZero(int divisor) {
  volatile int dividend = 1;
  volatile int quotient = dividend / divisor;  // volatile: the division must happen
  return quotient;
}

__attribute__((noinline)) void RaiseCode(DWORD code) { RaiseException(code, 0, 0, nullptr); }

// A chain of named functions; the fault's source line is recorded.
__attribute__((noinline)) void ChainInner(volatile int* target) {
  RecordFact("chainFaultLine", reinterpret_cast<void*>(__LINE__ + 1));
  *target = 7;
}
__attribute__((noinline)) void ChainMiddle(volatile int* target) {
  ChainInner(target);
  __asm__ volatile("");  // keeps the call from becoming a jump
}
__attribute__((noinline)) void ChainOuter(volatile int* target) {
  ChainMiddle(target);
  __asm__ volatile("");
}

// depth frames of Recurse, then a fault.
__attribute__((noinline)) int Recurse(int depth) {
  if (depth <= 1) {
    WriteThroughNullPointer();
    return 0;
  }
  return Recurse(depth - 1) + 1;  // not a tail call: every level keeps its frame
}

// Sets EBP to the given value and faults, so the walk starts from a broken
// frame chain.
extern "C" void CrashWithFramePointer(DWORD ebp);
__asm__(
    ".text\n"
    ".globl _CrashWithFramePointer\n"
    "_CrashWithFramePointer:\n"
    "  movl 4(%esp), %ebp\n"
    "  movl $0, 0\n"
    "  ret\n");

// A frame whose saved frame pointer points at itself.
__attribute__((noinline)) void CrashWithLoopingChain() {
  static DWORD frame[2];
  frame[0] = reinterpret_cast<DWORD>(&frame[0]);
  frame[1] = reinterpret_cast<DWORD>(&CrashWithLoopingChain) + 4;
  CrashWithFramePointer(reinterpret_cast<DWORD>(&frame[0]));
}

// A stack overflow as Windows presents it: the thread has only a few KB of
// stack left when the top-level filter runs. Recurses until about 6 KB remain
// above the stack's guard area, then hands its context to the system's
// unhandled-exception filter with the overflow's code.
constexpr SIZE_T kStackLeft = 6 * 1024;
constexpr SIZE_T kGuardArea = 8 * 1024;

__attribute__((noinline)) void ReportWithLittleStackLeft(int depth) {
  volatile char frame[256];
  frame[0] = static_cast<char>(depth);
  MEMORY_BASIC_INFORMATION info;
  VirtualQuery(const_cast<char*>(frame), &info, sizeof(info));
  SIZE_T left = reinterpret_cast<BYTE*>(const_cast<char*>(frame)) - static_cast<BYTE*>(info.AllocationBase) - kGuardArea;
  if (left > kStackLeft) {
    ReportWithLittleStackLeft(depth + 1);
    return;
  }
  CONTEXT context = {};
  RtlCaptureContext(&context);
  // Too little stack is left to write a file: ESI of the context carries the
  // amount to the report's register block, where the test reads it.
  context.Esi = static_cast<DWORD>(left);
  EXCEPTION_RECORD record = {};
  record.ExceptionCode = EXCEPTION_STACK_OVERFLOW;
  record.ExceptionAddress = reinterpret_cast<void*>(context.Eip);
  EXCEPTION_POINTERS pointers = {&record, &context};
  UnhandledExceptionFilter(&pointers);  // returns only when no filter ended the process
}

DWORD WINAPI LowStackThread(void*) {
  ReportWithLittleStackLeft(0);
  return 0;
}

// A real stack overflow: unbounded recursion, each level with a frame of its
// own, until the guard page gives out. (The flag only hides the recursion's
// endlessness from the compiler.)
volatile bool recurseOn = true;
__attribute__((noinline)) int RecurseForever(int depth) {
  volatile char frame[64];
  frame[0] = static_cast<char>(depth);
  if (!recurseOn) return 0;
  return RecurseForever(depth + 1) + frame[0];
}

DWORD WINAPI OverflowThread(void*) {
  RecordThreadFacts();
  RecurseForever(0);
  return 0;
}

// A worker thread with a small stack (256 KB reserved) that overflows it.
int OverflowOnWorker() {
  HANDLE thread = CreateThread(nullptr, 256 * 1024, &OverflowThread, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION,
                               nullptr);
  WaitForSingleObject(thread, INFINITE);
  return 7;  // the thread ended without the process ending
}

// A host that traps floating-point errors, as many numeric programs do:
// zero-divide, invalid and overflow unmasked in the x87 control word. The
// division leaves the exception pending; the next x87 instruction raises it.
__attribute__((noinline)) double DivideWithTrapsOn(double divisor) {
  unsigned short control;
  __asm__ volatile("fnstcw %0" : "=m"(control));
  control &= ~(0x01 | 0x04 | 0x08);
  __asm__ volatile("fldcw %0" : : "m"(control));
  volatile double quotient = 1.0 / divisor;
  return quotient;
}

// The loader lock: the main thread sits in a DllMain (of loader_lock_lib.dll)
// that waits for ever while a worker faults; or a thread that took the lock
// itself, as code inside a loader callback runs, faults. (A fault inside a
// DllMain itself is taken by Wine's loader and never reaches a filter.)
HANDLE workerRelease;
HANDLE workerRunning;
DWORD WINAPI FaultWhenReleased(void*) {
  SetEvent(workerRunning);
  WaitForSingleObject(workerRelease, INFINITE);
  WriteThroughNullPointer();
  return 0;
}

// A worker faults while a slow DllMain holds the loader lock on another
// thread, and the main thread ends the process once the report's head (the
// lines that need no loader lock) is in the log: the report still waits for
// the lock then, and ExitProcess, queued on it, may end the process first.
DWORD WINAPI LoadSlowLibrary(void*) {
  LoadLibraryW(L"loader_lock_lib.dll");
  return 0;
}

bool LogHolds(const char* text);

// Sets loader_lock_lib.dll's DllMain up to run as mode says and to release
// the worker, which faults then. A thread's start-up takes the loader lock
// too: the worker is running before any DllMain holds it.
void StartWorkerReleasedByDllMain(const wchar_t* mode) {
  wchar_t name[64];
  swprintf(name, 64, L"ruxtrap-dllmain-%lu", GetCurrentProcessId());
  workerRelease = CreateEventW(nullptr, TRUE, FALSE, name);
  SetEnvironmentVariableW(L"RUXTRAP_DLLMAIN", mode);
  SetEnvironmentVariableW(L"RUXTRAP_DLLMAIN_EVENT", name);
  workerRunning = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  CreateThread(nullptr, 0, &FaultWhenReleased, nullptr, 0, nullptr);
  WaitForSingleObject(workerRunning, INFINITE);
}

int ExitWhileTheReportWaitsForTheLoaderLock() {
  StartWorkerReleasedByDllMain(L"release-and-hold");
  CreateThread(nullptr, 0, &LoadSlowLibrary, nullptr, 0, nullptr);
  for (int waited = 0; !LogHolds("[Service pack]:") && waited < 60000; ++waited) Sleep(1);
  ExitProcess(0);
}

int CrashWhileDllMainWaits() {
  StartWorkerReleasedByDllMain(L"release-and-wait");
  LoadLibraryW(L"loader_lock_lib.dll");  // never returns
  return 6;
}

using LdrLockLoaderLockFn = LONG(NTAPI*)(ULONG flags, ULONG* disposition, ULONG_PTR* cookie);

int CrashHoldingTheLoaderLock() {
  auto lockLoader = reinterpret_cast<LdrLockLoaderLockFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "LdrLockLoaderLock")));
  ULONG_PTR cookie = 0;
  if (lockLoader == nullptr || lockLoader(0, nullptr, &cookie) != 0) return 6;
  WriteThroughNullPointer();
  return 0;
}

// Several processes crash at the same moment: each waits for the named
// event, once it has counted itself in on the semaphore NAME-ready (when
// the caller made one).
void FaultOnSignal(const wchar_t* eventName) {
  HANDLE signal = OpenEventW(SYNCHRONIZE, FALSE, eventName);
  wchar_t readyName[128];
  swprintf(readyName, 128, L"%ls-ready", eventName);
  HANDLE ready = OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, readyName);
  if (signal == nullptr) ExitProcess(5);
  if (ready != nullptr) ReleaseSemaphore(ready, 1, nullptr);
  WaitForSingleObject(signal, INFINITE);
  WriteThroughNullPointer();
}

// Overruns a heap block into the header of its freed neighbour, as a buffer
// overflow does, so the heap is already corrupt when the fault comes.
__attribute__((noinline)) void CorruptTheHeap() {
  HANDLE heap = GetProcessHeap();
  BYTE* blocks[16];
  for (BYTE*& b : blocks) b = static_cast<BYTE*>(HeapAlloc(heap, 0, 48));
  for (int i = 1; i < 16; i += 2) HeapFree(heap, 0, blocks[i]);
  memset(blocks[0], 0xCC, 48 + 16);  // 16 bytes past the end: the neighbour's header
  RecordFact("heapCorrupted", blocks[0]);
}

// Faults inside a DLL of the tests' own (crashlib.dll, or the given name).
void CrashInOwnLibrary(const wchar_t* name = L"crashlib.dll") {
  HMODULE library = LoadLibraryW(name);
  auto crash = library ? reinterpret_cast<void (*)()>(GetProcAddress(library, "CrashInLibrary")) : nullptr;
  if (crash == nullptr) ExitProcess(5);
  RecordFact("crashlib", library);
  crash();
}

DWORD WINAPI NullWriteThread(void*) {
  RecordThreadFacts();
  WriteThroughNullPointer();
  return 0;
}

// Many threads released at the same moment, each of which faults.
HANDLE startSignal;
volatile LONG threadsAtTheirWait = 0;
DWORD WINAPI WaitThenFault(void*) {
  InterlockedIncrement(&threadsAtTheirWait);
  WaitForSingleObject(startSignal, INFINITE);
  WriteThroughNullPointer();
  return 0;
}

int CrashManyThreads(int count) {
  startSignal = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  for (int i = 0; i < count; ++i) CreateThread(nullptr, 0, &WaitThenFault, nullptr, 0, nullptr);
  while (threadsAtTheirWait < count) Sleep(1);
  SetEvent(startSignal);
  Sleep(INFINITE);
  return 0;
}

// With --load-many N the host first loads N copies of many_lib.dll from
// its folder's many\, as a large program has a few hundred modules loaded.
constexpr int kMostMany = 999;
HMODULE manyModules[kMostMany + 1];

bool LoadMany(int count) {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  while (n > 0 && path[n - 1] != L'\\') --n;
  for (int i = 1; i <= count && i <= kMostMany; ++i) {
    swprintf(path + n, MAX_PATH - n, L"many\\many_%03d.dll", i);
    manyModules[i] = LoadLibraryW(path);
    if (manyModules[i] == nullptr) return false;
  }
  RecordFact("manyLoaded", reinterpret_cast<void*>(count));
  return true;
}

using CallThroughFn = void (*)(void (*)(void*), void*);

CallThroughFn CallThroughOf(int copy) {
  HMODULE module = copy > 0 && copy <= kMostMany ? manyModules[copy] : nullptr;
  return module ? reinterpret_cast<CallThroughFn>(reinterpret_cast<void (*)()>(GetProcAddress(module, "CallThrough")))
                : nullptr;
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
int CrashThroughMany(int first, int second) {
  CallThroughFn through = CallThroughOf(first);
  if (through == nullptr || CallThroughOf(second) == nullptr) return 5;
  through(&SecondHop, reinterpret_cast<void*>(second));
  return 0;
}

// A call through a null function pointer: the fault is at address 0, and
// only the return address on the stack tells that CallsNull made the call.
void (*volatile nullCallback)() = nullptr;

__attribute__((noinline)) void CallsNull() {
  RecordFact("callsNullLine", reinterpret_cast<void*>(__LINE__ + 1));
  nullCallback();
  __asm__ volatile("");
}

__attribute__((noinline)) void AboveCallsNull() {
  CallsNull();
  __asm__ volatile("");
}

// A worker faults while the main thread ends the process: delayMs after the
// fault, or, with a negative delay, as soon as the report's system section
// has reached its display line (the DirectX query comes next).
HANDLE workerFaulting;

DWORD WINAPI SignalThenFault(void*) {
  SetEvent(workerFaulting);
  WriteThroughNullPointer();
  return 0;
}

bool LogHolds(const char* text) {
  FILE* log = _wfopen(L"C:\\CrashEvent.log", L"rb");
  if (log == nullptr) return false;
  static char bytes[65536];
  size_t n = fread(bytes, 1, sizeof(bytes) - 1, log);
  fclose(log);
  bytes[n] = 0;
  return strstr(bytes, text) != nullptr;
}

int ExitWhileWorkerReports(int delayMs) {
  workerFaulting = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  CreateThread(nullptr, 0, &SignalThenFault, nullptr, 0, nullptr);
  WaitForSingleObject(workerFaulting, INFINITE);
  if (delayMs >= 0) Sleep(delayMs);
  for (int waited = 0; delayMs < 0 && !LogHolds("[Display mode]:") && waited < 60000; ++waited) Sleep(1);
  ExitProcess(0);
}

// A worker faults while the main thread loads the many copies, one after
// another, as a program loads its plug-ins at start-up: the loader lock is
// taken and given back all the time, free only between two loads.
int FaultWhileLoading(int copies) {
  if (copies < 1 || copies > kMostMany) return 5;
  workerFaulting = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  CloseHandle(CreateThread(nullptr, 0, &SignalThenFault, nullptr, 0, nullptr));
  WaitForSingleObject(workerFaulting, INFINITE);
  if (!LoadMany(copies)) return 6;
  Sleep(INFINITE);
  return 0;
}

// Modules and code the symbol handler does not find the usual way.
//
// crashlib.dll with its headers erased in memory, as some protections do
// after a module loads: its size must come from the loader's list.
void CrashInLibraryWithoutHeaders() {
  HMODULE library = LoadLibraryW(L"crashlib.dll");
  auto crash = library ? reinterpret_cast<void (*)()>(GetProcAddress(library, "CrashInLibrary")) : nullptr;
  if (crash == nullptr) ExitProcess(5);
  DWORD old = 0;
  VirtualProtect(library, 4096, PAGE_READWRITE, &old);
  memset(library, 0, 4096);
  crash();
}

// A thunk made at run time, as a JIT compiler or a callback thunk makes
// one: it keeps a frame pointer and calls its argument.
using Thunk = void (*)(void (*)());

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

__attribute__((noinline)) void CallsThroughMadeCode() {
  MakeThunk()(&WriteThroughNullPointer);
  __asm__ volatile("");
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

__attribute__((noinline)) void CallsUnnamedCode() {
  void (*unnamed)();
  __asm__("movl $ruxtrapUnnamedCode, %0" : "=r"(unnamed));
  RecordFact("unnamedCallReturn", reinterpret_cast<void*>(reinterpret_cast<BYTE*>(unnamed) + 16));
  RecordFact("namedAfterUnnamed", reinterpret_cast<void*>(&NamedAfterUnnamedCode));
  unnamed();
  __asm__ volatile("");
}

// A copy of many_lib.dll whose file is renamed once it is loaded, as an
// updater does: the symbol handler cannot read it, and the walk must go on
// through its frame.
__attribute__((noinline)) int CrashThroughRenamedLibrary() {
  wchar_t folder[MAX_PATH], copy[MAX_PATH], moved[MAX_PATH], source[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  swprintf(copy, MAX_PATH, L"%lsruxtrap-renamed-%lu.dll", folder, GetCurrentProcessId());
  swprintf(moved, MAX_PATH, L"%lsruxtrap-renamed-%lu.old", folder, GetCurrentProcessId());
  DWORD n = GetModuleFileNameW(nullptr, source, MAX_PATH);
  while (n > 0 && source[n - 1] != L'\\') --n;
  wcscpy(source + n, L"many\\many_001.dll");
  if (!CopyFileW(source, copy, FALSE)) return 5;
  HMODULE library = LoadLibraryW(copy);
  auto through = library ? reinterpret_cast<CallThroughFn>(reinterpret_cast<void (*)()>(GetProcAddress(library, "CallThrough"))) : nullptr;
  // Wine gives a later process the same id: an earlier run's file may be there.
  if (through == nullptr || !MoveFileExW(copy, moved, MOVEFILE_REPLACE_EXISTING)) return 5;
  through(&FaultHop, nullptr);
  return 0;
}

// A call into a module's data, as through a corrupted function pointer:
// the bytes there are no instruction, and the processor stops at the first.
BYTE notCode[16] = {0xFF, 0xFF, 0xFF, 0xFF};

__attribute__((noinline)) void CallsIntoData() {
  RecordFact("callsIntoDataLine", reinterpret_cast<void*>(__LINE__ + 1));
  reinterpret_cast<void (*)()>(static_cast<void*>(notCode))();
  __asm__ volatile("");
}

// A fault on a stack of the program's own making, as a coroutine or a
// fiber the system does not know runs on: 64 KB from VirtualAlloc, which
// the thread's information block says nothing of.
extern "C" void __cdecl CallOnStackAt(void* top, void (*fn)());
__asm__(
    ".text\n"
    ".globl _CallOnStackAt\n"
    "_CallOnStackAt:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  movl 8(%ebp), %eax\n"
    "  movl 12(%ebp), %ecx\n"
    "  movl %eax, %esp\n"
    "  call *%ecx\n"
    "  movl %ebp, %esp\n"
    "  popl %ebp\n"
    "  ret\n");

// High in the address space, above the thread's own stack, with a page
// nobody may touch below it; the fault comes with 8 KB of it left.
BYTE* ownStackBottom;

__attribute__((noinline)) void RecurseThenFault() {
  volatile BYTE frame[512];
  frame[0] = 0;
  if (const_cast<BYTE*>(frame) - ownStackBottom > 8 * 1024) RecurseThenFault();
  else WriteThroughNullPointer();
  frame[1] = frame[0];
}

void FaultOnAStackOfItsOwn() {
  constexpr SIZE_T kBytes = 64 * 1024, kGuard = 4096;
  BYTE* memory = static_cast<BYTE*>(
      VirtualAlloc(nullptr, kGuard + kBytes, MEM_RESERVE | MEM_COMMIT | MEM_TOP_DOWN, PAGE_READWRITE));
  if (memory == nullptr) ExitProcess(5);
  DWORD old = 0;
  VirtualProtect(memory, kGuard, PAGE_NOACCESS, &old);
  ownStackBottom = memory + kGuard;
  CallOnStackAt(memory + kGuard + kBytes - 64, &RecurseThenFault);
}

int Run(const wchar_t* mode, int argc, wchar_t** argv) {
  int arg = argc > 0 ? _wtoi(argv[0]) : 0;
  RecordFact("exe", GetModuleHandleW(nullptr));
  RecordFact("pid", reinterpret_cast<void*>(GetCurrentProcessId()));
  RecordFact("ruxtrap", GetModuleHandleW(L"Ruxtrap.dll"));
  RecordFact("WriteThroughNullPointer", reinterpret_cast<void*>(&WriteThroughNullPointer));
  if (wcscmp(mode, L"thread") != 0) RecordThreadFacts();
  OSVERSIONINFOEXW version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version));
  RecordFact("osPlatform", reinterpret_cast<void*>(version.dwPlatformId));
  RecordFact("osMajor", reinterpret_cast<void*>(version.dwMajorVersion));
  RecordFact("osMinor", reinterpret_cast<void*>(version.dwMinorVersion));
  RecordFact("osBuild", reinterpret_cast<void*>(version.dwBuildNumber));
  RecordFact("osProduct", reinterpret_cast<void*>(static_cast<DWORD>(version.wProductType)));
  RecordFact("osServicePack0", reinterpret_cast<void*>(static_cast<DWORD>(version.szCSDVersion[0])));
  if (wcscmp(mode, L"av") == 0) WriteThroughNullPointer();
  else if (wcscmp(mode, L"div0") == 0) DivideByZero(arg);
  else if (wcscmp(mode, L"cpp") == 0) RaiseCode(0xE06D7363);
  else if (wcscmp(mode, L"chain") == 0) ChainOuter(nullptr);
  else if (wcscmp(mode, L"deep") == 0) Recurse(arg);
  else if (wcscmp(mode, L"bad-ebp") == 0) CrashWithFramePointer(0x1234);
  else if (wcscmp(mode, L"loop-ebp") == 0) CrashWithLoopingChain();
  else if (wcscmp(mode, L"dll") == 0) CrashInOwnLibrary();
  else if (wcscmp(mode, L"dll-named") == 0) CrashInOwnLibrary(argv[0]);
  else if (wcscmp(mode, L"dll-without-headers") == 0) CrashInLibraryWithoutHeaders();
  else if (wcscmp(mode, L"made-code") == 0) CallsThroughMadeCode();
  else if (wcscmp(mode, L"unnamed-code") == 0) CallsUnnamedCode();
  else if (wcscmp(mode, L"renamed-library") == 0) return CrashThroughRenamedLibrary();
  else if (wcscmp(mode, L"call-data") == 0) CallsIntoData();
  else if (wcscmp(mode, L"own-stack") == 0) FaultOnAStackOfItsOwn();
  else if (wcscmp(mode, L"corrupt-heap") == 0) {
    CorruptTheHeap();
    WriteThroughNullPointer();
  }
  else if (wcscmp(mode, L"low-stack") == 0) {
    HANDLE thread = CreateThread(nullptr, 0, &LowStackThread, nullptr, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    return 7;  // the thread ended without the process ending
  }
  else if (wcscmp(mode, L"overflow") == 0) RecurseForever(0);
  else if (wcscmp(mode, L"overflow-thread") == 0) return OverflowOnWorker();
  else if (wcscmp(mode, L"fpu") == 0) {
    RecordFact("DivideWithTrapsOn", reinterpret_cast<void*>(&DivideWithTrapsOn));
    DivideWithTrapsOn(0.0);
  }
  else if (wcscmp(mode, L"dllmain-waits") == 0) return CrashWhileDllMainWaits();
  else if (wcscmp(mode, L"holding-loader-lock") == 0) return CrashHoldingTheLoaderLock();
  else if (wcscmp(mode, L"on-signal") == 0) FaultOnSignal(argv[0]);
  else if (wcscmp(mode, L"raise") == 0) RaiseCode(wcstoul(argv[0], nullptr, 16));
  else if (wcscmp(mode, L"stack-overflow-code") == 0) RaiseCode(EXCEPTION_STACK_OVERFLOW);
  else if (wcscmp(mode, L"thread") == 0) {
    HANDLE thread = CreateThread(nullptr, 0, &NullWriteThread, nullptr, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
  } else if (wcscmp(mode, L"threads") == 0) return CrashManyThreads(arg);
  else if (wcscmp(mode, L"call-null") == 0) AboveCallsNull();
  else if (wcscmp(mode, L"exit-race") == 0) return ExitWhileWorkerReports(arg);
  else if (wcscmp(mode, L"fault-while-loading") == 0) return FaultWhileLoading(arg);
  else if (wcscmp(mode, L"exit-behind-loader-lock") == 0) return ExitWhileTheReportWaitsForTheLoaderLock();
  else if (wcscmp(mode, L"many-chain") == 0) return CrashThroughMany(arg, argc > 1 ? _wtoi(argv[1]) : 0);
  else if (wcscmp(mode, L"exit") == 0) return arg;
  else {
    fwprintf(stderr, L"crash_host: unknown mode %ls\n", mode);
    return 3;
  }
  return 0;
}

}  // namespace

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

int wmain(int argc, wchar_t** argv) {
  int next = 1;
  bool init = true;
  for (; next < argc && argv[next][0] == L'-' && argv[next][1] == L'-'; ++next) {
    if (wcscmp(argv[next], L"--no-init") == 0) init = false;
    if (wcscmp(argv[next], L"--stamp") == 0) stampFault = true;
    if (wcscmp(argv[next], L"--own-filter") == 0) SetUnhandledExceptionFilter(&EndProcessFilter);
    // The library in the process, not installed: the platform-only filter
    // then works among the same modules as a report.
    if (wcscmp(argv[next], L"--load-library") == 0) LoadLibraryW(L"Ruxtrap.dll");
    if (wcscmp(argv[next], L"--load-many") == 0 && next + 1 < argc && !LoadMany(_wtoi(argv[++next]))) return 5;
    if (wcscmp(argv[next], L"--platform-walk") == 0) {
      BindDbgHelp();
      SetUnhandledExceptionFilter(&PlatformWalkFilter);
    }
  }
  if (next >= argc) {
    fwprintf(stderr, L"usage: crash_host [--no-init] [--load-library] [--load-many N] [--stamp] [--own-filter | --platform-walk] MODE [ARGS...]\n");
    return 2;
  }
  if (init) {
    HMODULE library = LoadLibraryW(L"Ruxtrap.dll");
    auto initRuxtrap =
        library ? reinterpret_cast<InitRuxtrapFn>(reinterpret_cast<void (*)()>(GetProcAddress(library, "InitRuxtrap"))) : nullptr;
    if (initRuxtrap == nullptr) return 4;
    initRuxtrap("crash_host");
  }
  const wchar_t* mode = argv[next++];
  return Run(mode, argc - next, argv + next);
}
