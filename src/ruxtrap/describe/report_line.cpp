#include <stdarg.h>

#include "describe/describe_detail.h"

namespace ruxtrap {

ReportLine reportLine;

namespace {
// wsprintfW writes at most 1024 characters and a terminator.
wchar_t pieceBuffer[1025];
}  // namespace

// Under Wine the first formatting call of a process sets USER32 up and waits
// for the loader lock; one call at installation does that in advance.
void PrepareReportLines() {
  wsprintfW(pieceBuffer, L"%d", 0);
}

void ReportLine::Start() {
  position = 0;
  ReportBuffer[0] = L'\0';
}

void ReportLine::Append(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  int n = wvsprintfW(pieceBuffer, format, args);
  va_end(args);
  if (n <= 0) return;
  int fits = n < Room() - 1 ? n : Room() - 1;
  memcpy(ReportBuffer + position, pieceBuffer, fits * sizeof(wchar_t));
  position += fits;
  ReportBuffer[position] = L'\0';
}

void ReportLine::AppendNarrow(const char* text, int length) {
  int most = Room() - 1;
  if (most <= 0 || length <= 0) return;
  // Converting no more bytes than there is room for characters bounds the work.
  int n = MultiByteToWideChar(GetACP(), 0, text, length < most ? length : most, ReportBuffer + position, most);
  Advance(static_cast<DWORD>(n));
}

void ReportLine::CutTo(int at) {
  position = at;
  ReportBuffer[position] = L'\0';
}

void ReportLine::Advance(DWORD count) {
  DWORD most = static_cast<DWORD>(Room() - 1);
  position += static_cast<int>(count < most ? count : most);
  ReportBuffer[position] = L'\0';
}

}  // namespace ruxtrap
