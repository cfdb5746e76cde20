// The one-line script that shows the crash's message box, and where it is
// written: c:\~tmp.vbs when the library may write that file, else a new
// file in the user's temp folder. Where the system cannot run VBScript
// (report_places.h), the script is JScript, c:\~tmp.js or a new .js file in
// the temp folder, by the same rules. The script host is always the system
// folder's WScript.exe (report_places.h).
#pragma once

#include <windows.h>

#include <stddef.h>

#include "support/scoped.h"

namespace ruxtrap {

constexpr char kJScriptPath[] = "c:\\~tmp.js";

// The message box script the library wrote, open until Close().
struct MessageScript {
  ScopedFileHandle file;
  char commandLine[MAX_PATH + 16];  // "WScript.exe " and the script's path
  void Close() { file.Reset(); }
};

// Writes the one-line script that shows logShownPath, the name OpenCrashLog
// gave for the log: to the fixed script file when it is new or this
// account's own sole file, else to a new file of a unique name in the user's
// temp folder. Without VBScript the JScript script names the log by its
// full wide name, whatever the ANSI code page holds. False when no script
// was written whole; nothing may be launched then.
bool WriteMessageScript(const char* logShownPath, MessageScript* script);

// The JScript line that shows log in the box: the name as a JScript string,
// backslashes and quotes escaped, every character outside printable ASCII
// as \uXXXX, so the file is plain ASCII and reads the same in any code page.
// False, and out empty, when it does not fit in room characters.
bool FormatJScriptMessage(const wchar_t* log, char* out, size_t room);

}  // namespace ruxtrap
