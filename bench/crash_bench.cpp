// The crash benchmark: time from the fault to the end of the crashed process,
// with the library and without, and where the library's time goes.
//   crash_bench [RUNS]          (at least 7; default 9)
// Runs under Wine from bin/bench/, beside the crash host's folders, with
// Wine's crash debugger allowed (case C is its crash dump).
#include <windows.h>
// windows.h first
#include <tlhelp32.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <algorithm>
#include <string>
#include <vector>

#include "describe/symbol_engine.h"
#include "report/report.h"
#include "report/report_places.h"
#include "sysinfo/sysinfo.h"

namespace {

double Milliseconds(LONGLONG ticks) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(ticks) / static_cast<double>(frequency.QuadPart);
}

LONGLONG Now() {
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return t.QuadPart;
}

std::wstring Folder() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, n);
  return folder.substr(0, folder.find_last_of(L'\\'));
}

// One crash: milliseconds from the host's stamp before its fault to the end of
// its process, or a negative number when the run went wrong.
double TimeCrash(const std::wstring& program, const std::wstring& arguments, DWORD* exitCode) {
  DeleteFileW(L"C:\\ruxtrap-fault-qpc.txt");
  DeleteFileW(L"C:\\CrashEvent.log");
  std::wstring line = L"\"" + program + L"\" " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;  // Wine's crash dump goes nowhere
  HANDLE nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  SetHandleInformation(nul, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  startup.hStdOutput = startup.hStdError = nul;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
    CloseHandle(nul);
    return -1;
  }
  WaitForSingleObject(info.hProcess, 120000);
  LONGLONG end = Now();
  GetExitCodeProcess(info.hProcess, exitCode);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  CloseHandle(nul);
  FILE* stamp = _wfopen(L"C:\\ruxtrap-fault-qpc.txt", L"r");
  long long fault = 0;
  if (stamp == nullptr || fscanf(stamp, "%lld", &fault) != 1) fault = 0;
  if (stamp) fclose(stamp);
  return fault ? Milliseconds(end - fault) : -1;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

struct Case {
  const char* name;
  const wchar_t* folder;  // below the bin folder
  const wchar_t* arguments;
  std::vector<double> times;
};

// Milliseconds one call of fn takes, median of runs.
template <class Fn>
double TimeCall(int runs, Fn fn) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    LONGLONG start = Now();
    fn();
    times.push_back(Milliseconds(Now() - start));
  }
  return Median(times);
}

int CountThreads() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  int count = 0;
  for (BOOL ok = Thread32First(snapshot, &entry); ok; ok = Thread32Next(snapshot, &entry))
    count += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
  CloseHandle(snapshot);
  return count;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  int runs = argc > 1 ? _wtoi(argv[1]) : 9;
  if (runs < 7) runs = 7;
  std::wstring bin = Folder() + L"\\..";
  Case cases[] = {
      {"A  library, shallow crash", L"\\real-wscript", L"--stamp av", {}},
      {"B  library, 200 frames deep", L"\\real-wscript", L"--stamp deep 200", {}},
      {"C  no library, Wine's crash dump", L"", L"--no-init --stamp av", {}},
      {"D  host filter that only exits", L"", L"--no-init --own-filter --stamp av", {}},
  };
  for (int run = -1; run < runs; ++run) {  // run -1 warms up
    for (Case& c : cases) {
      DWORD code = 0;
      double ms = TimeCrash(bin + c.folder + L"\\crash_host.exe", c.arguments, &code);
      if (ms < 0) {
        fwprintf(stderr, L"crash_bench: a run of %hs failed (exit code 0x%08lX)\n", c.name, code);
        return 1;
      }
      if (run >= 0) c.times.push_back(ms);
    }
  }
  double a = Median(cases[0].times), b = Median(cases[1].times), c = Median(cases[2].times), d = Median(cases[3].times);
  printf("Fault to end of process, median of %d runs (ms):\n", runs);
  for (const Case& k : cases) printf("  %-36s %8.1f\n", k.name, Median(k.times));
  printf("A/C = %.2f (target <= 4)   B/A = %.2f (target <= 1.25)   A-D = %.1f ms\n", a / c, b / a, a - d);

  // Where the report's time goes, measured in this process: the same calls
  // the report makes, one by one.
  double symbols = TimeCall(5, [] {
    ruxtrap::EnsureSymbolEngine();
    ruxtrap::ReleaseSymbolEngine();
  });
  double directX = TimeCall(5, [] { ruxtrap::QueryDirectXVersion(nullptr, nullptr, nullptr); });
  ruxtrap::ResolveReportPlaces();  // the system's script host, as the report starts it
  double launch = TimeCall(5, [] {
    ruxtrap::LaunchProcess(ruxtrap::TheReportPlaces().scriptHost, "WScript.exe c:\\~tmp.vbs");
  });
  double rest = a - d - symbols - directX - launch;
  printf("Report time split (ms): symbol set-up %.1f, DxDiag %.1f, script host launch %.1f, rest %.1f (%.1f%% of A)\n",
         symbols, directX, launch, rest, 100.0 * rest / a);

  // The export: how long InitRuxtrap takes and whether it starts a thread.
  HMODULE library = LoadLibraryW((bin + L"\\Ruxtrap.dll").c_str());
  auto init = reinterpret_cast<void(WINAPI*)(const char*)>(
      reinterpret_cast<void (*)()>(GetProcAddress(library, "InitRuxtrap")));
  int threadsBefore = CountThreads();
  double initMs = TimeCall(1, [init] { init("bench"); });
  printf("InitRuxtrap: %.3f ms, threads before %d, after %d\n", initMs, threadsBefore, CountThreads());
  return 0;
}
