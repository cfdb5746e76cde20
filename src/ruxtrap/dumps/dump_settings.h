// The local-dump settings as they apply to one program, and where its dump goes.
#pragma once

#include <windows.h>

namespace ruxtrap {

// Where the system keeps the settings, under HKEY_LOCAL_MACHINE.
constexpr wchar_t kLocalDumpsKey[] = L"SOFTWARE\\Microsoft\\Windows\\Windows Error Reporting\\LocalDumps";

// The system's defaults for values that are missing (or of another type).
constexpr wchar_t kDefaultDumpFolder[] = L"%LOCALAPPDATA%\\CrashDumps";
constexpr DWORD kDefaultDumpCount = 10;
constexpr DWORD kDefaultDumpType = 1;           // mini
constexpr DWORD kDefaultCustomFlags = 0x121;    // data segments, unloaded modules, thread data

// DumpType's values.
enum : DWORD { kCustomDump = 0, kMiniDump = 1, kFullDump = 2 };

struct DumpSettings {
  bool enabled;              // the LocalDumps key exists
  wchar_t folder[MAX_PATH];  // absolute, ending in a backslash
  wchar_t path[MAX_PATH];    // <folder><program file name>.<process id>.dmp
  DWORD keep;                // dump files the folder keeps, the new one included (at least 1)
  DWORD type;                // the MINIDUMP_TYPE flags of the dump
};

// The settings under HKEY_LOCAL_MACHINE\keyPath (read in the registry view
// given by viewFlag, 0 or KEY_WOW64_64KEY) for the program of that file name
// and process id. Not enabled when the key does not exist or the folder or
// the dump's path cannot be made (too long, a variable that does not expand).
DumpSettings ReadDumpSettingsFrom(const wchar_t* keyPath, REGSAM viewFlag, const wchar_t* program, DWORD processId);

// What ReadDumpSettings found for this process.
const DumpSettings& TheDumpSettings();

// The MINIDUMP_TYPE flags of a DumpType value and CustomDumpFlags.
DWORD DumpTypeFlags(DWORD dumpType, DWORD customFlags);

}  // namespace ruxtrap
