// Programs that end through their C runtime instead of an exception:
// abort(), a failed assert, a C++ exception nobody catches (std::terminate),
// a pure virtual call, and, through ucrtbase.dll as a program of Microsoft's
// current runtime reaches them, abort, a pure virtual call and an invalid
// parameter.
#include <windows.h>

#include <assert.h>
#include <signal.h>
#include <stdlib.h>

#include <stdexcept>

#include "modes.h"

namespace {

__attribute__((noinline)) int CallsAbort(const ModeArgs&) {
  abort();
  __asm__ volatile("");
  return 0;
}

__attribute__((noinline)) int FailsAnAssertion(const ModeArgs&) {
  volatile int value = 7;
  assert(value == 42);
  __asm__ volatile("");
  return 0;
}

__attribute__((noinline)) int ThrowsUncaught(const ModeArgs&) { throw std::runtime_error("nobody catches this"); }

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

__attribute__((noinline)) int CallsPureVirtual(const ModeArgs&) {
  PureDerived object;
  __asm__ volatile("");
  return 0;
}

HMODULE ucrt;

template <class Fn>
Fn UcrtEntry(const char* name) {
  return ucrt ? reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(ucrt, name))) : nullptr;
}

// abort and _purecall of ucrtbase.dll, called as a program's code calls them.
__attribute__((noinline)) int CallsUcrtEnd(const ModeArgs& args) {
  char name[32] = {};
  WideCharToMultiByte(CP_ACP, 0, args.Text(0), -1, name, sizeof(name) - 1, nullptr, nullptr);
  auto end = UcrtEntry<void(__cdecl*)()>(name);
  if (end == nullptr) return 5;
  end();
  __asm__ volatile("");
  return 0;
}

__attribute__((noinline)) int PassesUcrtInvalidParameter(const ModeArgs&) {
  auto copy = UcrtEntry<int(__cdecl*)(char*, size_t, const char*)>("strcpy_s");
  if (copy == nullptr) return 5;
  int result = copy(nullptr, 0, "x");
  __asm__ volatile("");
  return result == 0 ? 0 : 6;  // reached only when the end let the call return
}

// Threads released at the same moment, each of which aborts.
int AbortOnManyThreads(const ModeArgs& args) {
  ReleaseThreadsTogether(args.count > 0 ? args.Number(0) : 2, &CallsAbort);
  Sleep(INFINITE);
  return 0;
}

void __cdecl OwnAbortHandler(int) {
  RecordFact("ownAbortHandler", 1);
  _exit(42);
}

const Mode kModes[] = {
    {L"abort", &CallsAbort, nullptr},
    {L"abort-threads", &AbortOnManyThreads, nullptr},
    {L"assert", &FailsAnAssertion, nullptr},
    {L"throw", &ThrowsUncaught, nullptr},
    {L"purecall", &CallsPureVirtual, nullptr},
    {L"ucrt-abort", &CallsUcrtEnd, L"abort"},
    {L"ucrt-purecall", &CallsUcrtEnd, L"_purecall"},
    {L"ucrt-invalid-parameter", &PassesUcrtInvalidParameter, nullptr},
};

}  // namespace

const ModeTable kRuntimeEndModes = TableOf(kModes);

void LoadUcrt() { ucrt = LoadLibraryW(L"ucrtbase.dll"); }

void SetOwnAbortHandler() { signal(SIGABRT, &OwnAbortHandler); }
