// Opening a log for appending without the process heap.
//
// CreateFileW converts the path to the system's own form, and that
// conversion allocates from the process heap. A crash that damaged that heap
// (a buffer overrun, the commonest kind) then faults in the open itself and
// loses the whole report. So the system's form of each log's name is made
// once, at InitRuxtrap, and a crash opens the file with NtCreateFile, which
// takes the name as it is. What the report needs the heap for later (the
// symbol handler, the drive table, ...) fails under its own guard and costs
// only its own lines.
#pragma once

#include <windows.h>

namespace ruxtrap {

// A log's name in the system's form ("\??\C:\CrashEvent.log"), or empty
// when it could not be made; then the log is opened with CreateFileW.
struct AppendName {
  wchar_t text[MAX_PATH + 16];
  USHORT bytes;  // length of text without the terminator
};

// Makes the system's form of path. At InitRuxtrap, never in a crash.
void PrepareAppendName(const wchar_t* path, AppendName* name);

// Opens or creates the file at name (path when name is empty) for appending:
// every write lands at the file's end, also when another process appends
// too; shared for reading and writing; readable, so that byte ranges can be
// locked. INVALID_HANDLE_VALUE when it cannot be opened.
HANDLE OpenForAppending(const AppendName& name, const wchar_t* path);

}  // namespace ruxtrap
