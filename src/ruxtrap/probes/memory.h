// What this process's memory is, asked without faulting and without waiting
// for the loader lock, so the crash path may ask about pointers that come
// from outside.
#pragma once

#include <windows.h>

namespace ruxtrap {

// A module image loaded in this process: its load address and size.
struct ImageSpan {
  DWORD base;
  DWORD size;
};

// The loaded image that holds address, from the address's memory region and
// the image's own headers.
bool FindImageAt(DWORD address, ImageSpan* span);

// Whether address is executable code of a loaded module: a function of a
// library that is still loaded, not one whose library has gone.
bool IsLoadedCode(const void* address);

// Whether address is committed memory the processor may execute: a loaded
// module's code, or code a program made at run time (a JIT compiler's, a
// thunk).
bool IsExecutableMemory(const void* address);

// Whether all size bytes from address are committed memory this process may
// write (a null address never is).
bool IsWritableMemory(const void* address, SIZE_T size);

// Copies size bytes of this process's memory at address into out; false,
// without faulting, when any of them cannot be read.
bool ReadOwnMemory(DWORD address, void* out, DWORD size);

}  // namespace ruxtrap
