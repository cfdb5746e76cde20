// Starts a program, waits for it and prints its full 32-bit exit code, which
// the exit status of the wine command (its low byte) cannot show.
//   run_host [--all] PROGRAM [ARGS...]
// With --all it also waits for every process the program started (the
// script host a crash starts runs on after its program), at most 2 minutes:
// the program runs in a job of its own, and run_host returns once the job
// is empty.
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

namespace {

// The command line after its first argument.
wchar_t* AfterFirstArgument(wchar_t* line) {
  bool quoted = *line == L'"';
  for (++line; *line && (quoted ? *line != L'"' : *line != L' '); ++line) {}
  if (*line == L'"') ++line;
  while (*line == L' ') ++line;
  return line;
}

// Waits until the job has no process left, at most timeoutMs: its
// completion port announces each start and end.
void WaitUntilEmpty(HANDLE job, HANDLE port, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION counts = {};
  while (QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &counts, sizeof(counts), nullptr) &&
         counts.ActiveProcesses > 0) {
    const DWORD waited = GetTickCount() - start;
    DWORD message = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* process = nullptr;
    if (waited >= timeoutMs ||
        (!GetQueuedCompletionStatus(port, &message, &key, &process, timeoutMs - waited) && process == nullptr))
      return;
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const bool all = argc > 1 && wcscmp(argv[1], L"--all") == 0;
  if (argc < (all ? 3 : 2)) {
    fwprintf(stderr, L"usage: run_host [--all] PROGRAM [ARGS...]\n");
    return 2;
  }
  // The child's command line is ours without our own program name (and --all).
  wchar_t* line = AfterFirstArgument(GetCommandLineW());
  if (all) line = AfterFirstArgument(line);

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, line, nullptr, nullptr, FALSE, all ? CREATE_SUSPENDED : 0, nullptr, nullptr, &startup,
                      &info)) {
    fwprintf(stderr, L"run_host: cannot start %ls (error %lu)\n", line, GetLastError());
    return 2;
  }
  HANDLE job = nullptr, port = nullptr;
  if (all) {
    job = CreateJobObjectW(nullptr, nullptr);
    port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT association = {};
    association.CompletionPort = port;
    SetInformationJobObject(job, JobObjectAssociateCompletionPortInformation, &association, sizeof(association));
    AssignProcessToJobObject(job, info.hProcess);
    ResumeThread(info.hThread);
  }
  WaitForSingleObject(info.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(info.hProcess, &code);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  if (all) WaitUntilEmpty(job, port, 120000);
  wprintf(L"exit code: %ld (0x%08lX)\n", static_cast<long>(code), code);
  return 0;
}
