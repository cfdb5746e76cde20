#include "support/reserve_stack.h"
#include "support/thread_block.h"

namespace ruxtrap {

namespace {

constexpr SIZE_T kGuardBytes = 4096;
// The owner while the stack is being given back: no thread has this id
// (the system's are multiples of 4), so no thread takes the stack meanwhile.
constexpr LONG kReleasing = -1;
// Where a chain's final record sits below the top of a stack: the stack
// below it starts 16-byte aligned, as the calls made there expect.
constexpr SIZE_T kFinalRecordOffset = 16;
// Far more records than any real chain holds; a longer one loops.
constexpr int kMostRecords = 100000;

bool RecordWithin(const EXCEPTION_REGISTRATION_RECORD* record, const void* limit, const void* base) {
  auto at = reinterpret_cast<ULONG_PTR>(record);
  return (at & 3) == 0 && at >= reinterpret_cast<ULONG_PTR>(limit) &&
         at + sizeof(*record) <= reinterpret_cast<ULONG_PTR>(base);
}

// Stands in as the final handler when the thread's own chain cannot be
// followed: it leaves the exception to the system.
EXCEPTION_DISPOSITION NTAPI ContinueSearch(EXCEPTION_RECORD*, void*, CONTEXT*, void*) {
  return ExceptionContinueSearch;
}

// What the switch changes in the thread information block.
struct ThreadStackState {
  void* base;
  void* limit;
  void* deallocation;
  EXCEPTION_REGISTRATION_RECORD* chain;

  static ThreadStackState Of(const ThreadBlock* thread) {
    const NT_TIB& tib = thread->tib;
    return {tib.StackBase, tib.StackLimit, thread->deallocationStack, tib.ExceptionList};
  }
  void Apply(ThreadBlock* thread) const {
    thread->tib.ExceptionList = chain;
    thread->deallocationStack = deallocation;
    thread->tib.StackLimit = limit;
    thread->tib.StackBase = base;
  }
};

// The stack a thread left for a reserve stack, while it runs there: as the
// thread had it, where its frames there end, and the handler of its final
// record. One thread at a time runs on a reserve stack.
struct OuterStack {
  DWORD thread;  // 0: none
  ThreadStackState state;
  BYTE* inUseFrom;
  PEXCEPTION_ROUTINE finalHandler;
};
OuterStack outer = {};

// Below the frames a thread left on its own stack: the switch's own pushes
// and any arguments it pushed lie within this.
constexpr SIZE_T kOuterMargin = 256;
// Never used at the stack's low end: the pages the system keeps to raise a
// stack overflow.
constexpr SIZE_T kOuterFloorBytes = 16 * 1024;

BYTE* CurrentStackPointer() {
  BYTE* esp;
  __asm__ volatile("movl %%esp, %0" : "=r"(esp));
  return esp;
}

// The lowest address of the outer stack that code may reach: where the
// stack can grow (the page below its committed part is its guard page), the
// floor above the allocation's start; else the committed part's end.
BYTE* OuterStackFloor(const ThreadStackState& state) {
  BYTE* limit = static_cast<BYTE*>(state.limit);
  MEMORY_BASIC_INFORMATION below;
  if (VirtualQuery(limit - 1, &below, sizeof(below)) == 0 || (below.Protect & PAGE_GUARD) == 0) return limit;
  return static_cast<BYTE*>(state.deallocation) + kOuterFloorBytes;
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
    "  subl $12, %esp\n"       // with a 16-byte aligned top, ESP is aligned at the call
    "  pushl %edx\n"
    "  call *%ecx\n"
    "  movl %ebp, %esp\n"
    "  popl %ebp\n"
    "  ret\n");

PEXCEPTION_ROUTINE FinalHandlerOf(EXCEPTION_REGISTRATION_RECORD* head, const void* limit, const void* base) {
  EXCEPTION_REGISTRATION_RECORD* record = head;
  for (int i = 0; i < kMostRecords && RecordWithin(record, limit, base); ++i) {
    if (record->Next == kChainEnd) return record->Handler;
    record = record->Next;
  }
  return nullptr;
}

ReserveStack::ReserveStack(SIZE_T bytes) : memory_(nullptr), bytes_(bytes), owner_(0) {
  memory_ = static_cast<BYTE*>(VirtualAlloc(nullptr, kGuardBytes + bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  DWORD old;
  if (memory_ != nullptr) VirtualProtect(memory_, kGuardBytes, PAGE_NOACCESS, &old);
}

// Owning the stack while it goes keeps a thread from coming to run on it
// between the look and the free.
void ReserveStack::Release() {
  if (InterlockedCompareExchange(&owner_, kReleasing, 0) != 0) return;
  BYTE* memory = memory_;
  memory_ = nullptr;
  if (memory != nullptr) VirtualFree(memory, 0, MEM_RELEASE);
  InterlockedExchange(&owner_, 0);
}

bool ReserveStack::Contains(const void* address) const {
  const BYTE* a = static_cast<const BYTE*>(address);
  return memory_ != nullptr && a >= memory_ && a < memory_ + kGuardBytes + bytes_;
}

void ReserveStack::Run(void (*fn)(void*), void* arg, void (*whileWaiting)(DWORD waitingSince)) {
  const LONG self = static_cast<LONG>(GetCurrentThreadId());
  if (owner_ == self) {
    fn(arg);
    return;
  }
  if (InterlockedCompareExchange(&owner_, self, 0) != 0) {
    const DWORD waitingSince = GetTickCount();
    do {
      if (whileWaiting != nullptr) whileWaiting(waitingSince);
      Sleep(1);
    } while (InterlockedCompareExchange(&owner_, self, 0) != 0);
  }
  if (memory_ != nullptr)
    RunSwitched(fn, arg);
  else
    fn(arg);
  InterlockedExchange(&owner_, 0);
}

// The final record sits at the top of the reserve stack. The thread's own state
// is kept in outer, where RunOnOuterStack finds it and leaves the stack's
// limit as it grew meanwhile.
void ReserveStack::RunSwitched(void (*fn)(void*), void* arg) {
  ThreadBlock* thread = CurrentThreadBlock();
  const OuterStack enclosing = outer;
  const ThreadStackState own = ThreadStackState::Of(thread);
  BYTE* bottom = memory_ + kGuardBytes;
  BYTE* top = bottom + bytes_;
  auto* last = reinterpret_cast<EXCEPTION_REGISTRATION_RECORD*>(top - kFinalRecordOffset);
  last->Next = kChainEnd;
  last->Handler = FinalHandlerOf(own.chain, own.limit, own.base);
  if (last->Handler == nullptr) last->Handler = &ContinueSearch;
  outer = {GetCurrentThreadId(), own, CurrentStackPointer() - kOuterMargin, last->Handler};
  ThreadStackState{top, bottom, memory_, last}.Apply(thread);
  RuxtrapCallOnStack(last, fn, arg);
  outer.state.Apply(thread);
  outer = enclosing;
}

// Only where the thread left from the stack its information block
// describes: a thread that runs on a stack of its own making (a coroutine's,
// a fiber the system does not know) left where the bounds say nothing of
// the room below it.
bool RunOnOuterStack(void (*fn)(void*), void* arg, SIZE_T minBytes) {
  if (outer.thread != GetCurrentThreadId()) return false;
  BYTE* top = reinterpret_cast<BYTE*>(reinterpret_cast<ULONG_PTR>(outer.inUseFrom) & ~ULONG_PTR{15});
  BYTE* floor = OuterStackFloor(outer.state);
  if (top > static_cast<BYTE*>(outer.state.base) || top <= floor || static_cast<SIZE_T>(top - floor) < minBytes)
    return false;
  ThreadBlock* thread = CurrentThreadBlock();
  const ThreadStackState reserve = ThreadStackState::Of(thread);
  auto* last = reinterpret_cast<EXCEPTION_REGISTRATION_RECORD*>(top - kFinalRecordOffset);
  last->Next = kChainEnd;
  last->Handler = outer.finalHandler;
  ThreadStackState{outer.state.base, outer.state.limit, outer.state.deallocation, last}.Apply(thread);
  RuxtrapCallOnStack(last, fn, arg);
  outer.state.limit = thread->tib.StackLimit;
  reserve.Apply(thread);
  return true;
}

}  // namespace ruxtrap
