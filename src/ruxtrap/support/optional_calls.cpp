#include "support/optional_calls.h"

#include <stddef.h>

#include "support/function_cast.h"

namespace ruxtrap {

namespace {

constexpr SIZE_T kPageBytes = 4096;

// The table alone on its page, so sealing it seals nothing else.
union alignas(kPageBytes) OptionalCallsPage {
  OptionalCalls calls;
  BYTE bytes[kPageBytes];
};
static_assert(sizeof(OptionalCalls) <= kPageBytes, "the table fits its page");
OptionalCallsPage page;

enum : LONG { kUnbound, kBound };
volatile LONG bindState = kUnbound;
// The thread binding, while it binds; 0 otherwise. Read and written under
// the loader lock only.
DWORD bindingThread = 0;

// The DLLs the entries come from. NTDLL and KERNEL32 are always loaded; the
// others are loaded by name, as an import would find them.
enum ModuleId { kNtdll, kKernel32, kPsapi, kOle32, kOleaut32, kDbghelp, kModuleCount };
const wchar_t* const kModuleNames[kModuleCount] = {L"ntdll.dll", L"kernel32.dll", L"psapi.dll",
                                                   L"ole32.dll", L"oleaut32.dll", L"dbghelp.dll"};

struct Binding {
  ModuleId module;
  const char* name;
  size_t offset;  // of the entry's typed pointer in OptionalCalls
};
#define RUXTRAP_BINDING(module, name, entry) {module, name, offsetof(OptionalCalls, entry)}
const Binding kBindings[] = {
    RUXTRAP_BINDING(kNtdll, "LdrLockLoaderLock", ldrLockLoaderLock),
    RUXTRAP_BINDING(kNtdll, "LdrUnlockLoaderLock", ldrUnlockLoaderLock),
    RUXTRAP_BINDING(kNtdll, "NtCreateFile", ntCreateFile),
    RUXTRAP_BINDING(kNtdll, "RtlDosPathNameToNtPathName_U", rtlDosPathNameToNtPathName),
    RUXTRAP_BINDING(kNtdll, "RtlFreeUnicodeString", rtlFreeUnicodeString),
    RUXTRAP_BINDING(kKernel32, "GetFinalPathNameByHandleW", getFinalPathNameByHandleW),
    RUXTRAP_BINDING(kKernel32, "IsWow64Process", isWow64Process),
    RUXTRAP_BINDING(kKernel32, "CreateToolhelp32Snapshot", createToolhelp32Snapshot),
    RUXTRAP_BINDING(kKernel32, "Module32FirstW", module32FirstW),
    RUXTRAP_BINDING(kKernel32, "Module32NextW", module32NextW),
    RUXTRAP_BINDING(kPsapi, "EnumProcessModules", enumProcessModules),
    RUXTRAP_BINDING(kPsapi, "GetModuleBaseNameW", getModuleBaseNameW),
    RUXTRAP_BINDING(kPsapi, "GetModuleFileNameExW", getModuleFileNameExW),
    RUXTRAP_BINDING(kPsapi, "GetModuleInformation", getModuleInformation),
    RUXTRAP_BINDING(kOle32, "CoInitialize", coInitialize),
    RUXTRAP_BINDING(kOle32, "CoUninitialize", coUninitialize),
    RUXTRAP_BINDING(kOle32, "CoCreateInstance", coCreateInstance),
    RUXTRAP_BINDING(kOleaut32, "VariantInit", variantInit),
    RUXTRAP_BINDING(kOleaut32, "VariantClear", variantClear),
    RUXTRAP_BINDING(kDbghelp, "SymGetOptions", symGetOptions),
    RUXTRAP_BINDING(kDbghelp, "SymSetOptions", symSetOptions),
    RUXTRAP_BINDING(kDbghelp, "SymInitialize", symInitialize),
    RUXTRAP_BINDING(kDbghelp, "SymCleanup", symCleanup),
    RUXTRAP_BINDING(kDbghelp, "SymLoadModuleExW", symLoadModuleExW),
    RUXTRAP_BINDING(kDbghelp, "SymGetModuleBase64", symGetModuleBase64),
    RUXTRAP_BINDING(kDbghelp, "SymFunctionTableAccess64", symFunctionTableAccess64),
    RUXTRAP_BINDING(kDbghelp, "SymGetSymFromAddr64", symGetSymFromAddr64),
    RUXTRAP_BINDING(kDbghelp, "SymGetLineFromAddr64", symGetLineFromAddr64),
    RUXTRAP_BINDING(kDbghelp, "StackWalk64", stackWalk64),
    RUXTRAP_BINDING(kDbghelp, "MiniDumpWriteDump", miniDumpWriteDump),
};
#undef RUXTRAP_BINDING

HMODULE OpenModule(ModuleId id) {
  return id == kNtdll || id == kKernel32 ? GetModuleHandleW(kModuleNames[id]) : LoadLibraryW(kModuleNames[id]);
}

void BindAll() {
  HMODULE modules[kModuleCount];
  for (int id = 0; id < kModuleCount; ++id) modules[id] = OpenModule(static_cast<ModuleId>(id));
  for (const Binding& binding : kBindings) {
    HMODULE module = modules[binding.module];
    FARPROC entry = module != nullptr ? GetProcAddress(module, binding.name) : nullptr;
    memcpy(page.bytes + binding.offset, &entry, sizeof(entry));
  }
}

void SetPageProtection(DWORD protection) {
  DWORD old;
  VirtualProtect(page.bytes, kPageBytes, protection, &old);
}

// The loader lock, taken (waiting for it) through NTDLL's entries looked up
// on the spot: the table that will hold them is not bound yet.
class LoaderLockForBinding {
 public:
  LoaderLockForBinding() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    lock_ = FunctionCast<decltype(lock_)>(GetProcAddress(ntdll, "LdrLockLoaderLock"));
    unlock_ = FunctionCast<decltype(unlock_)>(GetProcAddress(ntdll, "LdrUnlockLoaderLock"));
    if (lock_ == nullptr || unlock_ == nullptr || lock_(0, nullptr, &cookie_) != 0) cookie_ = 0;
  }
  ~LoaderLockForBinding() {
    if (cookie_ != 0) unlock_(0, cookie_);
  }
  LoaderLockForBinding(const LoaderLockForBinding&) = delete;
  LoaderLockForBinding& operator=(const LoaderLockForBinding&) = delete;

 private:
  decltype(OptionalCalls::ldrLockLoaderLock) lock_;
  decltype(OptionalCalls::ldrUnlockLoaderLock) unlock_;
  ULONG_PTR cookie_ = 0;
};

}  // namespace

// A DLL the binding loads may call InitRuxtrap from its start-up code, on
// the binding thread, which holds the loader lock already: that call finds
// the binding in progress and leaves it to the outer one, which seals the
// table only when every entry is in (it would fault writing the rest).
void BindOptionalCalls() {
  if (bindState == kBound) return;
  LoaderLockForBinding serialised;
  if (bindState == kBound || bindingThread == GetCurrentThreadId()) return;
  bindingThread = GetCurrentThreadId();
  BindAll();
  SetPageProtection(PAGE_READONLY);
  InterlockedExchange(&bindState, kBound);
  bindingThread = 0;
}

const OptionalCalls& Optional() { return page.calls; }

#ifdef RUXTRAP_TEST_SEAMS
OptionalCalls& UnsealedOptionalCalls() {
  SetPageProtection(PAGE_READWRITE);
  InterlockedExchange(&bindState, kUnbound);
  return page.calls;
}
#endif

}  // namespace ruxtrap
