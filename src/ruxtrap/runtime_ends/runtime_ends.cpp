#include "runtime_ends/runtime_ends.h"

#include <stdint.h>

#include "loader_hold/loader_hold.h"
#include "probes/loader_lock.h"
#include "probes/memory.h"
#include "support/function_cast.h"

namespace ruxtrap {

namespace {

using SignalHandler = void(__cdecl*)(int);
using SignalFn = SignalHandler(__cdecl*)(int, SignalHandler);
using PureCallHandler = void(__cdecl*)();
using SetPureCallFn = PureCallHandler(__cdecl*)(PureCallHandler);
using GetPureCallFn = PureCallHandler(__cdecl*)();
using InvalidParameterHandler = void(__cdecl*)(const wchar_t*, const wchar_t*, const wchar_t*, unsigned, uintptr_t);
using SetInvalidParameterFn = InvalidParameterHandler(__cdecl*)(InvalidParameterHandler);
using GetInvalidParameterFn = InvalidParameterHandler(__cdecl*)();

constexpr int kSignalAbort = 22;  // SIGABRT of every Microsoft runtime
const SignalHandler kSignalDefault = nullptr;
const SignalHandler kSignalError = reinterpret_cast<SignalHandler>(-1);

// A runtime and the entries through which the library took over its ends;
// a null entry: that end is the program's own, or the runtime has none.
// The handlers found in place are those of another copy of the library (a
// plug-in's), or none: they are what unload puts back.
struct TakenRuntime {
  HMODULE module;
  SignalFn signal;
  SignalHandler previousAbort;
  SetPureCallFn setPureCall;
  GetPureCallFn getPureCall;
  PureCallHandler previousPureCall;
  SetInvalidParameterFn setInvalidParameter;
  GetInvalidParameterFn getInvalidParameter;
  InvalidParameterHandler previousInvalidParameter;
};
constexpr int kMostRuntimes = 16;
TakenRuntime taken[kMostRuntimes];
int takenCount = 0;
// The crash filter the ends are reported to.
LPTOP_LEVEL_EXCEPTION_FILTER reportTo = nullptr;

// The start of a handler's frame, where a frame pointer points: the
// caller's frame pointer, then the return address into the caller; the
// caller's stack goes on above it. Handlers keep a frame pointer (the
// library is built with one).
struct CallFrame {
  DWORD callerFrame;
  DWORD returnAddress;
};

// The state of the code that called the handler, as it returns from the
// call.
void SetToCaller(CONTEXT* context, const void* handlerFrame) {
  const auto* frame = static_cast<const CallFrame*>(handlerFrame);
  context->Ebp = frame->callerFrame;
  context->Eip = frame->returnAddress;
  context->Esp = reinterpret_cast<DWORD>(frame + 1);
}

// Reports the end as a crash at the runtime code that called the handler.
// Returns only when no report could be written; the runtime's own end
// follows then.
void ReportRuntimeEnd(DWORD code, RuntimeEnd end, const void* handlerFrame) {
  LoaderLockTakenAtOnce endWaits;
  CONTEXT context = {};
  context.ContextFlags = CONTEXT_FULL;
  RtlCaptureContext(&context);
  SetToCaller(&context, handlerFrame);
  EXCEPTION_RECORD record = {};
  record.ExceptionCode = code;
  record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
  record.ExceptionAddress = reinterpret_cast<void*>(context.Eip);
  record.NumberParameters = kRuntimeEndParameters;
  record.ExceptionInformation[0] = kRuntimeEndMark;
  record.ExceptionInformation[1] = end;
  EXCEPTION_POINTERS pointers = {&record, &context};
  if (reportTo != nullptr) reportTo(&pointers);
}

void RearmAbortHandlers();

// raise() sets SIGABRT back to its default before it calls the handler: a
// second thread's abort meanwhile would end the process at once, before this
// report has taken what the end of the process waits for. The handler is
// set again before anything else.
__attribute__((noinline)) void __cdecl OnAbort(int) {
  LoaderLockTakenAtOnce endWaits;
  RearmAbortHandlers();
  ReportRuntimeEnd(kFatalAppExitCode, kAbort, __builtin_frame_address(0));
}

__attribute__((noinline)) void __cdecl OnPureCall() {
  ReportRuntimeEnd(kFatalAppExitCode, kPureCall, __builtin_frame_address(0));
}

// A handler that returns lets the runtime function return an error to its
// caller and the program go on: this one ends the process, with the
// report's code or, without a report, with the end's own code.
__attribute__((noinline)) void __cdecl OnInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned,
                                                          uintptr_t) {
  ReportRuntimeEnd(kInvalidRuntimeParameterCode, kInvalidParameter, __builtin_frame_address(0));
  TerminateProcess(GetCurrentProcess(), kInvalidRuntimeParameterCode);
}

template <class Fn>
Fn Entry(HMODULE module, const char* name) {
  return FunctionCast<Fn>(GetProcAddress(module, name));
}

// Whether handler is a function of another copy of the library, which a
// plug-in brought and may unload before this one: its handlers are taken
// over and put back at unload, not left as a program's own.
template <class Handler>
bool IsAnotherCopysHandler(Handler handler) {
  const void* code = FunctionCast<const void*>(handler);
  MEMORY_BASIC_INFORMATION region, own;
  if (!IsLoadedCode(code) || VirtualQuery(code, &region, sizeof(region)) == 0 ||
      VirtualQuery(FunctionCast<const void*>(&OnAbort), &own, sizeof(own)) == 0 ||
      region.AllocationBase == own.AllocationBase)
    return false;
  return GetProcAddress(static_cast<HMODULE>(region.AllocationBase), "InitRuxtrap") != nullptr;
}

// What unload puts back: a handler found in place while its code is still
// loaded, else none.
template <class Handler>
Handler StillLoadedOrNone(Handler handler) {
  return handler != nullptr && IsLoadedCode(FunctionCast<const void*>(handler)) ? handler : nullptr;
}

// The C runtime DLLs of Microsoft's toolchains (MinGW's is msvcrt.dll), and
// their debug forms.
const wchar_t* const kRuntimeNames[] = {
    L"msvcrt.dll",   L"msvcrtd.dll",   L"msvcr70.dll",  L"msvcr70d.dll",  L"msvcr71.dll",  L"msvcr71d.dll",
    L"msvcr80.dll",  L"msvcr80d.dll",  L"msvcr90.dll",  L"msvcr90d.dll",  L"msvcr100.dll", L"msvcr100d.dll",
    L"msvcr110.dll", L"msvcr110d.dll", L"msvcr120.dll", L"msvcr120d.dll", L"ucrtbase.dll", L"ucrtbased.dll",
};

bool IsTaken(HMODULE module) {
  for (int i = 0; i < takenCount; ++i)
    if (taken[i].module == module) return true;
  return false;
}

// SIGABRT's handler cannot be read without being set: the library's is
// set, and the one it replaced put back if the program had one (SIG_IGN
// included: a program that ignores the signal may raise it on purpose).
SignalFn TakeOverAbort(HMODULE module, SignalHandler* previous) {
  auto signal = Entry<SignalFn>(module, "signal");
  *previous = kSignalDefault;
  if (signal == nullptr) return nullptr;
  SignalHandler found = signal(kSignalAbort, &OnAbort);
  if (found == kSignalDefault || found == &OnAbort) return signal;
  if (IsAnotherCopysHandler(found)) {
    *previous = found;
    return signal;
  }
  if (found != kSignalError) signal(kSignalAbort, found);
  return nullptr;
}

// Runtimes before msvcr80 can set the handler but not read it.
template <class Handler, class SetFn, class GetFn>
SetFn TakeOverHandler(SetFn set, GetFn get, Handler ours, Handler* previous) {
  *previous = nullptr;
  if (set == nullptr) return nullptr;
  Handler found = get != nullptr ? get() : set(ours);
  if (found != nullptr && found != ours && !IsAnotherCopysHandler(found)) {
    if (get == nullptr) set(found);
    return nullptr;
  }
  *previous = found == ours ? nullptr : found;
  if (get != nullptr) set(ours);
  return set;
}

void TakeOver(HMODULE module) {
  if (IsTaken(module) || takenCount == kMostRuntimes) return;
  TakenRuntime runtime = {};
  runtime.module = module;
  runtime.signal = TakeOverAbort(module, &runtime.previousAbort);
  runtime.getPureCall = Entry<GetPureCallFn>(module, "_get_purecall_handler");
  runtime.setPureCall = TakeOverHandler<PureCallHandler>(Entry<SetPureCallFn>(module, "_set_purecall_handler"),
                                                        runtime.getPureCall, &OnPureCall, &runtime.previousPureCall);
  runtime.getInvalidParameter = Entry<GetInvalidParameterFn>(module, "_get_invalid_parameter_handler");
  runtime.setInvalidParameter = TakeOverHandler<InvalidParameterHandler>(
      Entry<SetInvalidParameterFn>(module, "_set_invalid_parameter_handler"), runtime.getInvalidParameter,
      &OnInvalidParameter, &runtime.previousInvalidParameter);
  taken[takenCount++] = runtime;
}

void RearmAbortHandlers() {
  for (int i = 0; i < takenCount; ++i) {
    SignalFn signal = taken[i].signal;
    if (signal == nullptr) continue;
    SignalHandler found = signal(kSignalAbort, &OnAbort);
    if (found != kSignalDefault && found != &OnAbort && found != kSignalError) signal(kSignalAbort, found);
  }
}

// Whether module is still loaded where it was: a runtime a plug-in brought
// may have gone with it.
bool StillLoaded(HMODULE module) {
  HMODULE found = nullptr;
  return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(module), &found) &&
         found == module;
}

template <class Handler, class SetFn, class GetFn>
void GiveBackHandler(SetFn set, GetFn get, Handler ours, Handler previous) {
  if (set == nullptr) return;
  Handler back = StillLoadedOrNone(previous);
  if (get != nullptr) {
    if (get() == ours) set(back);
    return;
  }
  Handler current = set(back);
  if (current != ours) set(current);
}

void GiveBack(const TakenRuntime& runtime) {
  if (!StillLoaded(runtime.module)) return;
  if (runtime.signal != nullptr) {
    SignalHandler back = StillLoadedOrNone(runtime.previousAbort);
    SignalHandler current = runtime.signal(kSignalAbort, back);
    if (current != &OnAbort && current != kSignalError) runtime.signal(kSignalAbort, current);
  }
  GiveBackHandler<PureCallHandler>(runtime.setPureCall, runtime.getPureCall, &OnPureCall, runtime.previousPureCall);
  GiveBackHandler<InvalidParameterHandler>(runtime.setInvalidParameter, runtime.getInvalidParameter,
                                           &OnInvalidParameter, runtime.previousInvalidParameter);
}

void TakeOverIfRuntime(HMODULE module, const UNICODE_STRING& baseName) {
  for (const wchar_t* name : kRuntimeNames) {
    const size_t length = wcslen(name);
    if (baseName.Length == length * sizeof(wchar_t) && _wcsnicmp(baseName.Buffer, name, length) == 0)
      TakeOver(module);
  }
}

}  // namespace

// The runtimes are found in the loader's list: asking the loader for each
// known name that is not loaded costs Wine most of a millisecond a name.
void TakeOverRuntimeEnds(LPTOP_LEVEL_EXCEPTION_FILTER filter) {
  reportTo = filter;
  ForEachLoadedModule(&TakeOverIfRuntime);
}

void GiveBackRuntimeEnds() {
  for (int i = 0; i < takenCount; ++i) GiveBack(taken[i]);
  takenCount = 0;
}

}  // namespace ruxtrap
