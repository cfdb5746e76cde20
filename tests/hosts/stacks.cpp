// Stacks that run out: a real overflow on the main thread or a worker, a
// report made with only a few KB of stack left, and a fault on a stack of
// the program's own making.
#include <windows.h>

#include "modes.h"

namespace {

int OverflowTheStack(const ModeArgs&) { return RecurseForever(0); }

DWORD WINAPI OverflowThread(void*) {
  RecordThreadFacts();
  RecurseForever(0);
  return 0;
}

// A worker thread with a small stack (256 KB reserved) that overflows it.
int OverflowOnWorker(const ModeArgs&) {
  HANDLE thread = CreateThread(nullptr, 256 * 1024, &OverflowThread, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION,
                               nullptr);
  WaitForSingleObject(thread, INFINITE);
  return 7;  // the thread ended without the process ending
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

int ReportWithLittleStackLeftOnWorker(const ModeArgs&) {
  HANDLE thread = CreateThread(nullptr, 0, &LowStackThread, nullptr, 0, nullptr);
  WaitForSingleObject(thread, INFINITE);
  return 7;  // the thread ended without the process ending
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

int FaultOnAStackOfItsOwn(const ModeArgs&) {
  constexpr SIZE_T kBytes = 64 * 1024, kGuard = 4096;
  BYTE* memory = static_cast<BYTE*>(
      VirtualAlloc(nullptr, kGuard + kBytes, MEM_RESERVE | MEM_COMMIT | MEM_TOP_DOWN, PAGE_READWRITE));
  if (memory == nullptr) ExitProcess(5);
  DWORD old = 0;
  VirtualProtect(memory, kGuard, PAGE_NOACCESS, &old);
  ownStackBottom = memory + kGuard;
  CallOnStackAt(memory + kGuard + kBytes - 64, &RecurseThenFault);
  return 0;
}

const Mode kModes[] = {
    {L"overflow", &OverflowTheStack, nullptr},
    {L"overflow-thread", &OverflowOnWorker, nullptr},
    {L"low-stack", &ReportWithLittleStackLeftOnWorker, nullptr},
    {L"own-stack", &FaultOnAStackOfItsOwn, nullptr},
};

}  // namespace

const ModeTable kStackModes = TableOf(kModes);
