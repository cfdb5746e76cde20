// A crash host for what deployed programs do to a crash report: a damaged
// process heap, a thread that enters the loader after the crash, a crash in
// the multi-threaded COM apartment while holding the loader lock, a second
// thread's fault during the report while it holds the heap's lock, several
// deep reports at once. Loads Ruxtrap.dll from its own folder and calls
// InitRuxtrap, then crashes as MODE says.
//   hostile_host MODE [ARGS...]
#include <windows.h>
#include <objbase.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

namespace {

using InitRuxtrapFn = void(WINAPI*)(const char*);
using LdrLockLoaderLockFn = LONG(NTAPI*)(ULONG flags, ULONG* disposition, ULONG_PTR* cookie);

__attribute__((noinline)) void WriteThroughNullPointer() {
  volatile int* volatile target = nullptr;
  *target = 42;
}

// Unbounded recursion (the flag only hides that from the compiler).
volatile bool recurseOn = true;
__attribute__((noinline)) int RecurseForever(int depth) {
  volatile char frame[64];
  frame[0] = static_cast<char>(depth);
  if (!recurseOn) return 0;
  return RecurseForever(depth + 1) + frame[0];
}

// Overruns every other block of a run of process-heap blocks by 32 bytes
// into its freed neighbour, as a buffer overflow does: the heap's own
// records are damaged before the fault, and the heap's next allocation of
// that size faults.
__attribute__((noinline)) void OverrunProcessHeapBlocks() {
  HANDLE heap = GetProcessHeap();
  BYTE* blocks[64];
  for (BYTE*& block : blocks) block = static_cast<BYTE*>(HeapAlloc(heap, 0, 100));
  for (int i = 1; i < 64; i += 2) HeapFree(heap, 0, blocks[i]);
  for (int i = 0; i < 64; i += 2) memset(blocks[i], 0x41, 100 + 32);
}

LdrLockLoaderLockFn LoaderLockCall() {
  return reinterpret_cast<LdrLockLoaderLockFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "LdrLockLoaderLock")));
}

bool LogEndsWithWholeReport() {
  char tail[6] = {};
  FILE* log = fopen("C:\\CrashEvent.log", "rb");
  if (log == nullptr) return false;
  bool whole = fseek(log, -6, SEEK_END) == 0 && fread(tail, 1, 6, log) == 6 && memcmp(tail, "\r\n\r\n\r\n", 6) == 0;
  fclose(log);
  return whole;
}

// Bytes in C:\CrashEvent.log; 0 when there is none.
ULONGLONG LogSize() {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(L"C:\\CrashEvent.log", GetFileExInfoStandard, &data)) return 0;
  return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Set by a thread once it runs: a thread's start-up takes the loader lock,
// so the crash must not come before it.
HANDLE threadRunning;

// Takes the loader lock for good as soon as the report is on disk, as a
// thread that starts loading a DLL whose DllMain waits for the crashed
// thread does: the process must still end.
DWORD WINAPI TakeLoaderLockAfterTheReport(void*) {
  SetEvent(threadRunning);
  while (!LogEndsWithWholeReport()) Sleep(1);
  ULONG_PTR cookie = 0;
  LoaderLockCall()(0, nullptr, &cookie);
  Sleep(INFINITE);
  return 0;
}

int CrashThenLoaderTakenForGood() {
  DeleteFileW(L"C:\\CrashEvent.log");
  threadRunning = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  CreateThread(nullptr, 0, &TakeLoaderLockAfterTheReport, nullptr, 0, nullptr);
  WaitForSingleObject(threadRunning, INFINITE);
  WriteThroughNullPointer();
  return 0;
}

// Code run by the loader (it holds the loader lock) on a thread of the
// multi-threaded apartment faults.
int CrashInMultiThreadedApartmentHoldingTheLoaderLock() {
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 6;
  ULONG_PTR cookie = 0;
  if (LoaderLockCall()(0, nullptr, &cookie) != 0) return 6;
  WriteThroughNullPointer();
  return 0;
}

// A second thread faults while the first thread's report runs, holding the
// process heap's lock as a thread that faults inside the allocator does: the
// report's next heap call waits for it, while it waits for the report. The
// first report is held up first by a thread that keeps the loader lock for a
// second. The second fault comes once the report has written to its log,
// however long the report takes to get there. (A fault made by damaging the
// heap's own records comes or not as the heap's layout happens to be by
// then; the lock taken through the heap's interface is held for certain.)
HANDLE loaderLockHeld;
ULONGLONG logSizeBeforeTheCrash;

DWORD WINAPI HoldTheLoaderLockASecond(void*) {
  ULONG_PTR cookie = 0;
  LoaderLockCall()(0, nullptr, &cookie);
  SetEvent(loaderLockHeld);
  Sleep(1000);
  using UnlockFn = LONG(NTAPI*)(ULONG flags, ULONG_PTR cookie);
  reinterpret_cast<UnlockFn>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "LdrUnlockLoaderLock")))(0, cookie);
  return 0;
}

DWORD WINAPI FaultHoldingTheHeapLockOnceTheReportWrites(void*) {
  SetEvent(threadRunning);
  while (LogSize() <= logSizeBeforeTheCrash) Sleep(1);
  HeapLock(GetProcessHeap());
  WriteThroughNullPointer();
  return 0;
}

int CrashWhileAnotherThreadFaultsInTheHeap() {
  loaderLockHeld = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  logSizeBeforeTheCrash = LogSize();
  // Running before the loader lock is taken: a thread's start needs it.
  threadRunning = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  CreateThread(nullptr, 0, &FaultHoldingTheHeapLockOnceTheReportWrites, nullptr, 0, nullptr);
  WaitForSingleObject(threadRunning, INFINITE);
  CreateThread(nullptr, 0, &HoldTheLoaderLockASecond, nullptr, 0, nullptr);
  WaitForSingleObject(loaderLockHeld, INFINITE);
  WriteThroughNullPointer();
  return 0;
}

// Waits for the named event, once counted in on the semaphore NAME-ready
// (when the caller made one).
void WaitForEvent(const wchar_t* name) {
  HANDLE signal = OpenEventW(SYNCHRONIZE, FALSE, name);
  wchar_t readyName[128];
  swprintf(readyName, 128, L"%ls-ready", name);
  HANDLE ready = OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, readyName);
  if (signal == nullptr) ExitProcess(5);
  if (ready != nullptr) ReleaseSemaphore(ready, 1, nullptr);
  WaitForSingleObject(signal, INFINITE);
}

int Run(const wchar_t* mode, int argc, wchar_t** argv) {
  if (wcscmp(mode, L"damaged-heap") == 0) {
    OverrunProcessHeapBlocks();
    WriteThroughNullPointer();
  } else if (wcscmp(mode, L"loader-taken-after-report") == 0) {
    return CrashThenLoaderTakenForGood();
  } else if (wcscmp(mode, L"heap-fault-during-report") == 0) {
    return CrashWhileAnotherThreadFaultsInTheHeap();
  } else if (wcscmp(mode, L"mta-holding-loader-lock") == 0) {
    return CrashInMultiThreadedApartmentHoldingTheLoaderLock();
  } else if (wcscmp(mode, L"overflow-on-signal") == 0 && argc > 0) {
    WaitForEvent(argv[0]);
    RecurseForever(0);
  } else {
    fwprintf(stderr, L"hostile_host: unknown mode %ls\n", mode);
    return 3;
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    fwprintf(stderr, L"usage: hostile_host MODE [ARGS...]\n");
    return 2;
  }
  HMODULE library = LoadLibraryW(L"Ruxtrap.dll");
  auto initRuxtrap =
      library ? reinterpret_cast<InitRuxtrapFn>(reinterpret_cast<void (*)()>(GetProcAddress(library, "InitRuxtrap")))
              : nullptr;
  if (initRuxtrap == nullptr) return 4;
  initRuxtrap("hostile_host");
  return Run(argv[1], argc - 2, argv + 2);
}
