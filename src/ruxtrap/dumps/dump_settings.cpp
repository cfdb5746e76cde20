#include "dumps/dump_settings.h"
// windows.h first
#include <dbghelp.h>
#include <string.h>
#include <wchar.h>

#include "dumps/dumps.h"
#include "support/crash_lock.h"
#include "support/optional_calls.h"
#include "support/path_text.h"
#include "support/scoped.h"

namespace ruxtrap {

namespace {

DumpSettings settings = {};

// The values one key holds; each flag says whether its value was there, of
// the type the system reads.
struct DumpValues {
  bool hasFolder = false;
  bool folderTooLong = false;  // there, but longer than a path may be
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

// A string value (REG_EXPAND_SZ as the system writes it, or REG_SZ); one
// longer than MAX_PATH characters is there but names no folder.
bool ReadFolderValue(HKEY key, DumpValues* values) {
  DWORD type = 0;
  DWORD size = sizeof(values->folder) - sizeof(wchar_t);
  LONG result = RegQueryValueExW(key, L"DumpFolder", nullptr, &type, reinterpret_cast<BYTE*>(values->folder), &size);
  if ((result != ERROR_SUCCESS && result != ERROR_MORE_DATA) || (type != REG_SZ && type != REG_EXPAND_SZ))
    return false;
  values->folderTooLong = result == ERROR_MORE_DATA;
  values->folder[result == ERROR_SUCCESS ? size / sizeof(wchar_t) : 0] = 0;
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
    merged.folderTooLong = program.folderTooLong;
    memcpy(merged.folder, program.folder, sizeof(merged.folder));
  }
  if (program.hasCount) merged.hasCount = true, merged.count = program.count;
  if (program.hasType) merged.hasType = true, merged.type = program.type;
  if (program.hasFlags) merged.hasFlags = true, merged.flags = program.flags;
  return merged;
}

// Whether a "%NAME%" that names no variable is left in text: the system
// leaves such a one as it stands. A lone "%" is a folder name's own.
bool HoldsUnexpandedVariable(const wchar_t* text) {
  for (const wchar_t* open = wcschr(text, L'%'); open != nullptr; open = wcschr(open + 1, L'%')) {
    const wchar_t* close = wcschr(open + 1, L'%');
    if (close == nullptr) return false;
    wchar_t name[MAX_PATH];
    const size_t length = static_cast<size_t>(close - open - 1);
    if (length == 0 || length >= MAX_PATH) continue;
    memcpy(name, open + 1, length * sizeof(wchar_t));
    name[length] = 0;
    if (GetEnvironmentVariableW(name, nullptr, 0) == 0) return true;
  }
  return false;
}

// Under WOW64 a 32-bit process's variables and system folder are the 32-bit
// ones ("Program Files (x86)", SysWOW64), while the settings are the 64-bit
// system's, whose reader expands them: the 64-bit ones are meant.
struct Replacement {
  const wchar_t* from;
  const wchar_t* to;
};
const Replacement kWow64Variables[] = {{L"%ProgramFiles%", L"%ProgramW6432%"},
                                       {L"%CommonProgramFiles%", L"%CommonProgramW6432%"}};

bool ReplaceAll(const wchar_t* text, const Replacement& replacement, wchar_t (&out)[MAX_PATH]) {
  out[0] = 0;
  const size_t fromLength = wcslen(replacement.from);
  for (const wchar_t* at = text; *at != 0;) {
    if (_wcsnicmp(at, replacement.from, fromLength) == 0) {
      if (!Append(out, MAX_PATH, replacement.to)) return false;
      at += fromLength;
      continue;
    }
    const wchar_t one[2] = {*at++, 0};
    if (!Append(out, MAX_PATH, one)) return false;
  }
  return true;
}

// The 64-bit system folder as a 32-bit process under WOW64 reaches it.
bool ToNativeSystemFolder(wchar_t (&path)[MAX_PATH]) {
  wchar_t windows[MAX_PATH], system[MAX_PATH], native[MAX_PATH];
  UINT n = GetSystemWindowsDirectoryW(windows, MAX_PATH);
  if (n == 0 || n >= MAX_PATH || !Join(system, windows, L"\\System32")) return true;
  const size_t length = wcslen(system);
  if (_wcsnicmp(path, system, length) != 0 || (path[length] != 0 && path[length] != L'\\')) return true;
  if (!Join(native, windows, L"\\Sysnative") || !Append(native, MAX_PATH, path + length)) return false;
  memcpy(path, native, sizeof(native));
  return true;
}

// Whether path is absolute: a drive and its root, or a UNC or device path.
// A relative folder would depend on the program's current folder.
bool IsAbsolutePath(const wchar_t* path) {
  const bool drive = ((path[0] | 0x20) >= L'a' && (path[0] | 0x20) <= L'z') && path[1] == L':' && path[2] == L'\\';
  return drive || (path[0] == L'\\' && path[1] == L'\\');
}

// The folder, its variables expanded (in either string type), ending in a
// backslash. A variable that does not expand, a relative folder, or one
// too long names no folder.
bool ResolveFolder(const DumpValues& values, bool wow64, wchar_t (&out)[MAX_PATH]) {
  if (values.folderTooLong) return false;
  wchar_t source[MAX_PATH], replaced[MAX_PATH];
  if (!Join(source, values.hasFolder ? values.folder : kDefaultDumpFolder, L"")) return false;
  for (const Replacement& replacement : kWow64Variables) {
    if (!wow64) break;
    if (!ReplaceAll(source, replacement, replaced)) return false;
    memcpy(source, replaced, sizeof(source));
  }
  DWORD n = ExpandEnvironmentStringsW(source, out, MAX_PATH);
  if (n == 0 || n > MAX_PATH || HoldsUnexpandedVariable(out) || !IsAbsolutePath(out)) return false;
  if (wow64 && !ToNativeSystemFolder(out)) return false;
  const size_t length = wcslen(out);
  return out[length - 1] == L'\\' || Append(out, MAX_PATH, L"\\");
}

bool MakeDumpPath(const wchar_t* folder, const wchar_t* program, DWORD processId, wchar_t (&out)[MAX_PATH]) {
  wchar_t tail[32];
  _snwprintf(tail, 32, L".%lu.dmp", static_cast<unsigned long>(processId));
  tail[31] = 0;
  return Join(out, folder, program) && Append(out, MAX_PATH, static_cast<const wchar_t*>(tail));
}

// Whether the process runs under WOW64, where the settings lie in the
// 64-bit view of the registry that the system's own reader sees (a 32-bit
// process is otherwise redirected to the 32-bit view of SOFTWARE).
bool RunsUnderWow64() {
  auto isWow64 = Optional().isWow64Process;
  BOOL wow64 = FALSE;
  return isWow64 != nullptr && isWow64(GetCurrentProcess(), &wow64) && wow64;
}

// The file name of the process's program.
bool ProgramFileName(wchar_t (&out)[MAX_PATH]) {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return false;
  const wchar_t* name = wcsrchr(path, L'\\');
  return Join(out, name != nullptr ? name + 1 : path, L"");
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
  ScopedRegKey global;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ | viewFlag, global.Put()) != ERROR_SUCCESS) return found;
  DumpValues values = ReadValues(global.Get());
  ScopedRegKey own;
  if (RegOpenKeyExW(global.Get(), program, 0, KEY_READ | viewFlag, own.Put()) == ERROR_SUCCESS)
    values = Merge(values, ReadValues(own.Get()));
  if (!ResolveFolder(values, viewFlag == KEY_WOW64_64KEY, found.folder) ||
      !MakeDumpPath(found.folder, program, processId, found.path))
    return found;
  found.keep = values.hasCount && values.count > 0 ? values.count : (values.hasCount ? 1 : kDefaultDumpCount);
  found.type = DumpTypeFlags(values.hasType ? values.type : kDefaultDumpType,
                             values.hasFlags ? values.flags : kDefaultCustomFlags);
  found.enabled = true;
  return found;
}

const DumpSettings& TheDumpSettings() { return settings; }

// Read aside, then published under the report lock (see crash_lock.h).
void ReadDumpSettings() {
  wchar_t program[MAX_PATH];
  if (!ProgramFileName(program)) return;
  const DumpSettings found = ReadDumpSettingsFrom(kLocalDumpsKey, RunsUnderWow64() ? KEY_WOW64_64KEY : 0, program,
                                                  GetCurrentProcessId());
  PublishUnlessReporting([&found] { settings = found; });
}

}  // namespace ruxtrap
