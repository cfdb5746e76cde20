// The calling thread's information block (FS:[0x18] on x86): its exception
// list and stack bounds.
#pragma once

#include <windows.h>

namespace ruxtrap {

// The value of Next in the last record of a thread's exception chain.
inline EXCEPTION_REGISTRATION_RECORD* const kChainEnd = reinterpret_cast<EXCEPTION_REGISTRATION_RECORD*>(~0u);

inline NT_TIB* ThreadInfoBlock() {
  NT_TIB* tib;
  __asm__("movl %%fs:0x18, %0" : "=r"(tib));
  return tib;
}

}  // namespace ruxtrap
