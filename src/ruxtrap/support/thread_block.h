// The parts of the x86 thread environment block (TEB) and process
// environment block (PEB) the library reads and switches, at the offsets
// every 32-bit Windows and Wine keep them: the thread's exception chain and
// stack bounds, the lowest address of its stack allocation, and the
// process's loader lock and list of loaded modules.
#pragma once

#include <windows.h>
// windows.h first
#include <winternl.h>

#include <stddef.h>

namespace ruxtrap {

struct ProcessBlock {
  BYTE beforeLoaderData[0x0C];
  PEB_LDR_DATA* loaderData;  // the loader's lists of the loaded modules
  BYTE beforeLoaderLock[0xA0 - 0x10];
  RTL_CRITICAL_SECTION* loaderLock;
};
static_assert(offsetof(ProcessBlock, loaderData) == 0x0C, "PEB Ldr");
static_assert(offsetof(ProcessBlock, loaderLock) == 0xA0, "PEB LoaderLock");

struct ThreadBlock {
  NT_TIB tib;  // exception list, stack base and limit
  BYTE beforeProcess[0x30 - sizeof(NT_TIB)];
  ProcessBlock* process;
  BYTE beforeDeallocation[0xE0C - 0x34];
  void* deallocationStack;  // the lowest address of the thread's stack allocation
};
static_assert(offsetof(ThreadBlock, process) == 0x30, "TEB ProcessEnvironmentBlock");
static_assert(offsetof(ThreadBlock, deallocationStack) == 0xE0C, "TEB DeallocationStack");

// The calling thread's block: FS:[0x18] holds its address. (The system
// header's reader of that word draws an array-bounds warning from GCC 12.)
inline ThreadBlock* CurrentThreadBlock() {
  ThreadBlock* block;
  __asm__("movl %%fs:0x18, %0" : "=r"(block));
  return block;
}

// The calling thread's information block: its exception list and stack
// bounds.
inline NT_TIB* ThreadInfoBlock() { return &CurrentThreadBlock()->tib; }

// The value of Next in the last record of a thread's exception chain.
inline EXCEPTION_REGISTRATION_RECORD* const kChainEnd = reinterpret_cast<EXCEPTION_REGISTRATION_RECORD*>(~0u);

}  // namespace ruxtrap
