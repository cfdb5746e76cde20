// Plain faults and exceptions, and the frames the walk must read around
// them: a chain of named functions, a deep recursion, broken frame chains,
// calls through a null pointer or into data, floating-point traps.
#include <windows.h>

#include "modes.h"

namespace {

__attribute__((noinline)) int DivideByZero(const ModeArgs& args) {
  volatile int dividend = 1;
  volatile int quotient = dividend / args.Number(0);  // volatile: the division must happen
  return quotient;
}

__attribute__((noinline)) int RaiseCode(const ModeArgs& args) {
  RaiseException(args.Hex(0), 0, 0, nullptr);
  return 0;
}

// A chain of named functions; the fault's source line is recorded.
__attribute__((noinline)) void ChainInner(volatile int* target) {
  RecordFact("chainFaultLine", __LINE__ + 1);
  *target = 7;
}
__attribute__((noinline)) void ChainMiddle(volatile int* target) {
  ChainInner(target);
  __asm__ volatile("");  // keeps the call from becoming a jump
}
__attribute__((noinline)) int ChainOuter(const ModeArgs&) {
  ChainMiddle(nullptr);
  __asm__ volatile("");
  return 0;
}

// depth frames of Recurse, then a fault. The mode's own call is the first
// of them.
__attribute__((noinline)) int Recurse(int depth) {
  if (depth <= 1) return WriteThroughNullPointer();
  return Recurse(depth - 1) + 1;  // not a tail call: every level keeps its frame
}
__attribute__((noinline)) int Recurse(const ModeArgs& args) {
  const int depth = args.Number(0);
  return depth <= 1 ? WriteThroughNullPointer() : Recurse(depth - 1) + 1;
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

int CrashWithBadFramePointer(const ModeArgs&) {
  CrashWithFramePointer(0x1234);
  return 0;
}

// A frame whose saved frame pointer points at itself.
__attribute__((noinline)) int CrashWithLoopingChain(const ModeArgs&) {
  static DWORD frame[2];
  frame[0] = reinterpret_cast<DWORD>(&frame[0]);
  frame[1] = reinterpret_cast<DWORD>(&CrashWithLoopingChain) + 4;
  CrashWithFramePointer(reinterpret_cast<DWORD>(&frame[0]));
  return 0;
}

// A call through a null function pointer: the fault is at address 0, and
// only the return address on the stack tells that CallsNull made the call.
void (*volatile nullCallback)() = nullptr;

__attribute__((noinline)) void CallsNull() {
  RecordFact("callsNullLine", __LINE__ + 1);
  nullCallback();
  __asm__ volatile("");
}

__attribute__((noinline)) int AboveCallsNull(const ModeArgs&) {
  CallsNull();
  __asm__ volatile("");
  return 0;
}

// A call into a module's data, as through a corrupted function pointer:
// the bytes there are no instruction, and the processor stops at the first.
BYTE notCode[16] = {0xFF, 0xFF, 0xFF, 0xFF};

__attribute__((noinline)) int CallsIntoData(const ModeArgs&) {
  RecordFact("callsIntoDataLine", __LINE__ + 1);
  reinterpret_cast<void (*)()>(static_cast<void*>(notCode))();
  __asm__ volatile("");
  return 0;
}

// A host that traps floating-point errors, as many numeric programs do:
// zero-divide, invalid and overflow unmasked in the x87 control word. The
// division leaves the exception pending; the next x87 instruction raises it.
__attribute__((noinline)) int DivideWithTrapsOn(const ModeArgs&) {
  RecordFact("DivideWithTrapsOn", reinterpret_cast<void*>(&DivideWithTrapsOn));
  volatile double divisor = 0.0;
  unsigned short control;
  __asm__ volatile("fnstcw %0" : "=m"(control));
  control &= ~(0x01 | 0x04 | 0x08);
  __asm__ volatile("fldcw %0" : : "m"(control));
  volatile double quotient = 1.0 / divisor;
  return static_cast<int>(quotient);
}

int ExitWithCode(const ModeArgs& args) { return args.Number(0); }

const Mode kModes[] = {
    {L"av", &WriteThroughNullPointer, nullptr},
    {L"div0", &DivideByZero, nullptr},
    {L"cpp", &RaiseCode, L"E06D7363"},
    {L"raise", &RaiseCode, nullptr},
    {L"stack-overflow-code", &RaiseCode, L"C00000FD"},
    {L"chain", &ChainOuter, nullptr},
    {L"deep", static_cast<ModeFunction>(&Recurse), nullptr},
    {L"bad-ebp", &CrashWithBadFramePointer, nullptr},
    {L"loop-ebp", &CrashWithLoopingChain, nullptr},
    {L"call-null", &AboveCallsNull, nullptr},
    {L"call-data", &CallsIntoData, nullptr},
    {L"fpu", &DivideWithTrapsOn, nullptr},
    {L"exit", &ExitWithCode, nullptr},
};

}  // namespace

const ModeTable kFaultModes = TableOf(kModes);
