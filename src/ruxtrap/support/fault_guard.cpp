#include "support/fault_guard.h"
#include "support/thread_block.h"

namespace ruxtrap {

namespace {

EXCEPTION_DISPOSITION NTAPI GuardHandler(EXCEPTION_RECORD* record, void* establisher,
                                           CONTEXT* context, void* dispatcher);

}  // namespace

// The registration record comes first, so the record's address is the frame's.
struct GuardFrame {
  EXCEPTION_REGISTRATION_RECORD record;
  void* resume[5];  // the jump buffer of __builtin_setjmp
  FaultRelease* releases;
  FaultInfo taken;

  // The innermost guard of this thread: the first record on the chain whose
  // handler is ours. The chain ends with the value 0xFFFFFFFF.
  static GuardFrame* Innermost() {
    auto* r = ThreadInfoBlock()->ExceptionList;
    while (r != nullptr && r != kChainEnd) {
      if (r->Handler == GuardHandler) return reinterpret_cast<GuardFrame*>(r);
      r = r->Next;
    }
    return nullptr;
  }

  // Runs the releases registered with this guard, newest first. Each one is
  // unlinked before it runs, so a release that faults is not run twice.
  void RunReleases() {
    while (FaultRelease* r = releases) {
      releases = r->next_;
      r->guard_ = nullptr;
      r->action_(r->owner_);
    }
  }
};

namespace {

EXCEPTION_DISPOSITION NTAPI GuardHandler(EXCEPTION_RECORD* record, void* establisher,
                                           CONTEXT*, void*) {
  // During an unwind the guard has nothing to do: it is being passed over.
  if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
    return ExceptionContinueSearch;
  auto* frame = static_cast<GuardFrame*>(establisher);
  frame->taken.code = record->ExceptionCode;
  frame->taken.address = record->ExceptionAddress;
  // The frames of the guarded code still stand above us on the stack: release
  // what they own now, before the jump leaves their memory to be reused.
  frame->RunReleases();
  // Unwind the records above ours (their unwind handlers run), then take ours
  // off the chain and jump back to where the guard began. The unwind targets
  // our own record, which always lies within the current stack bounds, also
  // on the report's reserve stack.
  RtlUnwind(&frame->record, nullptr, nullptr, nullptr);
  ThreadInfoBlock()->ExceptionList = frame->record.Next;
  __builtin_longjmp(frame->resume, 1);
}

}  // namespace

bool RunGuarded(void (*body)(void*), void* context, FaultInfo* fault) {
  GuardFrame frame;
  frame.releases = nullptr;
  if (__builtin_setjmp(frame.resume) != 0) {
    if (fault != nullptr) *fault = frame.taken;
    return false;
  }
  NT_TIB* tib = ThreadInfoBlock();
  frame.record.Next = tib->ExceptionList;
  frame.record.Handler = GuardHandler;
  tib->ExceptionList = &frame.record;
  body(context);
  tib->ExceptionList = frame.record.Next;
  return true;
}

FaultRelease::FaultRelease(Action action, void* owner)
    : action_(action), owner_(owner), guard_(GuardFrame::Innermost()), next_(nullptr) {
  if (guard_ != nullptr) {
    next_ = guard_->releases;
    guard_->releases = this;
  }
}

FaultRelease::~FaultRelease() {
  if (guard_ == nullptr) return;
  for (FaultRelease** link = &guard_->releases; *link != nullptr; link = &(*link)->next_) {
    if (*link == this) {
      *link = next_;
      break;
    }
  }
}

}  // namespace ruxtrap
