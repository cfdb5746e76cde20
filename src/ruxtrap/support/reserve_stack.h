// A stack of the library's own for the crash report, so the report does not
// depend on how much stack the faulting thread has left (a stack overflow
// leaves about a page). No thread is created: the calling thread switches to
// the reserve stack and back, as the platform's fibers do, with its stack
// bounds in the thread information block moved along, so exception
// dispatching accepts the registration records on the reserve stack.
//
// While the thread runs there, its exception chain lies on the reserve stack
// too: it starts empty, ending in a final record with the same handler as the
// thread's own final record, as exception-chain validation requires of every
// chain (each record inside the current stack bounds, the chain ending at the
// system's final handler). The thread's own chain comes back with the switch
// back.
#pragma once

#include <windows.h>

namespace ruxtrap {

class ReserveStack {
 public:
  // Reserves and commits the stack, with an inaccessible page below it so an
  // overflow faults instead of writing over other memory.
  explicit ReserveStack(SIZE_T bytes);
  ReserveStack(const ReserveStack&) = delete;
  ReserveStack& operator=(const ReserveStack&) = delete;

  // Gives the memory back, unless a thread is running on it (a report that
  // ends the process runs the unload actions from the reserve stack); a
  // thread that comes to Run meanwhile waits for it and then runs fn on its
  // own stack.
  void Release();

  // Runs fn(arg) on the reserve stack. One thread at a time: another thread
  // waits here, using almost none of its own stack, until the first is done,
  // calling whileWaiting(the tick its wait began) as it polls. The thread
  // already on the stack (a fault inside the report) runs fn where it is.
  // Without the memory (the allocation failed) fn runs on the caller's
  // stack, still one thread at a time.
  void Run(void (*fn)(void*), void* arg, void (*whileWaiting)(DWORD waitingSince) = nullptr);

  bool Contains(const void* address) const;

 private:
  void RunSwitched(void (*fn)(void*), void* arg);

  BYTE* memory_;  // the guard page, then the stack
  SIZE_T bytes_;
  volatile LONG owner_;  // id of the thread running fn, 0 when none
};

// Runs fn(arg) back on the stack the calling thread came from when it
// switched to the reserve stack it runs on, below every frame it left there,
// with that stack's bounds in the thread information block: code that
// takes the thread's stack from those bounds and its current stack pointer
// (a dump of the process written by the thread itself) then finds the
// thread's own frames, those of the fault included. fn's exception chain
// starts empty there, ending in the thread's final record; fn must take its
// own faults (RunGuarded). False, without running fn, when the thread runs
// on no reserve stack, or less than minBytes are left below its frames (a
// stack overflow leaves about a page).
bool RunOnOuterStack(void (*fn)(void*), void* arg, SIZE_T minBytes);

// The handler of the final record of the chain that starts at head, where
// every record lies aligned within [limit, base); null when the chain leaves
// the bounds or does not end.
PEXCEPTION_ROUTINE FinalHandlerOf(EXCEPTION_REGISTRATION_RECORD* head, const void* limit, const void* base);

}  // namespace ruxtrap
