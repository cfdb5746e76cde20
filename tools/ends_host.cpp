// A host whose program ends through its C runtime instead of an exception:
// abort(), a failed assert, a C++ exception nobody catches (std::terminate),
// a pure virtual call, and, through ucrtbase.dll as a program of Microsoft's
// current runtime reaches them, abort, a pure virtual call and an invalid
// parameter. Loads Ruxtrap.dll from its own folder and calls InitRuxtrap
// first.
//   ends_host [--load-ucrt] [--own-sigabrt] MODE [COUNT]
// --load-ucrt loads ucrtbase.dll before InitRuxtrap; --own-sigabrt sets a
// SIGABRT handler of the host's own before it, which records itself in
// C:\ruxtrap-host-facts.txt and ends the process with code 42.
#include <windows.h>

#include <assert.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <stdexcept>

namespace {

void RecordFact(const char* name, unsigned long value) {
  FILE* facts = fopen("C:\\ruxtrap-host-facts.txt", "a");
  if (facts == nullptr) return;
  fprintf(facts, "%s=%08lX\n", name, value);
  fclose(facts);
}

__attribute__((noinline)) void CallsAbort() {
  abort();
  __asm__ volatile("");
}

__attribute__((noinline)) void FailsAnAssertion(int value) {
  assert(value == 42);
  __asm__ volatile("");
}

__attribute__((noinline)) void ThrowsUncaught() { throw std::runtime_error("nobody catches this"); }

// The base's constructor calls the function through the base's own table,
// whose entry for it is the runtime's pure-call end.
struct PureBase {
  PureBase() { CallPure(this); }
  virtual ~PureBase() = default;
  virtual void Pure() = 0;
  __attribute__((noinline)) static void CallPure(PureBase* object) {
    object->Pure();
    __asm__ volatile("");
  }
};
struct PureDerived : PureBase {
  void Pure() override {}
};

__attribute__((noinline)) void CallsPureVirtual() {
  PureDerived object;
  __asm__ volatile("");
}

HMODULE ucrt;

template <class Fn>
Fn UcrtEntry(const char* name) {
  return ucrt ? reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(ucrt, name))) : nullptr;
}

// abort and _purecall of ucrtbase.dll, called as a program's code calls them.
__attribute__((noinline)) int CallsUcrtEnd(const char* name) {
  auto end = UcrtEntry<void(__cdecl*)()>(name);
  if (end == nullptr) return 5;
  end();
  __asm__ volatile("");
  return 0;
}

__attribute__((noinline)) int PassesUcrtInvalidParameter() {
  auto copy = UcrtEntry<int(__cdecl*)(char*, size_t, const char*)>("strcpy_s");
  if (copy == nullptr) return 5;
  int result = copy(nullptr, 0, "x");
  __asm__ volatile("");
  return result == 0 ? 0 : 6;  // reached only when the end let the call return
}

// Threads released at the same moment, each of which aborts.
HANDLE startSignal;
DWORD WINAPI WaitThenAbort(void*) {
  WaitForSingleObject(startSignal, INFINITE);
  CallsAbort();
  return 0;
}

int AbortOnManyThreads(int count) {
  startSignal = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  for (int i = 0; i < count; ++i) CreateThread(nullptr, 0, &WaitThenAbort, nullptr, 0, nullptr);
  Sleep(100);
  SetEvent(startSignal);
  Sleep(INFINITE);
  return 0;
}

void __cdecl OwnAbortHandler(int) {
  RecordFact("ownAbortHandler", 1);
  _exit(42);
}

int Run(const wchar_t* mode, const wchar_t* argument) {
  if (wcscmp(mode, L"abort") == 0) CallsAbort();
  else if (wcscmp(mode, L"abort-threads") == 0) return AbortOnManyThreads(argument ? _wtoi(argument) : 2);
  else if (wcscmp(mode, L"assert") == 0) FailsAnAssertion(7);
  else if (wcscmp(mode, L"throw") == 0) ThrowsUncaught();
  else if (wcscmp(mode, L"purecall") == 0) CallsPureVirtual();
  else if (wcscmp(mode, L"ucrt-abort") == 0) return CallsUcrtEnd("abort");
  else if (wcscmp(mode, L"ucrt-purecall") == 0) return CallsUcrtEnd("_purecall");
  else if (wcscmp(mode, L"ucrt-invalid-parameter") == 0) return PassesUcrtInvalidParameter();
  else return 3;
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  int next = 1;
  for (; next < argc && wcsncmp(argv[next], L"--", 2) == 0; ++next) {
    if (wcscmp(argv[next], L"--load-ucrt") == 0) ucrt = LoadLibraryW(L"ucrtbase.dll");
    if (wcscmp(argv[next], L"--own-sigabrt") == 0) signal(SIGABRT, &OwnAbortHandler);
  }
  if (next >= argc) {
    fwprintf(stderr, L"usage: ends_host [--load-ucrt] [--own-sigabrt] MODE [COUNT]\n");
    return 2;
  }
  HMODULE library = LoadLibraryW(L"Ruxtrap.dll");
  auto init = library ? reinterpret_cast<void(WINAPI*)(const char*)>(
                            reinterpret_cast<void (*)()>(GetProcAddress(library, "InitRuxtrap")))
                      : nullptr;
  if (init == nullptr) return 4;
  init("ends_host");
  return Run(argv[next], next + 1 < argc ? argv[next + 1] : nullptr);
}
