// The floating-point state a report runs in.
//
// A host that unmasks floating-point traps (zero divide, invalid, overflow)
// faults with the x87 exception still pending: the first x87 instruction of
// the report, inside the runtime or a system call, would raise it again, and
// an SSE instruction would trap on the host's MXCSR. The report therefore
// starts from the platform's default state: x87 flags and register stack
// cleared, every exception masked, MXCSR at its default. The exception record and the
// context the report describes are not touched: they keep the fault's state.
#pragma once

#include <windows.h>

namespace ruxtrap {

class DefaultFloatingPointScope {
 public:
  DefaultFloatingPointScope();
  // Puts the control words back; the exception flags stay cleared, since the
  // exception they stood for is the one being reported.
  ~DefaultFloatingPointScope();
  DefaultFloatingPointScope(const DefaultFloatingPointScope&) = delete;
  DefaultFloatingPointScope& operator=(const DefaultFloatingPointScope&) = delete;

 private:
  WORD x87Control_;
  DWORD mxcsr_;
  bool sse_;
};

}  // namespace ruxtrap
