#include "host.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

bool skipInit = false;
bool stampFault = false;

int ModeArgs::Number(int i) const { return i < count ? _wtoi(values[i]) : 0; }

DWORD ModeArgs::Hex(int i) const { return i < count ? wcstoul(values[i], nullptr, 16) : 0; }

namespace {

using InitRuxtrapFn = void(WINAPI*)(const char*);

bool IsOption(const wchar_t* argument) { return argument[0] == L'-' && argument[1] == L'-'; }

const HostOption* FindOption(const HostDescription& host, const wchar_t* name) {
  for (size_t i = 0; i < host.optionCount; ++i)
    if (wcscmp(host.options[i].name, name) == 0) return &host.options[i];
  return nullptr;
}

const Mode* FindMode(const HostDescription& host, const wchar_t* name) {
  for (size_t t = 0; t < host.tableCount; ++t)
    for (size_t i = 0; i < host.tables[t]->count; ++i)
      if (wcscmp(host.tables[t]->modes[i].name, name) == 0) return &host.tables[t]->modes[i];
  return nullptr;
}

bool InitRuxtrapFromOwnFolder(const char* text) {
  HMODULE library = LoadLibraryW(L"Ruxtrap.dll");
  auto init =
      library ? reinterpret_cast<InitRuxtrapFn>(reinterpret_cast<void (*)()>(GetProcAddress(library, "InitRuxtrap")))
              : nullptr;
  if (init == nullptr) return false;
  init(text);
  return true;
}

void StampFault() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  FILE* stamp = fopen("C:\\ruxtrap-fault-qpc.txt", "w");
  if (stamp == nullptr) return;
  fprintf(stamp, "%lld\n", now.QuadPart);
  fclose(stamp);
}

}  // namespace

int PrepareHost(const HostDescription& host, int argc, wchar_t** argv, HostCommand* command) {
  int next = 1;
  for (; next < argc && IsOption(argv[next]); ++next) {
    const HostOption* option = FindOption(host, argv[next]);
    if (option == nullptr) continue;
    const wchar_t* value = nullptr;
    if (option->takesValue) {
      if (next + 1 >= argc) continue;
      value = argv[++next];
    }
    if (int status = option->apply(value)) return status;
  }
  if (next >= argc) {
    fwprintf(stderr, L"usage: %ls\n", host.usage);
    return 2;
  }
  if (!skipInit && !InitRuxtrapFromOwnFolder(host.name)) return 4;
  command->host = &host;
  command->mode = FindMode(host, argv[next]);
  if (command->mode == nullptr) {
    fwprintf(stderr, L"%hs: unknown mode %ls\n", host.name, argv[next]);
    return 3;
  }
  static wchar_t* fixed[1];
  fixed[0] = const_cast<wchar_t*>(command->mode->fixedArgument);
  command->args = fixed[0] != nullptr ? ModeArgs{1, fixed} : ModeArgs{argc - next - 1, argv + next + 1};
  return 0;
}

// The mode's status is kept before it is returned: the call's return
// address then lies on the call's own line in GCC's line table as in
// clang's, which the triage tests compare.
int Run(const HostCommand& command) {
  if (command.host->beforeMode != nullptr) command.host->beforeMode(*command.mode);
  const int status = command.mode->function(command.args);
  return status;
}

void RecordFact(const char* name, const void* value) {
  RecordFact(name, static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(value)));
}

void RecordFact(const char* name, unsigned long value) {
  FILE* facts = fopen("C:\\ruxtrap-host-facts.txt", "a");
  if (facts == nullptr) return;
  fprintf(facts, "%s=%08lX\n", name, value);
  fclose(facts);
}

void RecordThreadFacts() {
  NT_TIB* tib;
  __asm__("movl %%fs:0x18, %0" : "=r"(tib));
  RecordFact("stackBase", tib->StackBase);
  RecordFact("stackLimit", tib->StackLimit);
  RecordFact("threadId", GetCurrentThreadId());
}

__attribute__((noinline)) int WriteThroughNullPointer(const ModeArgs&) {
  if (stampFault) StampFault();
  volatile int* volatile target = nullptr;
  *target = 42;
  return 0;
}

// (The flag only hides the recursion's endlessness from the compiler.)
volatile bool recurseOn = true;
__attribute__((noinline)) int RecurseForever(int depth) {
  volatile char frame[64];
  frame[0] = static_cast<char>(depth);
  if (!recurseOn) return 0;
  return RecurseForever(depth + 1) + frame[0];
}

LdrLockLoaderLockFn LoaderLockCall() {
  return reinterpret_cast<LdrLockLoaderLockFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "LdrLockLoaderLock")));
}

void WaitForSignal(const wchar_t* eventName) {
  HANDLE signal = eventName ? OpenEventW(SYNCHRONIZE, FALSE, eventName) : nullptr;
  if (signal == nullptr) ExitProcess(5);
  wchar_t readyName[128];
  swprintf(readyName, 128, L"%ls-ready", eventName);
  HANDLE ready = OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, readyName);
  if (ready != nullptr) ReleaseSemaphore(ready, 1, nullptr);
  WaitForSingleObject(signal, INFINITE);
}

namespace {

HANDLE releaseThreads;
volatile LONG threadsAtTheirWait = 0;
ModeFunction releasedThreadsRun;

DWORD WINAPI WaitForTheRelease(void*) {
  InterlockedIncrement(&threadsAtTheirWait);
  WaitForSingleObject(releaseThreads, INFINITE);
  releasedThreadsRun({});
  return 0;
}

HANDLE runningSignal;

}  // namespace

void ReleaseThreadsTogether(int count, ModeFunction then) {
  releaseThreads = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  releasedThreadsRun = then;
  for (int i = 0; i < count; ++i) CloseHandle(CreateThread(nullptr, 0, &WaitForTheRelease, nullptr, 0, nullptr));
  while (threadsAtTheirWait < count) Sleep(1);
  SetEvent(releaseThreads);
}

void StartRunningThread(LPTHREAD_START_ROUTINE function) {
  runningSignal = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  CloseHandle(CreateThread(nullptr, 0, function, nullptr, 0, nullptr));
  WaitForSingleObject(runningSignal, INFINITE);
}

void SignalRunning() { SetEvent(runningSignal); }

DWORD WINAPI SignalThenFault(void*) {
  SignalRunning();
  WriteThroughNullPointer();
  return 0;
}

bool LogHolds(const char* text) {
  FILE* log = _wfopen(L"C:\\CrashEvent.log", L"rb");
  if (log == nullptr) return false;
  static char bytes[65536];
  size_t n = fread(bytes, 1, sizeof(bytes) - 1, log);
  fclose(log);
  bytes[n] = 0;
  return strstr(bytes, text) != nullptr;
}

bool LogEndsWithWholeReport() {
  char tail[6] = {};
  FILE* log = fopen("C:\\CrashEvent.log", "rb");
  if (log == nullptr) return false;
  bool whole = fseek(log, -6, SEEK_END) == 0 && fread(tail, 1, 6, log) == 6 && memcmp(tail, "\r\n\r\n\r\n", 6) == 0;
  fclose(log);
  return whole;
}

ULONGLONG LogSize() {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(L"C:\\CrashEvent.log", GetFileExInfoStandard, &data)) return 0;
  return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void OwnFolder(wchar_t (&path)[MAX_PATH], DWORD* length) {
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  while (n > 0 && path[n - 1] != L'\\') --n;
  path[n] = 0;
  *length = n;
}
