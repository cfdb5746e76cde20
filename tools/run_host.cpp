// Starts a program, waits for it and prints its full 32-bit exit code, which
// the exit status of the wine command (its low byte) cannot show.
//   run_host PROGRAM [ARGS...]
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

int wmain(int argc, wchar_t**) {
  if (argc < 2) {
    fwprintf(stderr, L"usage: run_host PROGRAM [ARGS...]\n");
    return 2;
  }
  // The child's command line is ours without our own program name.
  wchar_t* line = GetCommandLineW();
  bool quoted = *line == L'"';
  for (++line; *line && (quoted ? *line != L'"' : *line != L' '); ++line) {}
  if (*line == L'"') ++line;
  while (*line == L' ') ++line;

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    fwprintf(stderr, L"run_host: cannot start %ls (error %lu)\n", line, GetLastError());
    return 2;
  }
  WaitForSingleObject(info.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(info.hProcess, &code);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  wprintf(L"exit code: %ld (0x%08lX)\n", static_cast<long>(code), code);
  return 0;
}
