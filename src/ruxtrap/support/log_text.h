// Formatted output to the report log, written to the log's handle line by
// line.
//
// Wide lines are formatted, then converted to the ANSI code page as a whole,
// with "?" for every character the code page cannot represent, and written
// byte for byte: a line is never cut short at such a character. Every line
// end is written as CR LF, as a text-mode stream writes it. Nothing is held
// back: each call's bytes are in the file when it returns, so a process
// killed in the middle of a report leaves every line it had written. Both
// calls use module-wide buffers and must only run under the report lock. A
// line longer than the buffers is cut, never written past them.
#pragma once

#include <windows.h>

namespace ruxtrap {

// The 40-character separator line of the report's headings.
constexpr wchar_t kSep40[] = L"========================================\n";

// Wide format: "%s" takes a wide string, "%S" a narrow one, "%c" a wide char.
void WriteWide(HANDLE log, const wchar_t* format, ...);
// Narrow format: "%s" takes a narrow string.
void WriteNarrow(HANDLE log, const char* format, ...);

// The conversion used by WriteWide: wide text of length chars into the ANSI
// code page, unrepresentable characters as "?". Writes at most capacity - 1
// bytes and a terminator; returns the bytes written, terminator not counted.
int WideToLogText(const wchar_t* text, int length, char* out, int capacity);

// Writes length bytes of text with every "\n" written as "\r\n". False when
// the file took less than all of it (a full disk, say).
bool WriteLogBytes(HANDLE log, const char* text, int length);

}  // namespace ruxtrap
