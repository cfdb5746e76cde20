#include "report/message_script.h"

#include <stdio.h>
#include <string.h>

#include "report/file_ownership.h"
#include "support/path_text.h"
#include "report/report.h"
#include "report/report_places.h"

namespace ruxtrap {

namespace {

const wchar_t kScriptPathW[] = L"c:\\~tmp.vbs";
// c:\~tmp.vbs as the system names the file a handle leads to.
const wchar_t kScriptFinalPath[] = L"\\\\?\\c:\\~tmp.vbs";
const char kScriptHostCall[] = "WScript.exe ";
const char kScriptFormat[] = "s=MsgBox(\"%s\", vbCritical, \"Exception\")";
// A name that is taken is tried again with the next number; other errors end
// the search.
constexpr unsigned kTempNameTries = 100;

bool WriteWhole(HANDLE file, const char* text, DWORD length) {
  DWORD written = 0;
  return WriteFile(file, text, length, &written, nullptr) && written == length;
}

// Creates path, which must not exist yet, and writes text. While the handle
// is open, nobody else can write or delete the file.
ScopedFileHandle CreateNewScript(const wchar_t* path, const char* text) {
  ScopedFileHandle file(CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.IsValid() && !WriteWhole(file.Get(), text, static_cast<DWORD>(strlen(text)))) file.Reset();
  return file;
}

HANDLE OpenScriptPath(DWORD disposition) {
  return CreateFileW(kScriptPathW, GENERIC_WRITE | FILE_READ_ATTRIBUTES | READ_CONTROL, FILE_SHARE_READ, nullptr,
                     disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// c:\~tmp.vbs, new or this account's own from an earlier crash (emptied
// first); invalid when it is another's or cannot be written. A Windows link
// at that name is opened itself (not its target), to be refused. Created
// only where no name at all stands, so a dangling link never makes its
// target.
ScopedFileHandle CreateFixedScript(const char* text) {
  SetLastError(0);
  ScopedFileHandle file(OpenScriptPath(CREATE_NEW));
  bool existed = false;
  if (!file.IsValid()) {
    DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return file;
    file.Reset(OpenScriptPath(OPEN_EXISTING));
    if (!file.IsValid()) return file;
    existed = true;
  }
  if ((existed && (!IsOwnSoleFileAt(file.Get(), kScriptFinalPath) || !SetEndOfFile(file.Get()))) ||
      !WriteWhole(file.Get(), text, static_cast<DWORD>(strlen(text))))
    file.Reset();
  return file;
}

// "WScript.exe " and the script's path, quoted when it holds a blank (a
// profile folder such as "C:\Users\John Smith" would split it otherwise).
void SetCommandLine(MessageScript* script, const char* path) {
  bool quote = strchr(path, ' ') != nullptr;
  Join(script->commandLine, kScriptHostCall, quote ? "\"" : "");
  Append(script->commandLine, sizeof(script->commandLine), path);
  if (quote) Append(script->commandLine, sizeof(script->commandLine), "\"");
}

// A new file in the user's temp folder: CREATE_NEW never opens a file that
// was already there, whoever put it there.
bool WriteTempScript(const char* text, MessageScript* script) {
  const ReportPlaces& places = TheReportPlaces();
  if (places.tempFolder[0] == 0) return false;
  // The counter's low bits make the names hard to guess: another account
  // that shares the temp folder cannot take them all in advance.
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  for (unsigned n = 0; n < kTempNameTries; ++n) {
    char name[kTempScriptNameRoom] = {};
    _snprintf(name, sizeof(name) - 1, "~ruxtrap-%lu-%08lX-%u.vbs", GetCurrentProcessId(), now.LowPart, n);
    wchar_t wideName[kTempScriptNameRoom] = {};  // the name is plain ASCII
    for (size_t i = 0; name[i] != 0; ++i) wideName[i] = name[i];
    wchar_t path[MAX_PATH];
    char pathAnsi[MAX_PATH];
    if (!Join(path, places.tempFolder, static_cast<const wchar_t*>(wideName)) ||
        !Join(pathAnsi, static_cast<const char*>(places.tempFolderAnsi), static_cast<const char*>(name)))
      return false;
    SetLastError(0);
    script->file = CreateNewScript(path, text);
    if (script->file.IsValid()) {
      SetCommandLine(script, pathAnsi);
      return true;
    }
    DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

}  // namespace

bool WriteMessageScript(const char* logShownPath, MessageScript* script) {
  char text[MAX_PATH + 64];
  if (_snprintf(text, sizeof(text), kScriptFormat, logShownPath) < 0) return false;
  text[sizeof(text) - 1] = 0;
  // A file of the library's own from an earlier crash is overwritten. One it
  // may not write (read-only, another owner, a folder) or that is not its
  // own is left alone and never handed to the script host.
  script->file = CreateFixedScript(text);
  if (script->file.IsValid()) {
    Join(script->commandLine, kScriptHostCall, kScriptPath);
    return true;
  }
  return WriteTempScript(text, script);
}

}  // namespace ruxtrap
