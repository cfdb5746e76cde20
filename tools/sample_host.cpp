// A host program as a user of the library writes one: it loads Ruxtrap.dll,
// calls InitRuxtrap, then crashes the way its argument says.
//   sample_host [av|div0|cpp|thread]      (av is the default)
#include <windows.h>

#include <ruxtrap.h>

#include <stdio.h>
#include <wchar.h>

namespace {

// Each crash sits in a function of its own, so the report's call stack names it.
__attribute__((noinline)) void WriteThroughNullPointer() {
  volatile int* volatile target = nullptr;
  *target = 42;
}

__attribute__((noinline)) int DivideByZero(int divisor) {
  volatile int dividend = 1;
  volatile int quotient = dividend / divisor;  // volatile: the division must happen
  return quotient;
}

__attribute__((noinline)) void ThrowCppStyleException() {
  // The code the C++ runtime of the Microsoft compiler raises for throw.
  RaiseException(0xE06D7363, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}

DWORD WINAPI CrashingThread(void*) {
  WriteThroughNullPointer();
  return 0;
}

__attribute__((noinline)) void CrashOnSecondThread() {
  HANDLE thread = CreateThread(nullptr, 0, &CrashingThread, nullptr, 0, nullptr);
  WaitForSingleObject(thread, INFINITE);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const wchar_t* kind = argc > 1 ? argv[1] : L"av";
  HMODULE library = LoadLibraryW(L"Ruxtrap.dll");
  auto init = library ? reinterpret_cast<InitRuxtrapFn>(reinterpret_cast<void (*)()>(GetProcAddress(library, "InitRuxtrap"))) : nullptr;
  if (init == nullptr) {
    fwprintf(stderr, L"sample_host: cannot load Ruxtrap.dll (error %lu)\n", GetLastError());
    return 2;
  }
  init("sample_host");

  if (wcscmp(kind, L"av") == 0) WriteThroughNullPointer();
  else if (wcscmp(kind, L"div0") == 0) DivideByZero(argc > 2 ? _wtoi(argv[2]) : 0);
  else if (wcscmp(kind, L"cpp") == 0) ThrowCppStyleException();
  else if (wcscmp(kind, L"thread") == 0) CrashOnSecondThread();
  else {
    fwprintf(stderr, L"usage: sample_host [av|div0|cpp|thread]\n");
    return 2;
  }
  return 0;
}
