#include "support/log_text.h"

#include "support/report_progress.h"

#include <stdarg.h>
#include <stdio.h>
#include <windows.h>

namespace ruxtrap {

namespace {
// Large enough for the longest line of a report (a describe line of 2048
// characters and its line end); a DBCS code page takes two bytes a character.
constexpr int kWideCapacity = 4096;
constexpr int kNarrowCapacity = 2 * kWideCapacity;
wchar_t wideLine[kWideCapacity];
char narrowLine[kNarrowCapacity];

// _vsnwprintf and _vsnprintf leave no terminator when the text fills the
// buffer and return a negative count when it does not fit.
int Terminate(int written, int capacity) { return written < 0 || written >= capacity ? capacity - 1 : written; }
}  // namespace

int WideToLogText(const wchar_t* text, int length, char* out, int capacity) {
  if (capacity <= 0) return 0;
  if (length <= 0) {
    out[0] = '\0';
    return 0;
  }
  UINT codePage = GetACP();
  // The UTF-8 code page represents every character and takes no default.
  const char* fallback = codePage == CP_UTF8 ? nullptr : "?";
  int n = WideCharToMultiByte(codePage, 0, text, length, out, capacity - 1, fallback, nullptr);
  if (n == 0 && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    // Too long as a whole: convert the part that surely fits.
    int part = (capacity - 1) / 4;
    n = WideCharToMultiByte(codePage, 0, text, part < length ? part : length, out, capacity - 1,
                            fallback, nullptr);
  }
  out[n] = '\0';
  return n;
}

namespace {
// Room for a line with every byte a line end: each becomes two.
char lineBytes[2 * kNarrowCapacity];

// Every line on disk is a step of the report (see report_progress.h).
bool WriteAll(HANDLE log, const char* bytes, DWORD size) {
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(log, bytes, size, &written, nullptr) || written == 0) return false;
    NoteReportProgress();
    bytes += written;
    size -= written;
  }
  return true;
}
}  // namespace

bool WriteLogBytes(HANDLE log, const char* text, int length) {
  int n = 0;
  for (int i = 0; i < length; ++i) {
    if (text[i] == '\n') lineBytes[n++] = '\r';
    lineBytes[n++] = text[i];
  }
  return WriteAll(log, lineBytes, static_cast<DWORD>(n));
}

void WriteWide(HANDLE log, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  int n = Terminate(_vsnwprintf(wideLine, kWideCapacity - 1, format, args), kWideCapacity);
  va_end(args);
  wideLine[n] = L'\0';
  int bytes = WideToLogText(wideLine, n, narrowLine, kNarrowCapacity);
  WriteLogBytes(log, narrowLine, bytes);
}

void WriteNarrow(HANDLE log, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = Terminate(_vsnprintf(narrowLine, kNarrowCapacity - 1, format, args), kNarrowCapacity);
  va_end(args);
  narrowLine[n] = '\0';
  WriteLogBytes(log, narrowLine, n);
}

}  // namespace ruxtrap
