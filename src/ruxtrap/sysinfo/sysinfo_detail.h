// Inside the system section: the values it reports, gathered first, and the
// pieces a test drives directly.
#pragma once

#include <objbase.h>
#include <windows.h>

#include "support/scoped.h"
#include "sysinfo/sysinfo.h"

namespace ruxtrap {

// Rows of the module table: large programs load a few hundred modules.
constexpr int kModuleSlots = 1024;
constexpr int kDriveLetters = 24;  // c to z
constexpr int kProcessorLineBytes = 600;

struct ReportTime {
  int year, month, day, hour, minute, second;
  unsigned milliseconds;
};

struct DriveRow {
  wchar_t root[9];  // "c:\"
  ULONGLONG totalBytes, freeBytes;
};

struct ModuleRow {
  HMODULE handle;
  wchar_t path[MAX_PATH];  // cut to 259 characters; empty when unreadable
};

// Everything the section prints. Unknown values are marked, never left as
// garbage.
struct SystemFacts {
  bool startTimeKnown;
  ReportTime startTime;
  bool crashTimeKnown;
  ReportTime crashTime;
  DWORD processorCount;
  char processorLine[kProcessorLineBytes];  // with its line end
  MEMORYSTATUS memory;
  OSVERSIONINFOEXW version;  // all zero when it cannot be read
  int screenWidth, screenHeight, bitsPerPixel;
  bool directXKnown;
  DWORD directXMajor, directXMinor;
  wchar_t directXLetter;
  int driveCount;
  DriveRow drives[kDriveLetters];
  int moduleCount;
  ModuleRow modules[kModuleSlots];
};

// Queries the platform for every value, in the order of the section: the
// head (times to the service pack), the display, the DirectX version, the
// drive and module tables. The head's gathering starts from an all-zero
// record.
void GatherSystemHead(SystemFacts* facts);
// The display, DirectX and the module paths wait for the loader lock where
// hold allows it (see loader_hold.h).
void GatherDisplay(SystemFacts* facts, LoaderLockHold& hold);
void GatherDirectX(SystemFacts* facts, LoaderLockHold& hold);
void GatherSystemTables(SystemFacts* facts, LoaderLockHold& hold);
void GatherSystemFacts(SystemFacts* facts, LoaderLockHold& hold);
// Writes the section's lines from gathered values, part by part.
void FormatSystemHead(HANDLE log, const SystemFacts& facts);
void FormatDisplayLine(HANDLE log, const SystemFacts& facts);
void FormatDirectXLine(HANDLE log, const SystemFacts& facts);
void FormatSystemTables(HANDLE log, const SystemFacts& facts);
void FormatSystemInfo(HANDLE log, const SystemFacts& facts);

// --- Processor name ---

constexpr int kRegistryValueBytes = 260;  // 259 bytes of data and a zero
// The key of the first processor (the path ends in a backslash and a zero).
constexpr char kProcessorKey[] = "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";

// An open registry key (closed when the object goes), with a string read.
class RegistryKey {
 public:
  RegistryKey(HKEY root, const char* path);
  // Reads a value of up to 259 bytes of any type into out (260 bytes). A key
  // that did not open or an empty name leaves out unchanged; any other
  // failure leaves it empty.
  bool QueryString(const char* name, char* out) const;

 private:
  ScopedRegKey key_;
};

// Blanks (0x20 only) removed in place; text made only of blanks stays as it
// is. Each returns the text.
char* TrimLeft(char* text);
char* TrimRight(char* text);
char* TrimSpaces(char* text);

// The narrow "[Processor]:" line, with its line end, from the key root\path
// (HKEY_LOCAL_MACHINE\kProcessorKey in a report) into out (kProcessorLineBytes).
void BuildProcessorLine(HKEY root, const char* path, char* out);

// --- DirectX version ---

// The COM calls of the query, so a test can put a provider of its own, or a
// failing COM, in front of it (see support/seam.h).
struct DxDiagPlatform {
  decltype(&::CoInitialize) coInitialize;
  decltype(&::CoUninitialize) coUninitialize;
  decltype(&::CoCreateInstance) coCreateInstance;
};
const DxDiagPlatform& RealDxDiagPlatform();
#ifdef RUXTRAP_TEST_SEAMS
DxDiagPlatform& TheDxDiagPlatform();
#endif

}  // namespace ruxtrap
