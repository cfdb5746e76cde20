// Stand-in for WScript.exe in the tests: the crash host finds it in its own
// folder first. It appends the command line it received, one per line, to
// C:\ruxtrap-wscript.txt, then signals the event "ruxtrap-wscript-done" (if a
// test created it) so the test knows the record is complete.
#include <windows.h>

#include <stdio.h>

int wmain() {
  FILE* record = fopen("C:\\ruxtrap-wscript.txt", "ab");
  if (record != nullptr) {
    fprintf(record, "%s\n", GetCommandLineA());
    fclose(record);
  }
  HANDLE done = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"ruxtrap-wscript-done");
  if (done != nullptr) {
    SetEvent(done);
    CloseHandle(done);
  }
  return record != nullptr ? 0 : 1;
}
