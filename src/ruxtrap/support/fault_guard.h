// Catch-all guards built on the x86 structured exception chain of the thread.
//
// GCC has no __try/__except, so a guard links a registration record of its own
// on the thread's exception list (FS:[0]) and, when an exception or processor
// fault reaches that record, jumps back to the point where the guard began.
// The jump skips the C++ destructors of the frames in between, so anything
// those frames own that must be given back after a fault (the log file, the
// report lock) registers a FaultRelease with the innermost guard of its thread:
// the guard runs the registered releases, newest first, before it jumps.
#pragma once

#include <windows.h>

#include <type_traits>

namespace ruxtrap {

class FaultRelease;

// What a guard reports about the fault it took.
struct FaultInfo {
  DWORD code = 0;
  void* address = nullptr;
};

// Runs body(context) under a guard. Returns true when body returned normally,
// false when the guard took a fault or an exception (fault, if not null, then
// says which). Guards nest: a fault is taken by the innermost one.
bool RunGuarded(void (*body)(void*), void* context, FaultInfo* fault = nullptr);

template <class Body>
bool RunGuarded(Body&& body, FaultInfo* fault = nullptr) {
  using Fn = typename std::remove_reference<Body>::type;
  return RunGuarded([](void* p) { (*static_cast<Fn*>(p))(); }, &body, fault);
}

// Registers an action with the innermost guard of the calling thread for as
// long as this object lives. If a fault unwinds the guard, the action runs
// once, on the faulting thread, before the guard's caller regains control.
// Outside any guard it does nothing. Must live on the stack of the guarded code.
class FaultRelease {
 public:
  using Action = void (*)(void* owner);
  FaultRelease(Action action, void* owner);
  ~FaultRelease();
  FaultRelease(const FaultRelease&) = delete;
  FaultRelease& operator=(const FaultRelease&) = delete;

 private:
  friend struct GuardFrame;
  Action action_;
  void* owner_;
  struct GuardFrame* guard_;
  FaultRelease* next_;
};

}  // namespace ruxtrap
