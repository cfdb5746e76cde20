// What deployed programs do to a crash report: a damaged process heap, a
// thread that enters the loader after the crash, a crash in the
// multi-threaded COM apartment while holding the loader lock, a second
// thread's fault during the report while it holds the heap's lock, several
// deep reports at once.
#include <windows.h>
#include <objbase.h>

#include <string.h>

#include "modes.h"

namespace {

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

int CrashWithTheHeapDamaged(const ModeArgs&) {
  OverrunProcessHeapBlocks();
  return WriteThroughNullPointer();
}

// Takes the loader lock for good as soon as the report is on disk, as a
// thread that starts loading a DLL whose DllMain waits for the crashed
// thread does: the process must still end.
DWORD WINAPI TakeLoaderLockAfterTheReport(void*) {
  SignalRunning();
  while (!LogEndsWithWholeReport()) Sleep(1);
  ULONG_PTR cookie = 0;
  LoaderLockCall()(0, nullptr, &cookie);
  Sleep(INFINITE);
  return 0;
}

int CrashThenLoaderTakenForGood(const ModeArgs&) {
  DeleteFileW(L"C:\\CrashEvent.log");
  StartRunningThread(&TakeLoaderLockAfterTheReport);
  return WriteThroughNullPointer();
}

// Code run by the loader (it holds the loader lock) on a thread of the
// multi-threaded apartment faults.
int CrashInMultiThreadedApartmentHoldingTheLoaderLock(const ModeArgs&) {
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 6;
  ULONG_PTR cookie = 0;
  if (LoaderLockCall()(0, nullptr, &cookie) != 0) return 6;
  return WriteThroughNullPointer();
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
  SignalRunning();
  while (LogSize() <= logSizeBeforeTheCrash) Sleep(1);
  HeapLock(GetProcessHeap());
  WriteThroughNullPointer();
  return 0;
}

int CrashWhileAnotherThreadFaultsInTheHeap(const ModeArgs&) {
  loaderLockHeld = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  logSizeBeforeTheCrash = LogSize();
  // Running before the loader lock is taken: a thread's start needs it.
  StartRunningThread(&FaultHoldingTheHeapLockOnceTheReportWrites);
  CreateThread(nullptr, 0, &HoldTheLoaderLockASecond, nullptr, 0, nullptr);
  WaitForSingleObject(loaderLockHeld, INFINITE);
  return WriteThroughNullPointer();
}

// Several processes overflow their stacks at the same moment (see
// WaitForSignal).
int OverflowOnSignal(const ModeArgs& args) {
  WaitForSignal(args.Text(0));
  return RecurseForever(0);
}

const Mode kModes[] = {
    {L"damaged-heap", &CrashWithTheHeapDamaged, nullptr},
    {L"loader-taken-after-report", &CrashThenLoaderTakenForGood, nullptr},
    {L"heap-fault-during-report", &CrashWhileAnotherThreadFaultsInTheHeap, nullptr},
    {L"mta-holding-loader-lock", &CrashInMultiThreadedApartmentHoldingTheLoaderLock, nullptr},
    {L"overflow-on-signal", &OverflowOnSignal, nullptr},
};

}  // namespace

const ModeTable kHostileModes = TableOf(kModes);
