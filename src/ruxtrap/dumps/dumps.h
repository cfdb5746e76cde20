// Crash dumps as the machine's local-dump settings ask for them.
//
// Windows Error Reporting writes a dump of a crashed program when the key
// HKLM\SOFTWARE\Microsoft\Windows\Windows Error Reporting\LocalDumps exists;
// a key under it named after the program's file (LocalDumps\app.exe) has
// values that win over the global ones one by one. A filter that ends the
// process itself means the system never sees the crash, so the library
// writes that dump in its place, after the report: <program>.<pid>.dmp in
// DumpFolder, of DumpType, keeping at most DumpCount dumps in the folder.
// Without the key nothing is written, created or read beyond the one look.
//
// The settings are read once, at InitRuxtrap, while the process is sound:
// the registry and the environment (DumpFolder's variables) are then never
// touched by a crash. A setting changed while the program runs is not seen.
#pragma once

#include <windows.h>

#include "loader_hold/loader_hold.h"

namespace ruxtrap {

// Reads the settings for this process's program from the 64-bit view of
// the registry where the process runs under WOW64 (where the system keeps
// them), and makes the dump's file name. At InitRuxtrap.
void ReadDumpSettings();

// Writes the dump the settings ask for, if any, and thins the folder out.
// Runs after the report is on disk, on the report's stack; a fault or a
// failure costs the dump only. Skipped while the report may not wait for
// the loader lock (see dump_writer.cpp).
void WriteCrashDump(EXCEPTION_POINTERS* pointers, LoaderLockHold& hold);

}  // namespace ruxtrap
