// Which of the report's platform calls wait for the loader lock?
//   loader_lock_probe              runs every probe, each in a process of its own
//   loader_lock_probe NAME         one probe: prepares, takes the loader lock on
//                                  another thread, then makes the call
// A call that has not returned 3 s after it started is taken to wait for the
// lock; its process is then ended. Every probe starts where InitRuxtrap
// leaves a process (one row excepted) and prepares what the report would
// already have at that point (the symbol handler for the lookups, say), so
// only the call itself is measured. The last rows are the report's own steps
// as it makes them while it may not wait for the lock.
#include <windows.h>
// windows.h first
#include <dbghelp.h>
#include <psapi.h>
#include <stdio.h>
#include <wchar.h>

#include "describe/describe.h"
#include "describe/symbol_engine.h"
#include "lifecycle/lifecycle.h"
#include "probes/loader_lock.h"
#include "probes/probes.h"
#include "sysinfo/sysinfo.h"
#include "sysinfo/sysinfo_detail.h"

namespace {

constexpr DWORD kWaitMs = 3000;

using LockFn = LONG(NTAPI*)(ULONG, ULONG*, ULONG_PTR*);

// Both threads start before the lock is taken: a thread cannot start while
// another holds the loader lock.
HANDLE takeLock;
HANDLE lockTaken;
HANDLE callReady;
HANDLE callReturned;  // not the thread's end: a thread cannot end under the lock either
LockFn lockLoader;
DWORD WINAPI HoldLoaderLock(void*) {
  WaitForSingleObject(takeLock, INFINITE);
  ULONG_PTR cookie = 0;
  lockLoader(0, nullptr, &cookie);
  SetEvent(lockTaken);
  Sleep(INFINITE);
  return 0;
}

__attribute__((noinline)) DWORD64 SomeCodeAddress() { return reinterpret_cast<DWORD64>(&SomeCodeAddress); }

void SetUpSymbols() {
  SymSetOptions(SymGetOptions() | SYMOPT_LOAD_LINES | SYMOPT_DEFERRED_LOADS);
  SymInitialize(GetCurrentProcess(), nullptr, TRUE);
}

// One symbol lookup as the report makes it.
void LookUpSymbol() {
  static union {
    IMAGEHLP_SYMBOL64 s;
    BYTE b[1024];
  } symbol;
  symbol.s.SizeOfStruct = sizeof(IMAGEHLP_SYMBOL64);
  symbol.s.MaxNameLength = 992;
  DWORD64 displacement;
  SymGetSymFromAddr64(GetCurrentProcess(), SomeCodeAddress(), &displacement, &symbol.s);
}

HMODULE ntdll;
HANDLE logFile;
EXCEPTION_POINTERS* pointers;
EXCEPTION_RECORD record;
CONTEXT context;

// The fault's context, as a report finds it. Each call makes its own
// report session on the probing thread, after another thread took the
// loader lock: its hold then waits for the lock, bounded, as a report's does.
bool loaderCallsLeftOut = false;

void SetUpPointers() {
  RtlCaptureContext(&context);
  record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
  record.ExceptionAddress = reinterpret_cast<void*>(context.Eip);
  static EXCEPTION_POINTERS p = {&record, &context};
  pointers = &p;
}

PVOID WINAPI NoFunctionTable(HANDLE, DWORD64) { return nullptr; }
DWORD64 WINAPI BaseBy64K(HANDLE, DWORD64 address) { return address & ~DWORD64{0xFFFF}; }

struct Probe {
  const char* name;
  void (*prepare)();
  void (*call)();
  bool afterInit = true;  // InitRuxtrap runs first
};

// The report's steps with the calls that wait for the lock left out.
void LeaveLoaderCallsOut() {
  SetUpPointers();
  loaderCallsLeftOut = true;
}

struct ProbeSession {
  ruxtrap::ReportSession session;
  ProbeSession() {
    if (loaderCallsLeftOut) session.Hold().DenyCalls();
  }
};

void Nothing() {}

const Probe kProbes[] = {
    {"GetProcessTimes, FileTimeToLocalFileTime, FileTimeToSystemTime", Nothing,
     [] {
       FILETIME c, e, k, u, l;
       SYSTEMTIME t;
       GetProcessTimes(GetCurrentProcess(), &c, &e, &k, &u);
       FileTimeToLocalFileTime(&c, &l);
       FileTimeToSystemTime(&l, &t);
     }},
    {"GetSystemTimeAsFileTime, FileTimeToLocalFileTime, FileTimeToSystemTime", Nothing,
     [] {
       FILETIME now, local;
       SYSTEMTIME t;
       GetSystemTimeAsFileTime(&now);
       FileTimeToLocalFileTime(&now, &local);
       FileTimeToSystemTime(&local, &t);
     }},
    {"GetSystemInfo", Nothing,
     [] {
       SYSTEM_INFO s;
       GetSystemInfo(&s);
     }},
    {"processor name (RegOpenKeyExA, RegQueryValueExA)", Nothing,
     [] {
       char line[512];
       ruxtrap::BuildProcessorLine(HKEY_LOCAL_MACHINE, ruxtrap::kProcessorKey, line);
     }},
    {"GlobalMemoryStatus", Nothing,
     [] {
       MEMORYSTATUS m;
       m.dwLength = sizeof(m);
       GlobalMemoryStatus(&m);
     }},
    {"GetVersionExW", Nothing,
     [] {
       OSVERSIONINFOEXW v = {};
       v.dwOSVersionInfoSize = sizeof(v);
       GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&v));
     }},
    {"GetSystemMetrics", Nothing, [] { GetSystemMetrics(SM_CXSCREEN); }},
    {"GetSystemMetrics (USER32 already in use)", [] { GetSystemMetrics(SM_CYSCREEN); },
     [] { GetSystemMetrics(SM_CXSCREEN); }},
    {"GetDC, GetDeviceCaps, ReleaseDC", Nothing,
     [] {
       HDC dc = GetDC(nullptr);
       GetDeviceCaps(dc, BITSPIXEL);
       ReleaseDC(nullptr, dc);
     }},
    {"QueryDirectXVersion (CoInitialize, CoCreateInstance)", Nothing,
     [] {
       DWORD major, minor;
       wchar_t letter;
       ruxtrap::QueryDirectXVersion(&major, &minor, &letter);
     }},
    {"GetDiskFreeSpaceExW", Nothing,
     [] {
       ULARGE_INTEGER a, b, c;
       GetDiskFreeSpaceExW(L"c:\\", &a, &b, &c);
     }},
    {"EnumProcessModulesCompat", Nothing,
     [] {
       HMODULE m[250];
       DWORD n;
       ruxtrap::EnumProcessModulesCompat(GetCurrentProcessId(), 250, m, &n);
     }},
    {"GetModuleFileNameW", Nothing,
     [] {
       wchar_t path[MAX_PATH];
       GetModuleFileNameW(GetModuleHandleW(nullptr), path, MAX_PATH);
     }},
    {"GetModuleFileNameExW (PSAPI)", Nothing,
     [] {
       wchar_t path[MAX_PATH];
       GetModuleFileNameExW(GetCurrentProcess(), reinterpret_cast<HMODULE>(0x400000), path, MAX_PATH);
     }},
    {"GetModuleBaseNameCompat", Nothing,
     [] {
       wchar_t name[MAX_PATH];
       ruxtrap::GetModuleBaseNameCompat(GetCurrentProcess(), nullptr, name, MAX_PATH);
     }},
    {"GetModuleInformation (PSAPI)", Nothing,
     [] {
       MODULEINFO info;
       GetModuleInformation(GetCurrentProcess(), reinterpret_cast<HMODULE>(0x400000), &info, sizeof(info));
     }},
    {"IsProcessorFeaturePresent", Nothing, [] { IsProcessorFeaturePresent(PF_XMMI_INSTRUCTIONS_AVAILABLE); }},
    {"LockFileEx, UnlockFileEx", [] { logFile = CreateFileW(L"C:\\ruxtrap-probe.txt", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr); },
     [] {
       OVERLAPPED at = {};
       LockFileEx(logFile, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at);
       UnlockFileEx(logFile, 0, 1, 0, &at);
     }},
    {"StackWalk64 without the symbol handler", [] { RtlCaptureContext(&context); },
     [] {
       STACKFRAME64 frame = {};
       frame.AddrPC.Offset = context.Eip;
       frame.AddrFrame.Offset = context.Ebp;
       frame.AddrStack.Offset = context.Esp;
       frame.AddrPC.Mode = frame.AddrFrame.Mode = frame.AddrStack.Mode = AddrModeFlat;
       for (int i = 0; i < 8; ++i)
         StackWalk64(IMAGE_FILE_MACHINE_I386, GetCurrentProcess(), GetCurrentThread(), &frame, &context, nullptr,
                     &NoFunctionTable, &BaseBy64K, nullptr);
     }},
    {"GetModuleHandleW(NTDLL.DLL)", Nothing, [] { GetModuleHandleW(L"NTDLL.DLL"); }},
    {"FormatMessageW from NTDLL's messages", [] { ntdll = GetModuleHandleW(L"NTDLL.DLL"); },
     [] {
       wchar_t text[512];
       FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, ntdll, 0xC0000005, 0, text, 512,
                      nullptr);
     }},
    {"SymInitialize (invade the process, deferred loads)", Nothing, SetUpSymbols},
    {"SymInitialize (no invasion)", Nothing, [] { SymInitialize(GetCurrentProcess(), nullptr, FALSE); }},
    {"SymGetModuleBase64", SetUpSymbols, [] { SymGetModuleBase64(GetCurrentProcess(), SomeCodeAddress()); }},
    {"SymGetSymFromAddr64 (first lookup: the module's symbols load)", SetUpSymbols, LookUpSymbol},
    {"SymGetLineFromAddr64 (first lookup)", SetUpSymbols,
     [] {
       IMAGEHLP_LINE64 line = {};
       line.SizeOfStruct = sizeof(line);
       DWORD displacement;
       SymGetLineFromAddr64(GetCurrentProcess(), SomeCodeAddress(), &displacement, &line);
     }},
    {"SymGetModuleBase64, SymGetSymFromAddr64 without the symbol handler", Nothing,
     [] {
       SymGetModuleBase64(GetCurrentProcess(), SomeCodeAddress());
       LookUpSymbol();
     }},
    {"OpenProcess (the current process)", Nothing,
     [] { CloseHandle(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, GetCurrentProcessId())); }},
    {"SymCleanup", SetUpSymbols, [] { SymCleanup(GetCurrentProcess()); }},
    {"DescribeException (the summary line)", SetUpPointers,
     [] {
       ProbeSession probe;
       ruxtrap::DescribeException(pointers, probe.session.Symbols());
     }},
    {"FirstStackFrame, NextStackFrame (the call stack)", SetUpPointers,
     [] {
       ProbeSession probe;
       ruxtrap::FirstStackFrame(pointers, probe.session.Symbols());
       while (ruxtrap::NextStackFrame(probe.session.Symbols())) {}
     }},
    {"wsprintfW, first use in the process (InitRuxtrap makes it)", Nothing,
     [] {
       wchar_t text[16];
       wsprintfW(text, L"%d", 1);
     },
     false},
    {"OutputDebugStringW", Nothing, [] { OutputDebugStringW(L"probe\n"); }},
    {"CreateFileW (append), WriteFile", Nothing,
     [] {
       HANDLE f = CreateFileW(L"C:\\ruxtrap-probe.txt", FILE_APPEND_DATA | FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, 0, nullptr);
       DWORD written = 0;
       WriteFile(f, "probe\r\n", 7, &written, nullptr);
       CloseHandle(f);
     }},
    {"CreateProcessA, WaitForInputIdle", Nothing,
     [] {
       STARTUPINFOA s = {};
       s.cb = sizeof(s);
       PROCESS_INFORMATION i;
       char line[] = "cmd.exe /c exit";
       if (CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &s,
                          &i))
         WaitForInputIdle(i.hProcess, 10000);
     }},
    {"TerminateProcess (the current process)", Nothing, [] { TerminateProcess(GetCurrentProcess(), 0); }},
    {"ExitProcess, as _exit ends the process", Nothing, [] { ExitProcess(0); }},
    {"report without loader calls: the system section", LeaveLoaderCallsOut,
     [] {
       HANDLE f = CreateFileW(L"C:\\ruxtrap-probe.txt", FILE_APPEND_DATA | FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, 0, nullptr);
       ProbeSession probe;
       ruxtrap::WriteSystemInfo(f, probe.session.Hold());
       CloseHandle(f);
     }},
    {"report without loader calls: summary, registers, call stack", LeaveLoaderCallsOut,
     [] {
       ProbeSession probe;
       ruxtrap::DescribeException(pointers, probe.session.Symbols());
       ruxtrap::DescribeRegisters(pointers);
       ruxtrap::FirstStackFrame(pointers, probe.session.Symbols());
     }},
};

DWORD WINAPI RunCall(void* probe) {
  SetEvent(callReady);
  WaitForSingleObject(lockTaken, INFINITE);
  static_cast<const Probe*>(probe)->call();
  SetEvent(callReturned);
  return 0;
}

// One probe in this process: 0 when the call returned, 1 when it waits.
int RunProbe(const Probe& probe) {
  if (probe.afterInit) ruxtrap::InstallCrashReporter();
  probe.prepare();
  lockLoader = reinterpret_cast<LockFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "LdrLockLoaderLock")));
  takeLock = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  lockTaken = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  callReady = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  callReturned = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  CreateThread(nullptr, 0, &HoldLoaderLock, nullptr, 0, nullptr);
  CreateThread(nullptr, 0, &RunCall, const_cast<Probe*>(&probe), 0, nullptr);
  WaitForSingleObject(callReady, INFINITE);
  SetEvent(takeLock);
  WaitForSingleObject(lockTaken, INFINITE);
  // A call that ends the process ends it here: its exit code says it returned.
  DWORD result = WaitForSingleObject(callReturned, kWaitMs);
  TerminateProcess(GetCurrentProcess(), result == WAIT_OBJECT_0 ? 0 : 1);
  return 2;
}

// Every probe in a child process of its own.
int RunAll() {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  printf("%-70s %s\n", "call", "with the loader lock held by another thread");
  for (const Probe& probe : kProbes) {
    wchar_t line[1024];
    swprintf(line, 1024, L"\"%ls\" \"%hs\"", self, probe.name);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info;
    if (!CreateProcessW(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) return 2;
    DWORD code = 3;
    if (WaitForSingleObject(info.hProcess, 4 * kWaitMs) != WAIT_OBJECT_0) TerminateProcess(info.hProcess, 3);
    WaitForSingleObject(info.hProcess, INFINITE);
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    const char* verdict = code == 0 ? "returns" : code == 1 ? "WAITS for the lock" : "probe failed";
    if (code == 3) verdict = "WAITS (the process could not even end)";
    printf("%-70s %s\n", probe.name, verdict);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return RunAll();
  for (const Probe& probe : kProbes)
    if (strcmp(probe.name, argv[1]) == 0) return RunProbe(probe);
  fprintf(stderr, "loader_lock_probe: no probe named %s\n", argv[1]);
  return 2;
}
