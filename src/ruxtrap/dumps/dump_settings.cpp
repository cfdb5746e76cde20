#include "dumps/dump_settings.h"
// windows.h first
#include <dbghelp.h>
#include <string.h>
#include <wchar.h>

#include "dumps/dumps.h"
#include "support/function_cast.h"
#include "support/scoped.h"

namespace ruxtrap {

namespace {

DumpSettings settings = {};

// The values one key holds; each flag says whether its value was there, of
// the type the system reads.
struct DumpValues {
  bool hasFolder = false;
  bool folderExpands = false;  // REG_EXPAND_SZ rather than REG_SZ
  wchar_t folder[MAX_PATH] = {};
  bool hasCount = false;
  DWORD count = 0;
  bool hasType = false;
  DWORD type = 0;
  bool hasFlags = false;
  DWORD flags = 0;
};

bool ReadDword(HKEY key, const wchar_t* name, DWORD* value) {
  DWORD type = 0;
  DWORD size = sizeof(*value);
  return RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS &&
         type == REG_DWORD && size == sizeof(*value);
}

// A string value that fits in MAX_PATH characters with its end.
bool ReadFolderValue(HKEY key, DumpValues* values) {
  DWORD type = 0;
  DWORD size = sizeof(values->folder) - sizeof(wchar_t);
  if (RegQueryValueExW(key, L"DumpFolder", nullptr, &type, reinterpret_cast<BYTE*>(values->folder), &size) !=
          ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return false;
  values->folder[size / sizeof(wchar_t)] = 0;
  values->folderExpands = type == REG_EXPAND_SZ;
  return true;
}

DumpValues ReadValues(HKEY key) {
  DumpValues values;
  values.hasFolder = ReadFolderValue(key, &values);
  values.hasCount = ReadDword(key, L"DumpCount", &values.count);
  values.hasType = ReadDword(key, L"DumpType", &values.type);
  values.hasFlags = ReadDword(key, L"CustomDumpFlags", &values.flags);
  return values;
}

// The program's values win over the global ones, one by one.
DumpValues Merge(const DumpValues& global, const DumpValues& program) {
  DumpValues merged = global;
  if (program.hasFolder) {
    merged.hasFolder = true;
    merged.folderExpands = program.folderExpands;
    memcpy(merged.folder, program.folder, sizeof(merged.folder));
  }
  if (program.hasCount) merged.hasCount = true, merged.count = program.count;
  if (program.hasType) merged.hasType = true, merged.type = program.type;
  if (program.hasFlags) merged.hasFlags = true, merged.flags = program.flags;
  return merged;
}

bool Append(wchar_t (&out)[MAX_PATH], const wchar_t* tail) {
  size_t used = wcslen(out);
  size_t more = wcslen(tail);
  if (used + more >= MAX_PATH) return false;
  memcpy(out + used, tail, (more + 1) * sizeof(wchar_t));
  return true;
}

// The folder made absolute (a relative name is taken from the current
// folder now), ending in a backslash. A variable that did not expand
// (the system leaves "%NAME%" as it is) names no folder.
bool ResolveFolder(const DumpValues& values, wchar_t (&out)[MAX_PATH]) {
  wchar_t expanded[MAX_PATH];
  const wchar_t* source = values.hasFolder ? values.folder : kDefaultDumpFolder;
  if (!values.hasFolder || values.folderExpands) {
    DWORD n = ExpandEnvironmentStringsW(source, expanded, MAX_PATH);
    if (n == 0 || n > MAX_PATH || wcschr(expanded, L'%') != nullptr) return false;
    source = expanded;
  }
  if (source[0] == 0) return false;
  DWORD n = GetFullPathNameW(source, MAX_PATH, out, nullptr);
  if (n == 0 || n >= MAX_PATH) return false;
  return out[n - 1] == L'\\' || Append(out, L"\\");
}

bool MakeDumpPath(const wchar_t* folder, const wchar_t* program, DWORD processId, wchar_t (&out)[MAX_PATH]) {
  wchar_t tail[32];
  _snwprintf(tail, 32, L".%lu.dmp", static_cast<unsigned long>(processId));
  tail[31] = 0;
  out[0] = 0;
  return Append(out, folder) && Append(out, program) && Append(out, tail);
}

// The registry view the system's own reader sees: a 32-bit process under
// WOW64 is otherwise redirected to the 32-bit view of SOFTWARE.
REGSAM SystemRegistryView() {
  using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, BOOL*);
  auto isWow64 = FunctionCast<IsWow64ProcessFn>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process"));
  BOOL wow64 = FALSE;
  return isWow64 != nullptr && isWow64(GetCurrentProcess(), &wow64) && wow64 ? KEY_WOW64_64KEY : 0;
}

// The file name of the process's program.
bool ProgramFileName(wchar_t (&out)[MAX_PATH]) {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return false;
  const wchar_t* name = wcsrchr(path, L'\\');
  name = name != nullptr ? name + 1 : path;
  out[0] = 0;
  return Append(out, name);
}

}  // namespace

DWORD DumpTypeFlags(DWORD dumpType, DWORD customFlags) {
  switch (dumpType) {
    case kCustomDump:
      return customFlags;
    case kFullDump:
      return MiniDumpWithFullMemory | MiniDumpWithHandleData | MiniDumpWithUnloadedModules |
             MiniDumpWithFullMemoryInfo | MiniDumpWithThreadInfo;
    default:
      return MiniDumpNormal;
  }
}

DumpSettings ReadDumpSettingsFrom(const wchar_t* keyPath, REGSAM viewFlag, const wchar_t* program, DWORD processId) {
  DumpSettings found = {};
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ | viewFlag, &opened) != ERROR_SUCCESS) return found;
  ScopedRegKey global(opened);
  DumpValues values = ReadValues(global.Get());
  if (RegOpenKeyExW(global.Get(), program, 0, KEY_READ | viewFlag, &opened) == ERROR_SUCCESS) {
    ScopedRegKey own(opened);
    values = Merge(values, ReadValues(own.Get()));
  }
  if (!ResolveFolder(values, found.folder) || !MakeDumpPath(found.folder, program, processId, found.path)) return found;
  found.keep = values.hasCount && values.count > 0 ? values.count : (values.hasCount ? 1 : kDefaultDumpCount);
  found.type = DumpTypeFlags(values.hasType ? values.type : kDefaultDumpType,
                             values.hasFlags ? values.flags : kDefaultCustomFlags);
  found.enabled = true;
  return found;
}

const DumpSettings& TheDumpSettings() { return settings; }

void ReadDumpSettings() {
  wchar_t program[MAX_PATH];
  if (!ProgramFileName(program)) return;
  settings = ReadDumpSettingsFrom(kLocalDumpsKey, SystemRegistryView(), program, GetCurrentProcessId());
}

}  // namespace ruxtrap
