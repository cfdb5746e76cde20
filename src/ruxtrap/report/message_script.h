// The one-line script that shows the crash's message box, and where it is
// written: c:\~tmp.vbs when the library may write that file, else a new
// file in the user's temp folder. The script host is always the system
// folder's WScript.exe (report_places.h).
#pragma once

#include <windows.h>

#include "support/scoped.h"

namespace ruxtrap {

// The message box script the library wrote, open until Close().
struct MessageScript {
  ScopedFileHandle file;
  char commandLine[MAX_PATH + 16];  // "WScript.exe " and the script's path
  void Close() { file.Reset(); }
};

// Writes the one-line script that shows logShownPath: to c:\~tmp.vbs when it
// is new or this account's own sole file, else to a new file of a unique
// name in the user's temp folder. False when no script was written whole;
// nothing may be launched then.
bool WriteMessageScript(const char* logShownPath, MessageScript* script);

}  // namespace ruxtrap
