// Casts between function pointer types, as needed for GetProcAddress results
// and for the platform's pointer tests, which take FARPROC.
#pragma once

namespace ruxtrap {

// Going through void(*)() tells the compiler the cast is meant.
template <class To, class From>
To FunctionCast(From function) {
  return reinterpret_cast<To>(reinterpret_cast<void (*)()>(function));
}

}  // namespace ruxtrap
