// One of the many DLLs a large program loads: copies of it under distinct
// names (bin/many/many_NNN.dll) stand for the hundreds of modules of a real
// program, each with debug information of its own.
#include <windows.h>

// Calls next(argument) from inside this module, so the call stack of a
// fault in next passes through it.
extern "C" __declspec(dllexport) void CallThrough(void (*next)(void*), void* argument) {
  next(argument);
  __asm__ volatile("");  // keeps the call from becoming a jump
}
