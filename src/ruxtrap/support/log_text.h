// Formatted output to the report log, a narrow text-mode stream.
//
// Wide lines are formatted, then converted to the ANSI code page as a whole,
// with "?" for every character the code page cannot represent, and written
// byte for byte: a line is never cut short at such a character. Both calls
// use module-wide buffers and must only run under the report lock. A line
// longer than the buffers is cut, never written past them.
#pragma once

#include <stdio.h>

namespace ruxtrap {

// The 40-character separator line of the report's headings.
constexpr wchar_t kSep40[] = L"========================================\n";

// Wide format: "%s" takes a wide string, "%S" a narrow one, "%c" a wide char.
void WriteWide(FILE* stream, const wchar_t* format, ...);
// Narrow format: "%s" takes a narrow string.
void WriteNarrow(FILE* stream, const char* format, ...);

// The conversion used by WriteWide: wide text of length chars into the ANSI
// code page, unrepresentable characters as "?". Writes at most capacity - 1
// bytes and a terminator; returns the bytes written, terminator not counted.
int WideToLogText(const wchar_t* text, int length, char* out, int capacity);

}  // namespace ruxtrap
