// A stack of the library's own for the crash report, so the report does not
// depend on how much stack the faulting thread has left (a stack overflow
// leaves only a few KB). No thread is created: the calling thread switches to
// the reserve stack and back, with its stack bounds in the thread information
// block moved along, as the platform's fibers do, so exception dispatching
// still accepts the guards' registration records on the reserve stack.
#pragma once

#include <windows.h>

namespace ruxtrap {

class ReserveStack {
 public:
  // Reserves and commits the stack, with an inaccessible page below it so an
  // overflow faults instead of writing over other memory.
  explicit ReserveStack(SIZE_T bytes);
  ~ReserveStack();
  ReserveStack(const ReserveStack&) = delete;
  ReserveStack& operator=(const ReserveStack&) = delete;

  // Runs fn(arg) on the reserve stack, or on the current stack when the
  // reserve could not be allocated or is already in use by this thread. One
  // thread at a time: callers hold the report lock.
  void Run(void (*fn)(void*), void* arg);

  bool Contains(const void* address) const;

 private:
  BYTE* memory_;  // the guard page, then the stack
  SIZE_T bytes_;
};

}  // namespace ruxtrap
