// Opening a log for appending without the process heap.
//
// fopen goes through CreateFileW, whose conversion of the path to the
// system's own form allocates from the process heap. A crash that damaged
// that heap (a buffer overrun, the commonest kind) then faults in the open
// itself and loses the whole report. So the system's form of each log's
// name is made once, at InitRuxtrap, and a crash opens the file with
// NtCreateFile, which takes the name as it is; the runtime's stream is put
// on the handle, with the runtime's own memory only. What the report needs
// the heap for later (the symbol handler, the drive table, ...) fails under
// its own guard and costs only its own lines.
#pragma once

#include <stdio.h>
#include <windows.h>

namespace ruxtrap {

// The runtime sets up a descriptor's lock and a stream's lock on their first
// use, and the system takes each lock's debug record from the process heap.
// Opening and closing a few streams at InitRuxtrap leaves the lowest free
// descriptors and streams set up, and the crash's log takes the lowest free
// ones. Limit: a host with many more files open at the crash than at
// InitRuxtrap gets a descriptor that was never set up, and with a damaged
// heap loses the report as before.
void SetUpStreamsForCrash();

// A log's name in the system's form ("\??\C:\CrashEvent.log"), or empty
// when it could not be made; then the log is opened with fopen as before.
struct AppendName {
  wchar_t text[MAX_PATH + 16];
  USHORT bytes;  // length of text without the terminator
};

// Makes the system's form of path. At InitRuxtrap, never in a crash.
void PrepareAppendName(const wchar_t* path, AppendName* name);

// Opens or creates the file for appending in text mode, as fopen(path, "a+")
// does (read and write, shared for reading and writing). Null when it
// cannot be opened. *answered says whether the heap-free way was taken: when
// it was, its failure stands, and no second attempt touches the heap.
FILE* OpenForAppending(const AppendName& name, bool* answered);

}  // namespace ruxtrap
