// The crash benchmark: time from the fault to the end of the crashed process,
// with the library and without, the platform's own share of a report, and
// where a report's time goes inside the crash.
//   crash_bench RUNS STEPS_FOLDER
// RUNS: at least 7. STEPS_FOLDER: a folder with the crash host and a
// Ruxtrap.dll built with RUXTRAP_STEP_TIMES (bench/run.sh builds it).
// Runs under Wine from bin/bench/, beside the crash host, with Wine's crash
// debugger allowed (case C is its crash dump).
#include <windows.h>
// windows.h first
#include <tlhelp32.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace {

const wchar_t kFaultStamp[] = L"C:\\ruxtrap-fault-qpc.txt";
const wchar_t kStepTimes[] = L"C:\\ruxtrap-steps.txt";

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

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// One crash: the counter at the host's fault and at the end of its process,
// or a fault stamp of 0 when the run went wrong.
struct CrashTimes {
  LONGLONG fault = 0;
  LONGLONG end = 0;
  double Ms() const { return fault ? Milliseconds(end - fault) : -1; }
};

CrashTimes Crash(const std::wstring& program, const std::wstring& arguments, DWORD* exitCode) {
  DeleteFileW(kFaultStamp);
  DeleteFileW(kStepTimes);
  DeleteFileW(L"C:\\CrashEvent.log");
  CrashTimes times;
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
    return times;
  }
  WaitForSingleObject(info.hProcess, 120000);
  times.end = Now();
  GetExitCodeProcess(info.hProcess, exitCode);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  CloseHandle(nul);
  FILE* stamp = _wfopen(kFaultStamp, L"r");
  if (stamp == nullptr || fscanf(stamp, "%lld", &times.fault) != 1) times.fault = 0;
  if (stamp) fclose(stamp);
  return times;
}

struct Case {
  const char* name;
  std::wstring program;
  const wchar_t* arguments;
  std::vector<double> times;
};

// The steps of one report: milliseconds from the stamp before to each
// step's own stamp (the first from the host's fault), summed over the
// step's stamps (the frame steps, one a frame), and the end of the process.
using StepSplit = std::map<std::string, double>;

bool ReadSteps(const CrashTimes& crash, StepSplit* split, std::vector<std::string>* order) {
  FILE* in = _wfopen(kStepTimes, L"r");
  if (in == nullptr) return false;
  char name[128];
  long long counter = 0, frequency = 0;
  bool ok = fscanf(in, "frequency\t%lld\n", &frequency) == 1;
  LONGLONG previous = crash.fault;
  while (ok && fscanf(in, "%127[^\t]\t%lld\n", name, &counter) == 2) {
    if (std::find(order->begin(), order->end(), name) == order->end()) order->push_back(name);
    (*split)[name] += Milliseconds(counter - previous);
    previous = counter;
  }
  fclose(in);
  (*split)["process end"] += Milliseconds(crash.end - previous);
  if (std::find(order->begin(), order->end(), "process end") == order->end()) order->push_back("process end");
  return ok;
}

// Medians, step by step, of RUNS crashes of the host with step times.
bool MeasureSteps(const std::wstring& program, const wchar_t* arguments, int runs, StepSplit* medians,
                  std::vector<std::string>* order) {
  std::map<std::string, std::vector<double>> all;
  for (int run = -1; run < runs; ++run) {
    DWORD code = 0;
    CrashTimes crash = Crash(program, arguments, &code);
    StepSplit split;
    if (crash.fault == 0 || !ReadSteps(crash, &split, order)) return false;
    if (run < 0) continue;  // warm-up
    for (const auto& step : split) all[step.first].push_back(step.second);
  }
  for (const auto& step : all) (*medians)[step.first] = Median(step.second);
  return true;
}

double Step(const StepSplit& split, const char* name) {
  auto at = split.find(name);
  return at == split.end() ? 0 : at->second;
}

void PrintSplit(const char* title, const StepSplit& split, const std::vector<std::string>& order) {
  double total = 0;
  for (const auto& step : split) total += step.second;
  printf("%s, median of each step (ms):\n", title);
  for (const std::string& name : order) printf("  %-34s %8.1f\n", name.c_str(), Step(split, name.c_str()));
  printf("  %-34s %8.1f\n", "sum", total);
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

// Milliseconds InitRuxtrap takes in this process, and the threads it starts.
void MeasureInit(const std::wstring& bin) {
  HMODULE library = LoadLibraryW((bin + L"\\Ruxtrap.dll").c_str());
  auto init = reinterpret_cast<void(WINAPI*)(const char*)>(
      reinterpret_cast<void (*)()>(GetProcAddress(library, "InitRuxtrap")));
  int threadsBefore = CountThreads();
  LONGLONG start = Now();
  init("bench");
  double ms = Milliseconds(Now() - start);
  printf("InitRuxtrap: %.3f ms (target < 1), threads before %d, after %d\n", ms, threadsBefore, CountThreads());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    fwprintf(stderr, L"usage: crash_bench RUNS STEPS_FOLDER\n");
    return 2;
  }
  int runs = _wtoi(argv[1]) < 7 ? 7 : _wtoi(argv[1]);
  const std::wstring bin = Folder() + L"\\..";
  const std::wstring host = bin + L"\\crash_host.exe";
  const std::wstring stepsHost = std::wstring(argv[2]) + L"\\crash_host.exe";
  Case cases[] = {
      {"A  library, shallow crash", host, L"--stamp av", {}},
      {"B  library, 200 frames deep", host, L"--stamp deep 200", {}},
      {"C  no library, Wine's crash dump", host, L"--no-init --stamp av", {}},
      {"D  host filter that only exits", host, L"--no-init --own-filter --stamp av", {}},
      {"W  platform only, shallow", host, L"--no-init --platform-walk --stamp av", {}},
      {"V  platform only, 200 frames", host, L"--no-init --platform-walk --stamp deep 200", {}},
      {"W' platform only, library loaded", host, L"--load-library --no-init --platform-walk --stamp av", {}},
      {"M  library, shallow, 150 more DLLs", host, L"--load-many 150 --stamp av", {}},
      {"N  Wine's crash dump, 150 more DLLs", host, L"--load-many 150 --no-init --stamp av", {}},
      {"U  platform only, 150 more DLLs", host, L"--load-many 150 --no-init --platform-walk --stamp av", {}},
  };
  for (int run = -1; run < runs; ++run) {  // run -1 warms up
    for (Case& c : cases) {
      DWORD code = 0;
      double ms = Crash(c.program, c.arguments, &code).Ms();
      if (ms < 0) {
        fwprintf(stderr, L"crash_bench: a run of %hs failed (exit code 0x%08lX)\n", c.name, code);
        return 1;
      }
      if (run >= 0) c.times.push_back(ms);
    }
  }
  double a = Median(cases[0].times), b = Median(cases[1].times), c = Median(cases[2].times);
  double d = Median(cases[3].times), w = Median(cases[4].times), v = Median(cases[5].times);
  double wLoaded = Median(cases[6].times);
  double m = Median(cases[7].times), n = Median(cases[8].times), u = Median(cases[9].times);
  printf("Fault to end of process, median of %d runs (ms):\n", runs);
  for (const Case& k : cases) printf("  %-36s %8.1f\n", k.name, Median(k.times));

  StepSplit shallow, deep;
  std::vector<std::string> shallowOrder, deepOrder;
  StepSplit many;
  std::vector<std::string> manyOrder;
  if (!MeasureSteps(stepsHost, L"--stamp av", runs, &shallow, &shallowOrder) ||
      !MeasureSteps(stepsHost, L"--stamp deep 200", runs, &deep, &deepOrder) ||
      !MeasureSteps(stepsHost, L"--load-many 150 --stamp av", runs, &many, &manyOrder)) {
    fwprintf(stderr, L"crash_bench: no step times from %ls\n", stepsHost.c_str());
    return 1;
  }
  StepSplit platform, platformDeep, platformLoaded;
  std::vector<std::string> platformOrder, platformDeepOrder, platformLoadedOrder;
  if (!MeasureSteps(host, L"--no-init --platform-walk --stamp av", runs, &platform, &platformOrder) ||
      !MeasureSteps(host, L"--no-init --platform-walk --stamp deep 200", runs, &platformDeep, &platformDeepOrder) ||
      !MeasureSteps(host, L"--load-library --no-init --platform-walk --stamp av", runs, &platformLoaded,
                    &platformLoadedOrder)) {
    fwprintf(stderr, L"crash_bench: no step times from the platform-only filter\n");
    return 1;
  }
  PrintSplit("In the crash, shallow (A with step times)", shallow, shallowOrder);
  PrintSplit("In the crash, 200 frames deep (B with step times)", deep, deepOrder);
  PrintSplit("In the crash, 150 more DLLs loaded (M with step times)", many, manyOrder);
  PrintSplit("Platform only, shallow (W)", platform, platformOrder);
  PrintSplit("Platform only, 200 frames deep (V)", platformDeep, platformDeepOrder);
  PrintSplit("Platform only, with the library loaded but not installed (W')", platformLoaded, platformLoadedOrder);

  // The library's own share: what A spends beyond the platform's symbol
  // set-up and walk (W), the DirectX query and the script host (measured in
  // the crash).
  const double directX = Step(shallow, "DirectX");
  const double scriptHost = Step(shallow, "script host start") + Step(shallow, "script host wait");
  const double own = a - w - directX - scriptHost;
  printf("Library's own share of A: A - W - DirectX - script host = %.1f - %.1f - %.1f - %.1f = %.1f ms"
         " = %.1f%% of A (target < 10%%)\n",
         a, w, directX, scriptHost, own, 100.0 * own / a);
  // The symbol handler's set-up takes in every module of the process, at a
  // cost for each: W' has the modules the library's imports bring, W not.
  printf("Symbol set-up in the crash %.1f ms; platform only %.1f ms, with the library's modules loaded %.1f ms\n",
         Step(shallow, "symbol set-up"), Step(platform, "symbol set-up"), Step(platformLoaded, "symbol set-up"));
  printf("Modules made known in the crash: %.1f ms shallow, %.1f ms with 150 more DLLs; platform only %.1f ms\n",
         Step(shallow, "module made known"), Step(many, "module made known"), Step(platform, "module made known"));
  printf("Library's own share beside W' (the same modules loaded): A - W' - DirectX - script host = %.1f ms"
         " = %.1f%% of A\n",
         a - wLoaded - directX - scriptHost, 100.0 * (a - wLoaded - directX - scriptHost) / a);
  printf("200 frames: B - A = %.1f ms, V - W = %.1f ms, ratio %.2f (target <= 1.10)\n", b - a, v - w,
         (b - a) / (v - w));
  printf("Frame steps at 200 frames (ms, all frames): walk %.1f, module base %.1f, module name %.1f, symbol %.1f,"
         " source line %.1f, write %.1f\n",
         Step(deep, "frame: walk"), Step(deep, "frame: module base"), Step(deep, "frame: module name"),
         Step(deep, "frame: symbol"), Step(deep, "frame: source line"), Step(deep, "frame: write"));
  std::vector<double> roundRatios;
  for (size_t i = 0; i < cases[0].times.size(); ++i) roundRatios.push_back(cases[0].times[i] / cases[2].times[i]);
  printf("A/C = %.2f of the medians, %.2f as the median of the rounds' own A/C (target <= 2.0)   B/A = %.2f"
         "   A-D = %.1f ms\n",
         a / c, Median(roundRatios), b / a, a - d);
  // What 150 more loaded modules add: to a report, to Wine's own crash dump
  // and to the platform-only filter.
  printf("150 more DLLs add: M - A = %.1f ms, N - C = %.1f ms, U - W = %.1f ms\n", m - a, n - c, u - w);
  printf("(M - A)/(N - C) = %.3f (target <= 0.10)   (M - A)/(U - W) = %.2f\n", (m - a) / (n - c), (m - a) / (u - w));
  MeasureInit(bin);
  return 0;
}
