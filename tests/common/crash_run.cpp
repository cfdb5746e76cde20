#include "common/crash_run.h"
// crash_run.h brings windows.h first
#include <tlhelp32.h>

#include <string.h>

#include <algorithm>
#include <memory>

#include "support/scoped.h"

namespace ruxtrap_test {

const wchar_t kLogPathW[] = L"C:\\CrashEvent.log";
const wchar_t kScriptPathW[] = L"c:\\~tmp.vbs";
const wchar_t kJScriptPathW[] = L"c:\\~tmp.js";
const wchar_t kScriptHostRecordW[] = L"C:\\ruxtrap-wscript.txt";
const wchar_t kHostFactsW[] = L"C:\\ruxtrap-host-facts.txt";

const wchar_t kStartTogetherEvent[] = L"ruxtrap-start-together";

namespace {
// Waits for what another process does: each ends as soon as that is done, so
// only a run that fails anyway waits out the bound, which leaves a slow
// machine ample time.
constexpr DWORD kScriptHostWaitMs = 120000;
constexpr int kPollsOf100Ms = kScriptHostWaitMs / 100;

using ruxtrap::ScopedFileHandle;
using ruxtrap::ScopedKernelHandle;
// Receives what processes write with OutputDebugString while no debugger is
// attached, as the system's debug monitors do: through the shared buffer
// "DBWIN_BUFFER", filled when "DBWIN_BUFFER_READY" is set and announced with
// "DBWIN_DATA_READY".
class DebugOutputMonitor {
 public:
  DebugOutputMonitor()
      : bufferReady_(CreateEventW(nullptr, FALSE, TRUE, L"DBWIN_BUFFER_READY")),
        dataReady_(CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY")),
        stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        mapping_(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, L"DBWIN_BUFFER")),
        view_(static_cast<const char*>(MapViewOfFile(mapping_.Get(), FILE_MAP_READ, 0, 0, 0))),
        thread_(CreateThread(nullptr, 0, &Collect, this, 0, nullptr)) {}
  ~DebugOutputMonitor() {
    SetEvent(stop_.Get());
    WaitForSingleObject(thread_.Get(), INFINITE);
    if (view_ != nullptr) UnmapViewOfFile(view_);
  }
  // The strings received so far, in order (each after its writer's id).
  std::vector<std::string> Strings() {
    SetEvent(stop_.Get());
    WaitForSingleObject(thread_.Get(), INFINITE);
    return strings_;
  }

 private:
  static DWORD WINAPI Collect(void* self) {
    auto* m = static_cast<DebugOutputMonitor*>(self);
    HANDLE waits[2] = {m->stop_.Get(), m->dataReady_.Get()};
    while (m->view_ != nullptr && WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
      m->strings_.emplace_back(m->view_ + sizeof(DWORD), strnlen(m->view_ + sizeof(DWORD), 4096 - sizeof(DWORD)));
      SetEvent(m->bufferReady_.Get());
    }
    return 0;
  }
  ScopedKernelHandle bufferReady_, dataReady_, stop_, mapping_;
  const char* view_;
  std::vector<std::string> strings_;
  ScopedKernelHandle thread_;
};

// The hosts of a run and every process they start (the script host above
// all, which runs on after its host has ended) share a job: the run is over
// once the job is empty, as its completion port announces.
class HostJob {
 public:
  HostJob()
      : job_(CreateJobObjectW(nullptr, nullptr)),
        port_(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1)) {
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT association = {};
    association.CompletionPort = port_.Get();
    SetInformationJobObject(job_.Get(), JobObjectAssociateCompletionPortInformation, &association,
                            sizeof(association));
  }

  // Starts the host suspended, puts it into the job, then lets it run.
  bool Start(const std::wstring& folder, const std::wstring& program, const std::wstring& arguments,
             const std::wstring& currentDirectory, PROCESS_INFORMATION* info) {
    std::wstring commandLine = L"\"" + folder + L"\\" + program + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                        currentDirectory.c_str(), &startup, info))
      return false;
    if (!AssignProcessToJobObject(job_.Get(), info->hProcess)) {
      TerminateProcess(info->hProcess, 1);
      CloseHandle(info->hThread);
      CloseHandle(info->hProcess);
      return false;
    }
    ResumeThread(info->hThread);
    return true;
  }

  // Waits, at most timeoutMs, until no process of the job is left; ends
  // those still there when the time is up.
  void WaitUntilEmpty(DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
      JOBOBJECT_BASIC_ACCOUNTING_INFORMATION counts = {};
      if (!QueryInformationJobObject(job_.Get(), JobObjectBasicAccountingInformation, &counts, sizeof(counts),
                                     nullptr) ||
          counts.ActiveProcesses == 0)
        return;
      // The port's next message (a process started or ended) or the time limit.
      const DWORD waited = GetTickCount() - start;
      DWORD message = 0;
      ULONG_PTR key = 0;
      OVERLAPPED* process = nullptr;
      if (waited >= timeoutMs ||
          (!GetQueuedCompletionStatus(port_.Get(), &message, &key, &process, timeoutMs - waited) && process == nullptr))
        break;
    }
    EndAll();
  }

  void EndAll() { TerminateJobObject(job_.Get(), 1); }

 private:
  ScopedKernelHandle job_, port_;
};

std::wstring Variable(const wchar_t* name) {
  wchar_t value[MAX_PATH];
  DWORD n = GetEnvironmentVariableW(name, value, MAX_PATH);
  return n > 0 && n < MAX_PATH ? std::wstring(value, n) : std::wstring();
}
}  // namespace

std::wstring UserLogPath() { return Variable(L"LOCALAPPDATA") + L"\\CrashEvent.log"; }

std::wstring TempFolder() {
  wchar_t folder[MAX_PATH];
  DWORD n = GetTempPathW(MAX_PATH, folder);
  return std::wstring(folder, n);
}

std::wstring SystemScriptHostPath() {
  wchar_t folder[MAX_PATH];
  UINT n = GetSystemDirectoryW(folder, MAX_PATH);
  return std::wstring(folder, n) + L"\\wscript.exe";
}

bool ReplaceSystemScriptHost(const std::string& program) {
  const std::wstring target = SystemScriptHostPath();
  // The script host of the previous run may still be ending, its file in use.
  for (int tries = 0; !RemovePath(target); ++tries) {
    if (tries == kPollsOf100Ms) return false;
    Sleep(100);
  }
  return WriteWholeFile(target, program);
}

bool InstallScriptHostStandIn() {
  std::string standIn;
  return ReadWholeFile(BinFolder() + L"\\WScript.exe", &standIn) && ReplaceSystemScriptHost(standIn);
}

bool RemovePath(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return RemoveDirectoryW(path.c_str()) != FALSE;
  return DeleteFileW(path.c_str()) != FALSE;
}

std::wstring BinFolder() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, n);
  return folder.substr(0, folder.find_last_of(L'\\'));
}

void ClearDriveC() {
  for (const wchar_t* p : {kLogPathW, kScriptPathW, kJScriptPathW, kScriptHostRecordW, kHostFactsW}) RemovePath(p);
  RemovePath(UserLogPath());
  const std::wstring temp = TempFolder();
  for (const wchar_t* pattern : {L"~ruxtrap-*.vbs", L"~ruxtrap-*.js"}) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((temp + pattern).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) continue;
    do RemovePath(temp + found.cFileName);
    while (FindNextFileW(search, &found));
    FindClose(search);
  }
}

bool ReadWholeFile(const std::wstring& path, std::string* bytes) {
  bytes->clear();
  ScopedFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) return false;
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(file.Get(), chunk, sizeof(chunk), &got, nullptr) && got > 0) bytes->append(chunk, got);
  return true;
}

bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
  ScopedFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) return false;
  DWORD written = 0;
  return WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

// The record holds three lines per start of the stand-in: cmd=, exe= and
// script=, whose bytes may span lines of their own.
void ReadScriptHostRecord(CrashRun* run) {
  std::string record;
  run->scriptHostStarted = ReadWholeFile(kScriptHostRecordW, &record);
  if (!run->scriptHostStarted) return;
  for (size_t at = record.find("cmd="); at != std::string::npos; at = record.find("\ncmd=", at + 1))
    ++run->scriptHostLaunches;
  auto lineAfter = [&record](const std::string& key, size_t from) {
    size_t at = record.find(key, from);
    if (at == std::string::npos) return std::string();
    at += key.size();
    return record.substr(at, record.find('\n', at) - at);
  };
  run->scriptHostCommandLine = lineAfter("cmd=", 0);
  run->scriptHostProgram = lineAfter("\nexe=", 0);
  size_t script = record.find("\nscript=");
  if (script == std::string::npos) return;
  script += 8;
  size_t end = record.find("\ncmd=", script);
  if (end == std::string::npos) end = record.size() - 1;  // the last line end
  run->scriptHostScript = record.substr(script, end - script);
}

// A script host that an earlier run started and did not wait for (a test
// that expects none, a test program before this one) may start late and
// record into this run: every one ends before a run begins.
void WaitForScriptHostsToEnd() {
  ScopedFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.IsValid()) return;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL ok = Process32FirstW(snapshot.Get(), &entry); ok; ok = Process32NextW(snapshot.Get(), &entry)) {
    if (lstrcmpiW(entry.szExeFile, L"wscript.exe") != 0) continue;
    ScopedKernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, entry.th32ProcessID));
    if (process.IsValid()) WaitForSingleObject(process.Get(), kScriptHostWaitMs);
  }
}

namespace {
// Reads the log while the process runs and ends the process once the log
// satisfies killWhen.
void WatchLogAndKill(HANDLE process, const std::function<bool(const std::string&)>& killWhen, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  std::string log;
  while (WaitForSingleObject(process, 5) == WAIT_TIMEOUT && GetTickCount() - start < timeoutMs) {
    if (ReadWholeFile(kLogPathW, &log) && killWhen(log)) {
      TerminateProcess(process, 1);
      return;
    }
  }
}
}  // namespace

CrashRun RunCrashHost(const std::wstring& arguments, const CrashHostOptions& options) {
  CrashRun run;
  WaitForScriptHostsToEnd();
  static bool standInInstalled = InstallScriptHostStandIn();
  if (!standInInstalled) return run;
  if (options.clearDriveC) ClearDriveC();
  std::wstring folder = options.folder.empty() ? BinFolder() : options.folder;
  std::wstring currentDirectory = options.currentDirectory.empty() ? folder : options.currentDirectory;

  std::unique_ptr<DebugOutputMonitor> monitor;
  if (options.captureDebugOutput) monitor.reset(new DebugOutputMonitor);
  HostJob job;
  PROCESS_INFORMATION info = {};
  if (!job.Start(folder, options.program, arguments, currentDirectory, &info)) return run;
  ScopedKernelHandle process(info.hProcess);
  ScopedKernelHandle thread(info.hThread);
  if (options.killWhen) WatchLogAndKill(process.Get(), options.killWhen, options.timeoutMs);
  if (WaitForSingleObject(process.Get(), options.timeoutMs) != WAIT_OBJECT_0) {
    job.EndAll();
    WaitForSingleObject(process.Get(), 5000);
    return run;
  }
  run.finished = true;
  GetExitCodeProcess(process.Get(), &run.exitCode);
  if (monitor) run.debugOutput = monitor->Strings();
  // The script host runs on after the crashed process has ended.
  job.WaitUntilEmpty(kScriptHostWaitMs);

  run.logExists = ReadWholeFile(kLogPathW, &run.log);
  run.scriptExists = ReadWholeFile(kScriptPathW, &run.script);
  run.userLogExists = ReadWholeFile(UserLogPath(), &run.userLog);
  ReadScriptHostRecord(&run);
  std::string facts;
  ReadWholeFile(kHostFactsW, &facts);
  for (const std::string& line : SplitLines(facts)) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) run.facts[line.substr(0, eq)] = strtoul(line.c_str() + eq + 1, nullptr, 16);
  }
  return run;
}

std::vector<DWORD> RunCrashHostsTogether(int count, const std::wstring& arguments, DWORD timeoutMs,
                                         const std::wstring& program) {
  WaitForScriptHostsToEnd();
  ClearDriveC();
  ScopedKernelHandle start(CreateEventW(nullptr, TRUE, FALSE, kStartTogetherEvent));
  ResetEvent(start.Get());
  // Each host counts itself in on it just before its wait.
  ScopedKernelHandle ready(CreateSemaphoreW(nullptr, 0, count, (std::wstring(kStartTogetherEvent) + L"-ready").c_str()));
  HostJob job;
  std::vector<HANDLE> processes;
  for (int i = 0; i < count; ++i) {
    PROCESS_INFORMATION info = {};
    if (!job.Start(BinFolder(), program, arguments, BinFolder(), &info)) break;
    CloseHandle(info.hThread);
    processes.push_back(info.hProcess);
  }
  // A host that never gets to its wait (it failed) holds the others back no
  // longer than the time limit.
  for (size_t i = 0; i < processes.size(); ++i)
    if (WaitForSingleObject(ready.Get(), timeoutMs) != WAIT_OBJECT_0) break;
  SetEvent(start.Get());
  std::vector<DWORD> codes;
  for (HANDLE process : processes) {
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0) GetExitCodeProcess(process, &code);
    else TerminateProcess(process, STILL_ACTIVE);
    codes.push_back(code);
    CloseHandle(process);
  }
  // Every host that wrote its report started the script host, which may
  // still run.
  job.WaitUntilEmpty(kScriptHostWaitMs);
  return codes;
}

}  // namespace ruxtrap_test
