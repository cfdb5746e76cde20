#include <stdio.h>

#include "probes/probes.h"
#include "support/fault_guard.h"
#include "support/log_text.h"
#include "support/scoped.h"
#include "support/step_times.h"
#include "sysinfo/sysinfo_detail.h"

namespace ruxtrap {

namespace {

const wchar_t kSep90[] =
    L"==========================================================================================\n";

// The facts of the one report in progress: module data, used under the
// report lock only, so the section needs no heap and little stack.
SystemFacts reportFacts;

bool ToLocalReportTime(const FILETIME& utc, ReportTime* out) {
  FILETIME local;
  SYSTEMTIME t;
  if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &t)) return false;
  *out = {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
  return true;
}

bool ReadStartTime(ReportTime* out) {
  FILETIME creation, exitTime, kernel, user;
  return GetProcessTimes(GetCurrentProcess(), &creation, &exitTime, &kernel, &user) && ToLocalReportTime(creation, out);
}

// The system's clock and time zone: no heap, so a damaged heap keeps it.
bool ReadCrashTime(ReportTime* out) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return ToLocalReportTime(now, out);
}

void ReadVersion(OSVERSIONINFOEXW* version) {
  ZeroMemory(version, sizeof(*version));
  version->dwOSVersionInfoSize = sizeof(*version);
  // A failed query leaves the record zero, which names the version unknown.
  if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(version))) ZeroMemory(version, sizeof(*version));
}

void ReadDisplay(SystemFacts* f) {
  f->screenWidth = GetSystemMetrics(SM_CXSCREEN);
  f->screenHeight = GetSystemMetrics(SM_CYSCREEN);
  ScopedScreenDc screen(GetDC(nullptr));
  f->bitsPerPixel = screen.IsValid() ? GetDeviceCaps(screen.Get(), BITSPIXEL) : 0;
}

// Every letter from c to z is tried. An empty removable drive must fail
// quietly instead of asking the user for a disk while the process is crashing.
void ReadDrives(SystemFacts* f) {
  UINT previousMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  f->driveCount = 0;
  for (wchar_t letter = L'c'; letter <= L'z'; ++letter) {
    DriveRow& row = f->drives[f->driveCount];
    _snwprintf(row.root, 9, L"%c:\\", letter);
    row.root[8] = L'\0';
    ULARGE_INTEGER toCaller, total, totalFree;
    if (!GetDiskFreeSpaceExW(row.root, &toCaller, &total, &totalFree)) continue;
    row.totalBytes = total.QuadPart;
    row.freeBytes = totalFree.QuadPart;
    ++f->driveCount;
  }
  SetErrorMode(previousMode);
}

// GetModuleFileNameW waits for the loader lock; PSAPI reads the same path
// from the loader's list without it.
DWORD ModulePath(HMODULE module, wchar_t* path, DWORD size, LoaderLockHold& hold) {
  if (hold.CallsAllowed()) return GetModuleFileNameW(module, path, size);
  return GetModuleFileNameExCompat(GetCurrentProcess(), module, path, size);
}

void ReadModules(SystemFacts* f, LoaderLockHold& hold) {
  HMODULE handles[kModuleSlots];
  DWORD count = 0;
  f->moduleCount = 0;
  // A process with more modules than the table has rows still gets the rows
  // that fit: the list holds its first modules then.
  if (!EnumProcessModulesCompat(GetCurrentProcessId(), kModuleSlots, handles, &count) &&
      GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return;
  for (DWORD i = 0; i < count && i < kModuleSlots; ++i) {
    ModuleRow& row = f->modules[f->moduleCount++];
    row.handle = handles[i];
    DWORD n = ModulePath(handles[i], row.path, MAX_PATH, hold);
    // A path of 260 characters or more comes back cut and maybe unterminated.
    row.path[n < MAX_PATH ? n : MAX_PATH - 1] = L'\0';
  }
}

void WriteTimeLine(HANDLE stream, const wchar_t* label, bool known, const ReportTime& t) {
  if (!known) {
    WriteWide(stream, L"%s\tunknown\n", label);
    return;
  }
  WriteWide(stream, L"%s\t%.4d-%.2d-%.2d %.2d:%.2d:%.2d-%.3u\n", label, t.year, t.month, t.day, t.hour, t.minute,
            t.second, t.milliseconds);
}

// Megabytes of a 64-bit byte count, printed as a signed 32-bit number.
int Megabytes(ULONGLONG bytes) { return static_cast<int>(bytes / 1048576); }

}  // namespace

// Each query runs under a guard of its own: one that faults (a damaged heap
// under the registry, COM or the loader) costs only its own line or rows,
// which then show the value as unknown (zero, empty, or left out). The
// display (USER32's set-up on its first use) and DirectX (COM loads the
// provider) wait for the loader lock: while the report may not, they are
// left out the same way.
void GatherSystemHead(SystemFacts* f) {
  ZeroMemory(f, sizeof(*f));
  strcpy(f->processorLine, "[Processor]:     \n");  // the shape of an unreadable key
  RunGuarded([f] { f->startTimeKnown = ReadStartTime(&f->startTime); });
  RUXTRAP_STEP("start time");
  RunGuarded([f] { f->crashTimeKnown = ReadCrashTime(&f->crashTime); });
  RUXTRAP_STEP("crash time");
  RunGuarded([f] {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    f->processorCount = system.dwNumberOfProcessors;
  });
  RUXTRAP_STEP("processor count");
  RunGuarded([f] { BuildProcessorLine(HKEY_LOCAL_MACHINE, kProcessorKey, f->processorLine); });
  RUXTRAP_STEP("processor name");
  RunGuarded([f] {
    f->memory.dwLength = sizeof(f->memory);
    GlobalMemoryStatus(&f->memory);
  });
  RUXTRAP_STEP("memory");
  RunGuarded([f] { ReadVersion(&f->version); });
  RUXTRAP_STEP("OS version");
}

// The first of the section's queries that waits for the loader lock.
void GatherDisplay(SystemFacts* f, LoaderLockHold& hold) {
  if (hold.CallsAllowed()) RunGuarded([f] { ReadDisplay(f); });
  RUXTRAP_STEP("display");
}

// The provider runs under the report's hold on the loader lock (see
// loader_hold.h): a thread that ends the process meanwhile waits for it.
void GatherDirectX(SystemFacts* f, LoaderLockHold& hold) {
  if (hold.CallsAllowed())
    RunGuarded([f] {
      f->directXKnown = QueryDirectXVersion(&f->directXMajor, &f->directXMinor, &f->directXLetter) == S_OK;
    });
  RUXTRAP_STEP("DirectX");
}

void GatherSystemTables(SystemFacts* f, LoaderLockHold& hold) {
  RunGuarded([f] { ReadDrives(f); });
  RUXTRAP_STEP("drives");
  RunGuarded([f, &hold] { ReadModules(f, hold); });
  RUXTRAP_STEP("module table");
}

void GatherSystemFacts(SystemFacts* f, LoaderLockHold& hold) {
  GatherSystemHead(f);
  GatherDisplay(f, hold);
  GatherDirectX(f, hold);
  GatherSystemTables(f, hold);
}

void FormatSystemHead(HANDLE log, const SystemFacts& f) {
  WriteWide(log, kSep90);
  WriteTimeLine(log, L"[Started Time]:", f.startTimeKnown, f.startTime);
  WriteTimeLine(log, L"[Crash Time]:", f.crashTimeKnown, f.crashTime);
  WriteWide(log, kSep40);
  WriteWide(log, L"\t\t\tSystem Infomation\n");
  WriteWide(log, kSep40);
  WriteWide(log, L"[CPU Nums]:     %d\n", f.processorCount);
  WriteNarrow(log, "%s", f.processorLine);
  const MEMORYSTATUS& m = f.memory;
  WriteNarrow(log, "[Phys Memory]:\t%dM, Avail[%dM]\n", m.dwTotalPhys >> 20, m.dwAvailPhys >> 20);
  WriteNarrow(log, "[Virt Memory]:\t%dM, Avail[%dM]\n", m.dwTotalVirtual >> 20, m.dwAvailVirtual >> 20);
  WriteWide(log, L"[OS Ver]:       Microsoft Windows %s\n[Build]:        %d\n[Service pack]: %s\n",
            OsVersionName(f.version), f.version.dwBuildNumber, f.version.szCSDVersion);
}

void FormatDisplayLine(HANDLE log, const SystemFacts& f) {
  WriteWide(log, L"[Display mode]: %d x %d, %d bit\n", f.screenWidth, f.screenHeight, f.bitsPerPixel);
}

void FormatDirectXLine(HANDLE log, const SystemFacts& f) {
  if (f.directXKnown) WriteWide(log, L"[DirectX Ver]:  %d.%d %c\n", f.directXMajor, f.directXMinor, f.directXLetter);
}

void FormatSystemTables(HANDLE log, const SystemFacts& f) {
  WriteWide(log, kSep40);
  WriteWide(log, L"Letter\t\tTotal\t\tFree\n");
  WriteWide(log, kSep40);
  for (int i = 0; i < f.driveCount; ++i)
    WriteWide(log, L"%s:\t\t%dM\t\t%dM\n", f.drives[i].root, Megabytes(f.drives[i].totalBytes),
              Megabytes(f.drives[i].freeBytes));
  WriteWide(log, kSep40);
  WriteWide(log, L"\t\t\tAll Modules\n");
  WriteWide(log, kSep40);
  for (int i = 0; i < f.moduleCount; ++i) {
    const ModuleRow& row = f.modules[i];
    WriteWide(log, L"0x%08X\t%s\n", reinterpret_cast<DWORD>(row.handle), row.path[0] ? row.path : L"<UNKNOWN>");
  }
  WriteWide(log, kSep90);
}

void FormatSystemInfo(HANDLE log, const SystemFacts& f) {
  FormatSystemHead(log, f);
  FormatDisplayLine(log, f);
  FormatDirectXLine(log, f);
  FormatSystemTables(log, f);
}

// Each part goes to the log as soon as its values are in: a process ended
// in the middle of the section keeps the parts before. The head needs no
// loader lock, so it is on disk before the report may wait for that lock.
void WriteSystemInfo(HANDLE log, LoaderLockHold& hold) {
  GatherSystemHead(&reportFacts);
  FormatSystemHead(log, reportFacts);
  GatherDisplay(&reportFacts, hold);
  FormatDisplayLine(log, reportFacts);
  GatherDirectX(&reportFacts, hold);
  FormatDirectXLine(log, reportFacts);
  GatherSystemTables(&reportFacts, hold);
  FormatSystemTables(log, reportFacts);
}

}  // namespace ruxtrap
