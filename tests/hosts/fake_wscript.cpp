// Stand-in for WScript.exe in the tests. The tests install it as the system
// folder's wscript.exe of their Wine prefix (run with WINEDLLOVERRIDES
// "wscript.exe=n", Wine starts it instead of its own script host), and plant
// copies of it where a search would find them.
//
// For every start it appends three lines to the record, the file named by
// RUXTRAP_WSCRIPT_RECORD or else C:\ruxtrap-wscript.txt:
//   cmd=<its command line>
//   exe=<its own path>
//   script=<the bytes of the script it was given, or nothing when unreadable>
// It opens the script the way Wine's script host does, without any sharing:
// a file someone still holds open cannot be read.
#include <windows.h>

#include <stdio.h>
#include <string>

namespace {

std::string ReadScript(const wchar_t* path) {
  std::string bytes;
  HANDLE file = CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<unreadable>";
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0) bytes.append(chunk, got);
  CloseHandle(file);
  return bytes;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::string script = argc > 1 ? ReadScript(argv[argc - 1]) : "<none>";
  char own[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, own, MAX_PATH);
  wchar_t recordPath[MAX_PATH] = L"C:\\ruxtrap-wscript.txt";
  DWORD n = GetEnvironmentVariableW(L"RUXTRAP_WSCRIPT_RECORD", recordPath, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) lstrcpyW(recordPath, L"C:\\ruxtrap-wscript.txt");
  FILE* record = _wfopen(recordPath, L"ab");
  if (record != nullptr) {
    fprintf(record, "cmd=%s\nexe=%s\nscript=%s\n", GetCommandLineA(), own, script.c_str());
    fclose(record);
  }
  return record != nullptr ? 0 : 1;
}
