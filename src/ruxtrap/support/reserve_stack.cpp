#include "support/reserve_stack.h"
#include "support/thread_block.h"

namespace ruxtrap {

namespace {

constexpr SIZE_T kGuardBytes = 4096;
// The lowest address of the thread's stack allocation, kept in the TEB.
constexpr DWORD kDeallocationStackOffset = 0xE0C;

void*& DeallocationStack(NT_TIB* tib) {
  return *reinterpret_cast<void**>(reinterpret_cast<BYTE*>(tib) + kDeallocationStackOffset);
}

}  // namespace

// Calls fn(arg) with ESP at top; the old frame pointer comes back from EBP.
extern "C" void __cdecl RuxtrapCallOnStack(void* top, void (*fn)(void*), void* arg);
__asm__(
    ".text\n"
    ".globl _RuxtrapCallOnStack\n"
    "_RuxtrapCallOnStack:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  movl 8(%ebp), %eax\n"   // top
    "  movl 12(%ebp), %ecx\n"  // fn
    "  movl 16(%ebp), %edx\n"  // arg
    "  movl %eax, %esp\n"
    "  subl $12, %esp\n"       // keeps ESP 16-byte aligned at the call
    "  pushl %edx\n"
    "  call *%ecx\n"
    "  movl %ebp, %esp\n"
    "  popl %ebp\n"
    "  ret\n");

ReserveStack::ReserveStack(SIZE_T bytes) : memory_(nullptr), bytes_(bytes) {
  memory_ = static_cast<BYTE*>(VirtualAlloc(nullptr, kGuardBytes + bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  DWORD old;
  if (memory_ != nullptr) VirtualProtect(memory_, kGuardBytes, PAGE_NOACCESS, &old);
}

ReserveStack::~ReserveStack() {
  if (memory_ != nullptr) VirtualFree(memory_, 0, MEM_RELEASE);
  memory_ = nullptr;
}

bool ReserveStack::Contains(const void* address) const {
  const BYTE* a = static_cast<const BYTE*>(address);
  return memory_ != nullptr && a >= memory_ && a < memory_ + kGuardBytes + bytes_;
}

void ReserveStack::Run(void (*fn)(void*), void* arg) {
  volatile BYTE here = 0;
  if (memory_ == nullptr || Contains(const_cast<BYTE*>(&here))) {
    fn(arg);
    return;
  }
  NT_TIB* tib = ThreadInfoBlock();
  void* savedBase = tib->StackBase;
  void* savedLimit = tib->StackLimit;
  void* savedDeallocation = DeallocationStack(tib);
  BYTE* bottom = memory_ + kGuardBytes;
  BYTE* top = bottom + bytes_;
  DeallocationStack(tib) = memory_;
  tib->StackLimit = bottom;
  tib->StackBase = top;
  RuxtrapCallOnStack(top, fn, arg);
  tib->StackBase = savedBase;
  tib->StackLimit = savedLimit;
  DeallocationStack(tib) = savedDeallocation;
}

}  // namespace ruxtrap
