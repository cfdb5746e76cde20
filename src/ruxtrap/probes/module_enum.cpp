#include "probes/probes.h"
#include "support/function_cast.h"
#include "support/optional_calls.h"
#include "support/seam.h"
#include "support/scoped.h"

namespace ruxtrap {

namespace {

const ProbePlatform kRealPlatform = {
    &::GetVersionExW,
    &::OpenProcess,
};
RUXTRAP_SEAM(ProbePlatform, platform, kRealPlatform);

constexpr DWORD kErrorInvalidParameter = ERROR_INVALID_PARAMETER;     // 87
constexpr DWORD kErrorInsufficientBuffer = ERROR_INSUFFICIENT_BUFFER;  // 122
constexpr DWORD kErrorDllInitFailed = ERROR_DLL_INIT_FAILED;           // 1114
constexpr DWORD kErrorInvalidDll = ERROR_INVALID_DLL;                  // 1154
// Slots whose byte size (slots x 4) does not fit in 32 bits.
constexpr DWORD kFirstTooManySlots = 0x40000000;

// The running system's version; major 0 means not read yet.
struct OsVersionCache {
  DWORD major;
  DWORD platformId;

  bool RefreshOsVersion() {
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    if (!platform.getVersionExW(&info)) return false;
    major = info.dwMajorVersion;
    platformId = info.dwPlatformId;
    return true;
  }
  bool IsNtPlatform() {
    if (major == 0) RefreshOsVersion();
    return platformId == VER_PLATFORM_WIN32_NT;
  }
} osVersion;

// PSAPI's entries, usable when the three that every Windows with PSAPI
// has are bound; GetModuleInformation may be missing.
bool HasPsapi() {
  const OptionalCalls& calls = Optional();
  return calls.enumProcessModules != nullptr && calls.getModuleBaseNameW != nullptr &&
         calls.getModuleFileNameExW != nullptr;
}

// The three entries of KERNEL32 that list a process's modules.
bool HasToolhelp() {
  const OptionalCalls& calls = Optional();
  return calls.createToolhelp32Snapshot != nullptr && calls.module32FirstW != nullptr &&
         calls.module32NextW != nullptr;
}

BOOL Fail(DWORD error) {
  SetLastErrorEx(error, SLE_ERROR);
  return FALSE;
}

BOOL Succeed() {
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

// On failure count keeps its value unless the module count was learnt.
BOOL EnumModulesPsapi(DWORD processId, DWORD slots, HMODULE* modules, DWORD* count) {
  if (!HasPsapi()) return Fail(kErrorDllInitFailed);
  const OptionalCalls& psapi = Optional();
  ScopedKernelHandle process(platform.openProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
  if (!process.IsValid()) return FALSE;  // OpenProcess's own code stands
  if (!IsLoadedCode(FunctionCast<const void*>(psapi.enumProcessModules))) return Fail(kErrorInvalidDll);
  DWORD needed = 0;
  BOOL ok = psapi.enumProcessModules(process.Get(), modules, slots * sizeof(HMODULE), &needed);
  process.Reset();
  *count = needed / sizeof(HMODULE);
  if (!ok && slots != 0) return FALSE;  // EnumProcessModules's own code stands
  if (needed == 0) return FALSE;
  if (slots != 0 && needed / sizeof(HMODULE) > slots) return Fail(kErrorInsufficientBuffer);
  return Succeed();
}

// On overflow count equals slots and the array holds the first modules.
BOOL EnumModulesToolhelp(DWORD processId, DWORD slots, HMODULE* modules, DWORD* count) {
  *count = 0;
  if (!HasToolhelp()) return Fail(kErrorDllInitFailed);
  const OptionalCalls& toolhelp = Optional();
  ScopedFileHandle snapshot(toolhelp.createToolhelp32Snapshot(TH32CS_SNAPMODULE, processId));
  if (!snapshot.IsValid()) return FALSE;  // the snapshot's own code stands
  MODULEENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  if (toolhelp.module32FirstW(snapshot.Get(), &entry) != TRUE) {
    DWORD error = GetLastError();
    snapshot.Reset();
    return Fail(error);
  }
  bool overflow = false;
  do {
    if (slots != 0) {
      if (*count == slots) {
        overflow = true;
        break;
      }
      modules[*count] = reinterpret_cast<HMODULE>(entry.modBaseAddr);
    }
    ++*count;
  } while (toolhelp.module32NextW(snapshot.Get(), &entry) == TRUE);
  snapshot.Reset();
  if (overflow) return Fail(kErrorInsufficientBuffer);
  return Succeed();
}

}  // namespace

const ProbePlatform& RealProbePlatform() { return kRealPlatform; }
#ifdef RUXTRAP_TEST_SEAMS
ProbePlatform& TheProbePlatform() { return platform; }
#endif

void ResetProbeState() { osVersion = OsVersionCache{}; }

BOOL WINAPI EnumProcessModulesCompat(DWORD processId, DWORD slots, HMODULE* modules, DWORD* count) {
  // slots x 4 must not wrap around, or the write test below checks too few bytes.
  if (slots >= kFirstTooManySlots) return Fail(kErrorInvalidParameter);
  if (!IsWritableMemory(count, sizeof(DWORD))) return Fail(kErrorInvalidParameter);
  if (slots != 0 && !IsWritableMemory(modules, slots * sizeof(HMODULE))) return Fail(kErrorInvalidParameter);
  // NT 5.x (2000, XP, 2003) and the 9x family walk a Toolhelp snapshot;
  // NT 4.0 and NT 6 and later ask PSAPI.
  if (osVersion.IsNtPlatform() && osVersion.major != 5)
    return EnumModulesPsapi(processId, slots, modules, count);
  return EnumModulesToolhelp(processId, slots, modules, count);
}

DWORD WINAPI GetModuleBaseNameCompat(HANDLE process, HMODULE module, wchar_t* baseName, DWORD size) {
  if (!HasPsapi()) {
    SetLastErrorEx(kErrorDllInitFailed, SLE_ERROR);
    return 0;
  }
  return Optional().getModuleBaseNameW(process, module, baseName, size);
}

bool GetModuleSizeCompat(HMODULE module, DWORD* size) {
  MODULEINFO info = {};
  const OptionalCalls& psapi = Optional();
  if (!HasPsapi() || psapi.getModuleInformation == nullptr ||
      !psapi.getModuleInformation(GetCurrentProcess(), module, &info, sizeof(info)) || info.lpBaseOfDll != module)
    return false;
  *size = info.SizeOfImage;
  return true;
}

DWORD WINAPI GetModuleFileNameExCompat(HANDLE process, HMODULE module, wchar_t* path, DWORD size) {
  if (!HasPsapi()) {
    SetLastErrorEx(kErrorDllInitFailed, SLE_ERROR);
    return 0;
  }
  return Optional().getModuleFileNameExW(process, module, path, size);
}

}  // namespace ruxtrap
